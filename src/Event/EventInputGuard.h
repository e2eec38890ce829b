#pragma once

#include <cstddef>

#include "Base/Status.h"
#include "sorvel/Value.h"

namespace sorvel {

class EventModel;

// What an event may carry before it enters the buffer. One bad event must
// never poison its package, the upload body or the stored list of unsent
// packages (whose JSON reader refuses nesting beyond 256 levels).
class EventInputGuard {
  public:
    // Nesting allowed inside one parameter or property value; the stored list
    // wraps event values in five more levels.
    static constexpr int MAX_VALUE_DEPTH = 100;
    // About the JSON size of one event.
    static constexpr std::size_t MAX_EVENT_BYTES = 1u << 20;

    // Replaces ill-formed UTF-8 in every text and key of the event (logged),
    // then refuses an event nested too deeply or too large; the failure's
    // message says why, for the caller's log line.
    static Status admit(EventModel& event);

    // Whether the value has containers nested more than maxDepth levels deep
    // (a map or list is one level).
    static bool nestsDeeperThan(const Value& value, int maxDepth);
};

}  // namespace sorvel
