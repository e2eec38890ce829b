#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sorvel::platform::crypto {

using Bytes = std::vector<std::uint8_t>;

Bytes sha256(std::string_view data);
Bytes md5(std::string_view data);
Bytes hmacSha256(std::string_view key, std::string_view data);
// A random (version 4) UUID in upper-case 8-4-4-4-12 text.
std::string uuidString();

}  // namespace sorvel::platform::crypto
