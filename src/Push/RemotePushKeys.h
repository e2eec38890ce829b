#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "Common/Constants.h"
#include "sorvel/Value.h"

// The keys of a remote push payload and the typed reads every reader of a
// payload shares (the model, the rich-push decorators, open tracking, the
// message-history store of received pushes). Everything but "aps" itself lives
// inside the "aps" map of the notification's user info.
//
// A value of the wrong type reads exactly like a missing key: each reader
// below answers "absent" for it, and the caller applies its default.
namespace sorvel::push {

inline constexpr std::string_view KEY_APS = Constants::PUSH_KEY_APS;
inline constexpr std::string_view KEY_ALERT = Constants::PUSH_KEY_ALERT;
inline constexpr std::string_view KEY_TITLE = Constants::PUSH_KEY_TITLE;
inline constexpr std::string_view KEY_SUBTITLE = Constants::PUSH_KEY_SUBTITLE;
inline constexpr std::string_view KEY_BODY = Constants::PUSH_KEY_BODY;
inline constexpr std::string_view KEY_IMG = Constants::PUSH_KEY_IMG;
inline constexpr std::string_view KEY_GEN_VIBE = Constants::PUSH_KEY_GEN_VIBE;
inline constexpr std::string_view KEY_GEN_SOUND = Constants::PUSH_KEY_GEN_SOUND;
inline constexpr std::string_view KEY_DEEP_LINK_URL = Constants::PUSH_KEY_DEEP_LINK_URL;
inline constexpr std::string_view KEY_DEEP_LINK_JSON = Constants::PUSH_KEY_DEEP_LINK_JSON;
inline constexpr std::string_view KEY_NOTIFICATION_ID = Constants::PUSH_KEY_NOTIFICATION_ID;
inline constexpr std::string_view KEY_GF_CAMPAIGN_ID = Constants::PUSH_KEY_GF_CAMPAIGN_ID;
inline constexpr std::string_view KEY_GF_CAMPAIGN_REVISION_NO =
    Constants::PUSH_KEY_GF_CAMPAIGN_REVISION_NO;
inline constexpr std::string_view KEY_GF_STEP_ID = Constants::PUSH_KEY_GF_STEP_ID;
inline constexpr std::string_view KEY_GF_CYCLE_TIME = Constants::PUSH_KEY_GF_CYCLE_TIME;
inline constexpr std::string_view KEY_CUSTOM_ALERT = Constants::PUSH_KEY_CUSTOM_ALERT;
// Local notifications scheduled by the SDK carry these at the top level of
// their user info instead of "aps".
inline constexpr std::string_view KEY_PUSH_ID = Constants::PUSH_KEY_PUSH_ID;
inline constexpr std::string_view KEY_PUSH_INFO = Constants::PUSH_KEY_PUSH_INFO;

// The four tracking keys, in the order the model reads them. The same strings
// are the parameter keys of the "open_push" event.
inline constexpr std::array<std::string_view, 4> TRACKING_KEYS = {
    KEY_GF_CAMPAIGN_ID, KEY_GF_CAMPAIGN_REVISION_NO, KEY_GF_STEP_ID, KEY_GF_CYCLE_TIME};

// The entry under key, or null when there is none.
inline const Value* entryAt(const Value::Map& map, std::string_view key) {
    auto it = map.find(std::string(key));
    return it == map.end() ? nullptr : &it->second;
}

inline const std::string* stringAt(const Value::Map& map, std::string_view key) {
    const Value* v = entryAt(map, key);
    return v ? v->getString() : nullptr;
}

inline const Value::Map* mapAt(const Value::Map& map, std::string_view key) {
    const Value* v = entryAt(map, key);
    return v ? v->getMap() : nullptr;
}

// An integer read from a payload: an integral number that fits a signed 64-bit
// integer. A Boolean, a string of digits, a fraction or an out-of-range number
// reads as absent (so a `true` never becomes 1).
inline std::optional<std::int64_t> integerAt(const Value::Map& map, std::string_view key) {
    const Value* v = entryAt(map, key);
    if (!v)
        return std::nullopt;
    if (const auto* i = v->getInt64())
        return *i;
    if (const auto* u = v->getUInt64()) {
        if (*u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(*u);
        return std::nullopt;
    }
    if (const auto* d = v->getDouble()) {
        // JSON writers may send 3 as 3.0; accept it only when it is exact.
        if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -9223372036854775808.0 &&
            *d < 9223372036854775808.0)
            return static_cast<std::int64_t>(*d);
    }
    return std::nullopt;
}

// A map whose every value is a string; any other value makes the whole map
// absent (an "alert" holding a nested list counts as no alert).
inline std::optional<std::map<std::string, std::string>> stringMapAt(const Value::Map& map,
                                                                     std::string_view key) {
    const Value::Map* m = mapAt(map, key);
    if (!m)
        return std::nullopt;
    std::map<std::string, std::string> out;
    for (const auto& [k, v] : *m) {
        const std::string* s = v.getString();
        if (!s)
            return std::nullopt;
        out.emplace(k, *s);
    }
    return out;
}

// The "aps" map of a notification's user info, or null.
inline const Value::Map* apsOf(const Value::Map& userInfo) {
    return mapAt(userInfo, KEY_APS);
}

}  // namespace sorvel::push
