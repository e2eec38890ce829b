#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace sorvel::text {

enum class HexCase { Lower, Upper };

// Two hex digits per byte, no separator.
std::string toHex(std::span<const std::uint8_t> bytes, HexCase letters = HexCase::Lower);
void appendHex(std::string& out, std::span<const std::uint8_t> bytes,
               HexCase letters = HexCase::Lower);
// Writes 2 * bytes.size() digits at out and returns the end of them.
char* writeHex(char* out, std::span<const std::uint8_t> bytes,
               HexCase letters = HexCase::Lower) noexcept;

// The value of one hex digit of either case; -1 for any other character.
int hexDigitValue(char c) noexcept;

}  // namespace sorvel::text
