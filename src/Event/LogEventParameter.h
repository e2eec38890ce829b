#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sorvel/Value.h"

namespace sorvel {

// The request to log one event, a plain value.
struct LogEventParameter {
    // The event logged before this one; absent: the stored previous id is used.
    std::optional<std::string> prevId;
    // Becomes the event's "log_id".
    std::optional<std::string> eventId;
    // "svl" for the SDK's own events, "custom" for the app's.
    std::string group;
    std::string eventName;
    // Already in typed-value form.
    Value::Map eventParam;
    // 0: the next stored number is taken.
    std::uint64_t sessionOrderNo = 0;
    std::uint64_t eventOrderNo = 0;
    // Milliseconds, as the caller supplies them.
    std::int64_t sessionInterval = 0;
    std::int64_t sessionLength = 0;
    // "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC; absent: the current time is used.
    std::optional<std::string> event_datetime;
};

}  // namespace sorvel
