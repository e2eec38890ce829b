#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Base/Status.h"
#include "Event/EventModel.h"
#include "Network/ApiModel.h"

namespace sorvel {

enum class EventPackageError { FromDictionaryParseError };
// "Error occur while making EventPackage from Dictionary".
const char* describe(EventPackageError error) noexcept;

// A batch of events on its way to the server, with an id of its own. Its
// dictionary form is also its storage form.
class EventPackage : public IDataModel {
  public:
    // A fresh UUID id, always: no package is ever made with a given id.
    explicit EventPackage(std::vector<EventModel> eventModels);
    EventPackage(const EventPackage& other);
    EventPackage(EventPackage&& other) noexcept;
    EventPackage& operator=(const EventPackage& other);
    EventPackage& operator=(EventPackage&& other) noexcept;
    ~EventPackage() override = default;

    // The events, read back from the package's JSON text: a package keeps
    // only that text, so one waiting in memory costs its bytes once.
    std::vector<EventModel> eventModels() const;
    std::size_t eventCount() const { return eventCount_; }
    const std::string& packageId() const { return packageId_; }
    // The compact JSON array of the event dictionaries, in order: written once,
    // when the package is made, for both the upload body and the stored list
    // (inflated again when the package keeps it deflated).
    std::string eventsJson() const;
    // Appends that text without an intermediate copy.
    void appendEventsJson(std::string& out) const;
    std::size_t eventsJsonSize() const { return textSize_; }
    // Whether that text is `text`, without a copy of a plain package's.
    bool hasEventsJson(std::string_view text) const;
    // Whether the package keeps its text deflated (see packedCopy()).
    bool packed() const { return packed_; }
    // The same package (id, events, withdrawn mark) keeping its text
    // deflated: a fifth to a tenth of the bytes, for a package that will wait
    // long in memory (deep in an offline backlog). The text reads back byte
    // for byte. Nothing when the package is packed already or its text would
    // not shrink.
    std::shared_ptr<const EventPackage> packedCopy() const;

    // {"eventModels": [event dictionaries in order], "package_id": id}.
    Value::Map toDictionary() const override;
    // Appends the compact JSON of toDictionary() without building it.
    void appendJson(std::string& out) const;
    // Marks the package as built for an identity that a delete of the user's
    // data ended: it is dropped rather than sent. Any thread.
    void withdraw() const { withdrawn_.store(true, std::memory_order_release); }
    bool withdrawn() const { return withdrawn_.load(std::memory_order_acquire); }

    // "eventModels" must be a list; an element that is not an object or not a
    // readable event is skipped with "EventPackage From Dictionary Error". The
    // stored "package_id" is not read: the package gets a new id.
    static StatusOr<EventPackage> initFromDictionary(const Value::Map& dictionary);

  private:
    // A packed package (see packedCopy()).
    EventPackage(std::size_t eventCount, std::string packageId, std::string deflated,
                 std::size_t textSize);

    std::size_t eventCount_ = 0;
    std::string packageId_;
    // The events' JSON text, or its raw deflate stream when packed_.
    std::string text_;
    std::size_t textSize_ = 0;
    bool packed_ = false;
    mutable std::atomic<bool> withdrawn_{false};
};

// The outcome of sending one package, carrying the package that was sent.
struct IEventSendActionResult {
    enum class Kind { onSuccess, onFail };
    Kind kind;
    std::shared_ptr<const EventPackage> package;

    static IEventSendActionResult onSuccess(std::shared_ptr<const EventPackage> p) {
        return {Kind::onSuccess, std::move(p)};
    }
    static IEventSendActionResult onFail(std::shared_ptr<const EventPackage> p) {
        return {Kind::onFail, std::move(p)};
    }
};

// Sends one package and reports the outcome, at most once per call, with the
// package that was passed in. The completion has finished when the call
// returns.
class IEventSender {
  public:
    using Completion = std::function<void(const IEventSendActionResult&)>;
    virtual ~IEventSender() = default;
    virtual void sendEventPackage(std::shared_ptr<const EventPackage> eventPackage,
                                  Completion completion) = 0;
};

}  // namespace sorvel
