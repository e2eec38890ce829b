#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Common/SvlLog.h"
#include "Event/LogEventParameter.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;

// Where the automatic-event generators hand their events: the active
// context's log-event operation, so each takes the road of an app event.
using LogEventAction = std::function<void(const LogEventParameter&)>;

// A log-event action that reaches the context only while it lives. The
// generators outlive a context switch by a moment (a daily tick on the global
// queue, a session start finishing), and an event raised then must be dropped,
// not logged through a context the SDK has already replaced.
template <class Context>
LogEventAction weakLogEventAction(const std::shared_ptr<Context>& context) {
    return [weak = std::weak_ptr<Context>(context)](const LogEventParameter& parameter) {
        if (auto strong = weak.lock()) {
            strong->logEvent(parameter);
            return;
        }
        SvlLog::debug(
            "LogEventAction :: the context is gone, " + parameter.eventName + " is dropped", true);
    };
}

namespace autoevent {

// Time differences in epoch milliseconds stop at the ends of the signed
// 64-bit range instead of wrapping: stored times may be anything.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b);
std::int64_t saturatingSub(std::int64_t a, std::int64_t b);
std::int64_t saturatingMul(std::int64_t a, std::int64_t b);

// The current wall time in epoch milliseconds.
std::int64_t nowMillis();

// An event of the SDK's own: a fresh event id, no previous id, group "svl",
// the event time taken from the id (whole seconds), order numbers left to the
// pipeline.
LogEventParameter makeAutoEvent(const std::string& eventName, Value::Map typedParameters,
                                std::int64_t sessionInterval, std::int64_t sessionLength);

// Whether the stored in-app campaign list has expired: no stored expiry or
// response time, or the response time plus the minutes lies before now.
bool isInAppMessageListExpired(const DataRegistry& registry, std::int64_t nowMs);

}  // namespace autoevent
}  // namespace sorvel
