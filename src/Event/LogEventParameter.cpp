#include "Event/LogEventParameter.h"

#include "Common/DatesAndIds.h"

namespace sorvel {

const Value* LogEventParameter::findParam(std::string_view key) const {
    if (!nativeParam.empty()) {
        return ::sorvel::findParam(nativeParam, key);
    }
    const auto it = eventParam.find(std::string(key));
    return it != eventParam.end() ? &it->second : nullptr;
}

LogEventParameter LogEventParameter::init(std::optional<std::string> eventId,
                                          std::optional<std::string> prevId, std::string group,
                                          std::string eventName, Value::Map eventParam,
                                          std::int64_t sessionInterval, std::int64_t sessionLength,
                                          std::uint64_t sessionOrderNo, std::uint64_t eventOrderNo,
                                          std::optional<std::string> eventDatetime) {
    LogEventParameter p;
    p.prevId = std::move(prevId);
    p.eventId = std::move(eventId);
    p.group = std::move(group);
    p.eventName = std::move(eventName);
    p.eventParam = std::move(eventParam);
    p.sessionOrderNo = sessionOrderNo;
    p.eventOrderNo = eventOrderNo;
    p.sessionInterval = sessionInterval;
    p.sessionLength = sessionLength;
    p.event_datetime = std::move(eventDatetime);
    return p;
}

LogEventParameter LogEventParameter::initWithEventName(std::string group, std::string eventName,
                                                       Value::Map eventParam,
                                                       std::int64_t sessionInterval,
                                                       std::int64_t sessionLength) {
    return init(std::nullopt, std::nullopt, std::move(group), std::move(eventName),
                std::move(eventParam), sessionInterval, sessionLength, 0, 0, std::nullopt);
}

LogEventParameter LogEventParameter::initAutoEvent(std::optional<std::string> eventId,
                                                   std::optional<std::string> prevId,
                                                   std::string group, std::string eventName,
                                                   Value::Map eventParam,
                                                   std::int64_t sessionInterval,
                                                   std::int64_t sessionLength) {
    std::optional<std::string> datetime = FvnUtil::getEventDatetimeFromEventId(eventId);
    if (!datetime) {
        datetime = FvnUtil::getCurrentDatetimeString();
    }
    return init(std::move(eventId), std::move(prevId), std::move(group), std::move(eventName),
                std::move(eventParam), sessionInterval, sessionLength, 0, 0, std::move(datetime));
}

LogEventParameter LogEventParameter::initWithDatetime(
    std::optional<std::string> eventId, std::optional<std::string> prevId, std::string group,
    std::string eventName, Value::Map eventParam, std::int64_t sessionInterval,
    std::int64_t sessionLength, std::optional<std::string> eventDatetime) {
    return init(std::move(eventId), std::move(prevId), std::move(group), std::move(eventName),
                std::move(eventParam), sessionInterval, sessionLength, 0, 0,
                std::move(eventDatetime));
}

}  // namespace sorvel
