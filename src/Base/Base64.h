#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sorvel::text {

// Base64 with the standard alphabet, padded with "=", no line breaks.
std::string base64Encode(std::span<const std::uint8_t> data);
std::string base64Encode(std::string_view data);
void appendBase64(std::string& out, std::span<const std::uint8_t> data);

// Absent unless the text is whole Base64: a multiple of four characters of
// the alphabet, with "=" only as one or two closing characters. Line breaks
// and blanks are refused too. Empty text decodes to no bytes.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}  // namespace sorvel::text
