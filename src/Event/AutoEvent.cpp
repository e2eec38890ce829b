#include "Event/AutoEvent.h"

#include <limits>

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DatesAndIds.h"
#include "Platform/Clock.h"

namespace sorvel::autoevent {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMillisPerMinute = 60 * 1000;

}  // namespace

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t out = 0;
    if (__builtin_add_overflow(a, b, &out)) {
        return b > 0 ? kMax : kMin;
    }
    return out;
}

std::int64_t saturatingSub(std::int64_t a, std::int64_t b) {
    std::int64_t out = 0;
    if (__builtin_sub_overflow(a, b, &out)) {
        return b < 0 ? kMax : kMin;
    }
    return out;
}

std::int64_t saturatingMul(std::int64_t a, std::int64_t b) {
    std::int64_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) {
        return (a < 0) == (b < 0) ? kMax : kMin;
    }
    return out;
}

std::int64_t nowMillis() {
    return platform::wallMillis();
}

LogEventParameter makeAutoEvent(const std::string& eventName, Value::Map typedParameters,
                                std::int64_t sessionInterval, std::int64_t sessionLength) {
    return LogEventParameter::initAutoEvent(
        FvnUtil::createEventId(), std::nullopt, Constants::EVENT_GROUP_STANDARD, eventName,
        std::move(typedParameters), sessionInterval, sessionLength);
}

bool isInAppMessageListExpired(const DataRegistry& registry, std::int64_t nowMs) {
    const std::int64_t minutes =
        registry.getInt(DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY, -1);
    const std::int64_t lastResponse =
        registry.getInt64(DataRegistryKey::INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME, -1);
    if (minutes == -1 || lastResponse == -1) {
        return true;
    }
    return saturatingAdd(lastResponse, saturatingMul(minutes, kMillisPerMinute)) < nowMs;
}

}  // namespace sorvel::autoevent
