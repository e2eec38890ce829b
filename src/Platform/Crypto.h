#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvel::platform::crypto {

using Bytes = std::vector<std::uint8_t>;

Bytes sha256(std::string_view data);
Bytes md5(std::string_view data);
Bytes hmacSha256(std::string_view key, std::string_view data);
std::string toHexLower(const Bytes& bytes);
std::string toHexUpper(const Bytes& bytes);
// Standard alphabet, with padding, no line breaks.
std::string base64Encode(std::string_view data);
std::string base64Encode(const Bytes& data);
// Absent when the text is not valid Base64.
std::optional<Bytes> base64Decode(std::string_view text);
// A random (version 4) UUID in upper-case 8-4-4-4-12 text.
std::string uuidString();

}  // namespace sorvel::platform::crypto
