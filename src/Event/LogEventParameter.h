#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Base/InlineText.h"
#include "Event/TypedValueDictionary.h"
#include "sorvel/Value.h"

namespace sorvel {

// The request to log one event, as the facade, the in-app views, the
// automatic-event generators and the delete/restart builder hand it on.
// A plain value: copying it copies every field.
struct LogEventParameter {
    // The event logged before this one; absent: the stored previous id is used.
    std::optional<InlineText> prevId;
    // Becomes the model's "log_id".
    std::optional<InlineText> eventId;
    // "svl" for the SDK's own events, "custom" for the app's.
    std::string group;
    std::string eventName;
    // In typed-value form ("string:...", "long:...", nested maps), or as the
    // app gave them, as paramForm says.
    Value::Map eventParam;
    ParamForm paramForm = ParamForm::prefixed;
    // An app's own parameters (ParamForm::native) in one allocation; when it
    // holds entries, it holds the event's parameters and eventParam is empty.
    ParamList nativeParam;
    // 0: the next stored number is taken when the model is built.
    std::uint64_t sessionOrderNo = 0;
    std::uint64_t eventOrderNo = 0;
    // Milliseconds, as the caller supplies them.
    std::int64_t sessionInterval = 0;
    std::int64_t sessionLength = 0;
    // "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'"; absent: the time the model is built.
    std::optional<InlineText> event_datetime;

    // The parameter under the key, in whichever of the two it is held; null
    // when there is none.
    const Value* findParam(std::string_view key) const;

    // Note the order: the event id comes before the previous id.
    static LogEventParameter init(std::optional<std::string> eventId,
                                  std::optional<std::string> prevId, std::string group,
                                  std::string eventName, Value::Map eventParam,
                                  std::int64_t sessionInterval, std::int64_t sessionLength,
                                  std::uint64_t sessionOrderNo, std::uint64_t eventOrderNo,
                                  std::optional<std::string> eventDatetime);
    // Ids, order numbers and time left for the pipeline to fill.
    static LogEventParameter initWithEventName(std::string group, std::string eventName,
                                               Value::Map eventParam,
                                               std::int64_t sessionInterval = 0,
                                               std::int64_t sessionLength = 0);
    // The time is the whole second of the id's epoch milliseconds (".000"), or
    // the current time when the id gives none.
    static LogEventParameter initAutoEvent(std::optional<std::string> eventId,
                                           std::optional<std::string> prevId, std::string group,
                                           std::string eventName, Value::Map eventParam,
                                           std::int64_t sessionInterval,
                                           std::int64_t sessionLength);
    static LogEventParameter initWithDatetime(std::optional<std::string> eventId,
                                              std::optional<std::string> prevId, std::string group,
                                              std::string eventName, Value::Map eventParam,
                                              std::int64_t sessionInterval,
                                              std::int64_t sessionLength,
                                              std::optional<std::string> eventDatetime);
};

}  // namespace sorvel
