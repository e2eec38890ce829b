#include "Event/EventModel.h"

#include <cmath>

#include "Base/JsonText.h"
#include "Common/Constants.h"
#include "Common/SvlLog.h"
#include "Platform/ProcessState.h"

namespace sorvel {
namespace {

// A null and a value of another kind both count as missing.
const Value* find(const Value::Map& d, const char* key) {
    auto it = d.find(key);
    return it == d.end() || it->second.isNull() ? nullptr : &it->second;
}

std::optional<std::string> optString(const Value::Map& d, const char* key) {
    const Value* v = find(d, key);
    const std::string* s = v ? v->getString() : nullptr;
    return s ? std::optional<std::string>(*s) : std::nullopt;
}

std::optional<Value::Map> optMap(const Value::Map& d, const char* key) {
    const Value* v = find(d, key);
    const Value::Map* m = v ? v->getMap() : nullptr;
    return m ? std::optional<Value::Map>(*m) : std::nullopt;
}

// Signed integers, and unsigned ones up to INT64_MAX; never a Boolean or a
// double.
std::optional<std::int64_t> optInteger(const Value::Map& d, const char* key) {
    const Value* v = find(d, key);
    return v ? v->toInt64() : std::nullopt;
}

Value orNull(const std::optional<std::string>& s) {
    return s ? Value(*s) : Value();
}

Value orNull(const std::optional<InlineText>& s) {
    return s ? Value(s->str()) : Value();
}

void optText(json::ObjectWriter& o, std::string_view name, const std::optional<InlineText>& s) {
    if (s) {
        o.text(name, s->view());
    } else {
        o.key(name) += "null";
    }
}

Status parseError() {
    return Status::error(describe(EventModelError::FromDictionaryParseError));
}

// The keys both readers require, read in this order; nothing when one is
// missing or of another kind.
struct Required {
    std::string eventDatetime;
    std::string group;
    std::string eventName;
    std::int64_t sessionInterval = 0;
    std::int64_t sessionLength = 0;
};

std::optional<Required> readRequired(const Value::Map& d) {
    auto eventDatetime = optString(d, "event_datetime");
    if (!eventDatetime) {
        return std::nullopt;
    }
    auto group = optString(d, "group");
    if (!group) {
        return std::nullopt;
    }
    auto eventName = optString(d, "event_name");
    if (!eventName) {
        return std::nullopt;
    }
    auto sessionInterval = optInteger(d, "session_interval");
    if (!sessionInterval) {
        return std::nullopt;
    }
    auto sessionLength = optInteger(d, "session_length");
    if (!sessionLength) {
        return std::nullopt;
    }
    return Required{std::move(*eventDatetime), std::move(*group), std::move(*eventName),
                    *sessionInterval, *sessionLength};
}

Location locationOrDefault(const std::optional<Value::Map>& dictionary) {
    auto location = Location::initFromDictionary(dictionary);
    return location ? *location : Location{};
}

}  // namespace

const char* describe(EventModelError) noexcept {
    return "Error occur while making EventModel from Dictionary";
}

std::optional<Value::Map> Location::toDictionary() const {
    if (!lwid) {
        return std::nullopt;
    }
    return Value::Map{{"lwid", Value(*lwid)}, {"lat", Value(lat)}, {"lng", Value(lng)}};
}

std::optional<Location> Location::initFromDictionary(const std::optional<Value::Map>& dictionary) {
    if (!dictionary) {
        return std::nullopt;
    }
    auto lwid = optString(*dictionary, "lwid");
    const Value* lat = find(*dictionary, "lat");
    const Value* lng = find(*dictionary, "lng");
    if (!lwid || !lat || !lat->isDouble() || !lng || !lng->isDouble()) {
        return std::nullopt;
    }
    if (!std::isfinite(*lat->getDouble()) || !std::isfinite(*lng->getDouble())) {
        // JSON has no such numbers: written out, the location would come back
        // unreadable and the event would change at its next restore.
        SvlLog::warning("Location :: a coordinate is not a finite number; the location is dropped",
                        true);
        return std::nullopt;
    }
    return Location{std::move(lwid), *lat->getDouble(), *lng->getDouble()};
}

const EventContext& SharedEventContext::empty() {
    // Never changed: handed out as const only.
    static platform::NoDestructor<EventContext> none;
    return none.get();
}

void EventContext::writeJson() {
    Json out;
    json::appendMap(out.ci, ci);
    if (const auto dictionary = location.toDictionary()) {
        json::appendMap(out.location, *dictionary);
    } else {
        out.location = "null";
    }
    json::appendMap(out.userProperties, user_properties);
    json = std::move(out);
}

EventContext& SharedEventContext::edit() {
    if (!owned_) {
        context_ = std::make_shared<EventContext>(get());
        owned_ = true;
    }
    // Made above as a mutable object, for this event alone.
    auto& own = const_cast<EventContext&>(*context_);
    // The caller is about to change what the JSON was written from.
    own.json.reset();
    return own;
}

EventModel::EventModel(std::optional<std::string> last_firstopen_id,
                       std::optional<std::string> last_deeplink_id,
                       std::optional<std::string> last_open_id, std::optional<InlineText> prev_id,
                       InlineText event_datetime, std::string group, std::string event_name,
                       std::optional<Value::Map> param, std::int64_t session_interval,
                       std::int64_t session_length, std::optional<InlineText> log_id,
                       std::optional<std::string> session_id, Location location,
                       std::optional<std::string> user_snapshot_id, Value::Map user_properties,
                       Value::Map ci)
    : EventModel(
          std::move(prev_id), std::move(event_datetime), std::move(group), std::move(event_name),
          std::move(param), session_interval, session_length, std::move(log_id),
          std::make_shared<const EventContext>(EventContext{
              std::move(last_firstopen_id), std::move(last_deeplink_id), std::move(last_open_id),
              std::move(session_id), std::move(location), std::move(user_snapshot_id),
              std::move(user_properties), std::move(ci), std::nullopt})) {}

EventModel::EventModel(std::optional<InlineText> prev_id, InlineText event_datetime,
                       std::string group, std::string event_name, std::optional<Value::Map> param,
                       std::int64_t session_interval, std::int64_t session_length,
                       std::optional<InlineText> log_id,
                       std::shared_ptr<const EventContext> context)
    : prev_id(std::move(prev_id)),
      event_datetime(std::move(event_datetime)),
      group(std::move(group)),
      event_name(std::move(event_name)),
      param(std::move(param)),
      session_interval(session_interval),
      session_length(session_length),
      log_id(std::move(log_id)),
      context_(std::move(context)) {}

std::array<typedtext::AddedNumber, 2> EventModel::addedOrderNumbers() const {
    return {typedtext::AddedNumber{Constants::PARAM_KEY_EVENT_ORDER_NO, eventOrderNo},
            typedtext::AddedNumber{Constants::PARAM_KEY_SESSION_ORDER_NO, sessionOrderNo}};
}

Value::Map EventModel::typedParam() const {
    if (!param || paramForm != ParamForm::native) {
        return param.value_or(Value::Map{});
    }
    Value::Map typed = nativeParam.empty() ? typedtext::toTypedMap(*param)
                                           : typedtext::toTypedListMap(nativeParam);
    if (hasAddedOrderNumbers()) {
        for (const auto& [key, value] : addedOrderNumbers()) {
            typed.insert_or_assign(std::string(key), Value(typedtext::text(Value(value))));
        }
    }
    return typed;
}

Value::Map EventModel::toDictionary() const {
    const EventContext& c = context();
    auto location_ = c.location.toDictionary();
    return Value::Map{
        {"last_firstopen_id", orNull(c.last_firstopen_id)},
        {"last_deeplink_id", orNull(c.last_deeplink_id)},
        {"last_open_id", orNull(c.last_open_id)},
        {"prev_id", orNull(prev_id)},
        {"event_datetime", Value(event_datetime.str())},
        {"group", Value(group)},
        {"event_name", Value(event_name)},
        {"param", param ? Value(typedParam()) : Value()},
        {"session_interval", Value(session_interval)},
        {"session_length", Value(session_length)},
        {"log_id", orNull(log_id)},
        {"session_id", orNull(c.session_id)},
        {"location", location_ ? Value(std::move(*location_)) : Value()},
        {"user_snapshot_id", orNull(c.user_snapshot_id)},
        {"user_properties", Value(c.user_properties)},
        {"ci", Value(c.ci)},
    };
}

void EventModel::appendJson(std::string& out) const {
    // The keys in the dictionary's (sorted) order.
    const EventContext& c = context();
    const auto& written = c.json;
    json::ObjectWriter o(out);
    if (written) {
        o.key("ci") += written->ci;
    } else {
        o.map("ci", &c.ci);
    }
    o.text("event_datetime", event_datetime.view());
    o.text("event_name", event_name);
    o.text("group", group);
    o.text("last_deeplink_id", c.last_deeplink_id);
    o.text("last_firstopen_id", c.last_firstopen_id);
    o.text("last_open_id", c.last_open_id);
    if (written) {
        o.key("location") += written->location;
    } else {
        const auto location_ = c.location.toDictionary();
        o.map("location", location_ ? &*location_ : nullptr);
    }
    optText(o, "log_id", log_id);
    if (param && paramForm == ParamForm::native) {
        const auto added = addedOrderNumbers();
        const std::span numbers(added.data(), hasAddedOrderNumbers() ? added.size() : 0);
        if (nativeParam.empty()) {
            typedtext::appendJson(o.key("param"), *param, numbers);
        } else {
            typedtext::appendListJson(o.key("param"), nativeParam, numbers);
        }
    } else {
        o.map("param", param ? &*param : nullptr);
    }
    optText(o, "prev_id", prev_id);
    o.text("session_id", c.session_id);
    o.value("session_interval", Value(session_interval));
    o.value("session_length", Value(session_length));
    if (written) {
        o.key("user_properties") += written->userProperties;
    } else {
        o.map("user_properties", &c.user_properties);
    }
    o.text("user_snapshot_id", c.user_snapshot_id);
}

StatusOr<EventModel> EventModel::initFromDictionary(const Value::Map& d) {
    auto r = readRequired(d);
    if (!r) {
        return parseError();
    }
    auto userProperties = optMap(d, "user_properties");
    if (!userProperties) {
        return parseError();
    }
    auto ci = optMap(d, "ci");
    if (!ci) {
        return parseError();
    }
    return EventModel(optString(d, "last_firstopen_id"), optString(d, "last_deeplink_id"),
                      optString(d, "last_open_id"), optString(d, "prev_id"),
                      std::move(r->eventDatetime), std::move(r->group), std::move(r->eventName),
                      optMap(d, "param"), r->sessionInterval, r->sessionLength,
                      optString(d, "log_id"), optString(d, "session_id"),
                      locationOrDefault(optMap(d, "location")), optString(d, "user_snapshot_id"),
                      std::move(*userProperties), std::move(*ci));
}

StatusOr<EventModel> EventModel::initFromV1Dictionary(const Value::Map& d) {
    auto r = readRequired(d);
    if (!r) {
        return parseError();
    }
    return EventModel(
        optString(d, "last_firstopen_id"), optString(d, "last_deeplink_id"),
        optString(d, "last_open_id"), optString(d, "prev_id"), std::move(r->eventDatetime),
        std::move(r->group), std::move(r->eventName), optMap(d, "param").value_or(Value::Map{}),
        r->sessionInterval, r->sessionLength, optString(d, "log_id"), optString(d, "session_id"),
        locationOrDefault(optMap(d, "location").value_or(Value::Map{})),
        optString(d, "user_snapshot_id"), optMap(d, "user_properties").value_or(Value::Map{}),
        optMap(d, "ci").value_or(Value::Map{}));
}

}  // namespace sorvel
