#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Base/InlineText.h"
#include "Base/Status.h"
#include "Event/TypedValueDictionary.h"
#include "Network/ApiModel.h"
#include "sorvel/Value.h"

namespace sorvel {

// Where the app last said the user was.
struct Location {
    // A fresh id each time the app sets a location; without it the location
    // counts as not set, whatever the coordinates.
    std::optional<std::string> lwid;
    double lat = 0.0;
    double lng = 0.0;

    // {"lwid", "lat", "lng"}, or nothing when there is no lwid.
    std::optional<Value::Map> toDictionary() const;
    // Nothing unless "lwid" is a string and "lat" and "lng" are finite doubles.
    static std::optional<Location> initFromDictionary(const std::optional<Value::Map>& dictionary);
};

// What the events recorded at one moment carry alike: the ids the registry
// holds, the location and the user properties in typed form. Events share
// one, made again only when one of those values changes, instead of a copy
// each.
struct EventContext {
    std::optional<std::string> last_firstopen_id;
    std::optional<std::string> last_deeplink_id;
    std::optional<std::string> last_open_id;
    std::optional<std::string> session_id;
    Location location;
    std::optional<std::string> user_snapshot_id;
    Value::Map user_properties;
    Value::Map ci;

    // The JSON of the members above that take the longest to write, written
    // once for a context many events share (writeJson()); events write the
    // members themselves when there is none.
    struct Json {
        std::string ci;
        std::string location;
        std::string userProperties;
    };
    std::optional<Json> json;
    void writeJson();
};

// An event's context: shared, and copied only for an event that changes its
// own (a copied event shares it again until it changes it).
class SharedEventContext {
  public:
    explicit SharedEventContext(std::shared_ptr<const EventContext> context)
        : context_(std::move(context)) {}
    SharedEventContext(const SharedEventContext& other) : context_(other.context_) {}
    SharedEventContext& operator=(const SharedEventContext& other) {
        context_ = other.context_;
        owned_ = false;
        return *this;
    }
    SharedEventContext(SharedEventContext&& other) noexcept
        : context_(std::move(other.context_)), owned_(std::exchange(other.owned_, false)) {}
    SharedEventContext& operator=(SharedEventContext&& other) noexcept {
        context_ = std::move(other.context_);
        owned_ = std::exchange(other.owned_, false);
        return *this;
    }

    // A moved-from event reads as one with an empty context.
    const EventContext& get() const { return context_ ? *context_ : empty(); }
    const std::shared_ptr<const EventContext>& shared() const { return context_; }
    // This event's own copy, made at the first edit.
    EventContext& edit();

  private:
    static const EventContext& empty();

    std::shared_ptr<const EventContext> context_;
    // Whether context_ was made by edit() for this event alone.
    bool owned_ = false;
};

enum class EventModelError { FromDictionaryParseError };
// "Error occur while making EventModel from Dictionary".
const char* describe(EventModelError error) noexcept;

// One event as it is buffered, stored and uploaded. The dictionary form is a
// wire and storage format: an element of every upload's "evts" and of the
// packages kept in the unsent-package store.
class EventModel : public IDataModel {
  public:
    EventModel(std::optional<std::string> last_firstopen_id,
               std::optional<std::string> last_deeplink_id, std::optional<std::string> last_open_id,
               std::optional<InlineText> prev_id, InlineText event_datetime, std::string group,
               std::string event_name, std::optional<Value::Map> param,
               std::int64_t session_interval, std::int64_t session_length,
               std::optional<InlineText> log_id, std::optional<std::string> session_id,
               Location location, std::optional<std::string> user_snapshot_id,
               Value::Map user_properties, Value::Map ci);
    // An event of a shared context (never null).
    EventModel(std::optional<InlineText> prev_id, InlineText event_datetime, std::string group,
               std::string event_name, std::optional<Value::Map> param,
               std::int64_t session_interval, std::int64_t session_length,
               std::optional<InlineText> log_id, std::shared_ptr<const EventContext> context);

    // The ids, location and properties the event carries.
    const EventContext& context() const { return context_.get(); }
    // The same, for a change to this event alone.
    EventContext& editContext() { return context_.edit(); }

    // All sixteen keys, absent fields as null; "param" in typed-value form.
    Value::Map toDictionary() const override;
    // Appends the compact JSON of toDictionary() without building it.
    void appendJson(std::string& out) const;
    // The order numbers native parameters get when written, in key order
    // (none when they are not set).
    std::array<typedtext::AddedNumber, 2> addedOrderNumbers() const;
    bool hasAddedOrderNumbers() const {
        return paramForm == ParamForm::native && (sessionOrderNo != 0 || eventOrderNo != 0);
    }
    // The parameters in typed-value form, order numbers included (empty when
    // there are none).
    Value::Map typedParam() const;

    // Reads what toDictionary() wrote and storage gave back. Required:
    // "event_datetime", "group", "event_name" (strings), "session_interval",
    // "session_length" (integers), "user_properties", "ci" (objects). A null or
    // a value of another kind counts as missing.
    static StatusOr<EventModel> initFromDictionary(const Value::Map& dictionary);
    // Reads an event stored by the previous major version: only the first five
    // of those keys are required; missing maps become empty.
    static StatusOr<EventModel> initFromV1Dictionary(const Value::Map& dictionary);

    // The ids and the time are held inline: no allocation of their own.
    std::optional<InlineText> prev_id;
    InlineText event_datetime;
    std::string group;
    std::string event_name;
    std::optional<Value::Map> param;
    // Native parameters get their type prefixes when the event is written;
    // an event read back from its dictionary holds them prefixed.
    ParamForm paramForm = ParamForm::prefixed;
    // Native parameters as the record call copied them; when it holds
    // entries, they are the event's parameters ("param" is then empty).
    ParamList nativeParam;
    // With native parameters, the order numbers that "param" carries as
    // "svl:session_order_no" and "svl:event_order_no" (over any value the
    // app gave those keys); 0: none. Prefixed parameters hold them as texts.
    std::uint64_t sessionOrderNo = 0;
    std::uint64_t eventOrderNo = 0;
    std::int64_t session_interval = 0;
    std::int64_t session_length = 0;
    std::optional<InlineText> log_id;

  private:
    SharedEventContext context_;
};

}  // namespace sorvel
