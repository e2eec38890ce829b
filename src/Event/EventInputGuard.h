#pragma once

#include <cstddef>
#include <string>

#include "Base/Status.h"
#include "Event/TypedValueDictionary.h"
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
    // About the JSON size of the user and ci properties together: every event
    // carries them, so they must leave most of an event to its own values.
    static constexpr std::size_t MAX_PROPERTIES_BYTES = MAX_EVENT_BYTES / 4;
    // What an event's ids, times and keys take besides its name and maps.
    static constexpr std::size_t kFixedEventBytes = 512;

    // Replaces ill-formed UTF-8 in every text and key of the event (logged),
    // then refuses an event nested too deeply or too large; the failure's
    // message says why, for the caller's log line.
    static Status admit(EventModel& event);
    // The same for what a caller hands in, before the event takes an order
    // number: the name and the parameters are repaired (logged) and the
    // event measured as admit() will, with `propertiesBytes` (mapBytes() of
    // the typed properties it will carry) for the rest. Native parameters are
    // measured, and repaired, as their typed-value form would be.
    static Status admitInput(std::string& eventName, const std::string& group, Value::Map& params,
                             ParamForm form, std::size_t propertiesBytes);
    // The same for an app's own parameters as one list (ParamForm::native).
    static Status admitInput(std::string& eventName, const std::string& group, ParamList& params,
                             std::size_t propertiesBytes);
    // About the bytes a map takes as JSON, as the size limit counts them.
    static std::size_t mapBytes(const Value::Map& map);

    // Whether the value has containers nested more than maxDepth levels deep
    // (a map or list is one level).
    static bool nestsDeeperThan(const Value& value, int maxDepth);
    // A name or key as a log line shows it: a long one is cut after
    // MAX_NAME_CHARS_IN_LOG characters and its size added, so that the
    // reason after it still fits the line.
    static constexpr std::size_t MAX_NAME_CHARS_IN_LOG = 200;
    static std::string nameForLog(const std::string& name);

    // About the bytes a map entry takes as JSON; the value must not nest
    // deeper than MAX_VALUE_DEPTH.
    static std::size_t entryBytes(const std::string& key, const Value& value);
};

}  // namespace sorvel
