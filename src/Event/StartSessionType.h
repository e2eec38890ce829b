#pragma once

#include <optional>
#include <string_view>

namespace sorvel {

// Why a session started; its raw value is sent as "svl:open_type" of
// "start_session". The cases are listed in order of precedence.
enum class StartSessionType {
    FIRST_OPEN,
    DEEPLINK_OPEN,
    PUSH_OPEN,
    BASIC_OPEN,
};

// "first_open", "deeplink_open", "push_open", "basic_open".
const char* rawValue(StartSessionType type) noexcept;
// Exactly one of the four raw values; anything else gives nothing.
std::optional<StartSessionType> startSessionTypeFromRawValue(std::string_view raw) noexcept;

}  // namespace sorvel
