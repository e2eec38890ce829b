#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sorvel::platform::crypto {

using Bytes = std::vector<std::uint8_t>;

// Starts OpenSSL, once, without the exit handler in which it frees its state:
// threads of the SDK are never joined, so one may still hash, sign or draw
// random bytes while the process exits, and would then find that state gone.
// Every function here, and the HTTP transport before libcurl starts OpenSSL,
// calls it first; it decides only when it is the process's first use of
// OpenSSL.
void startLibrary();

Bytes sha256(std::string_view data);
Bytes md5(std::string_view data);
Bytes hmacSha256(std::string_view key, std::string_view data);

using Md5Digest = std::array<std::uint8_t, 16>;
using Sha256Digest = std::array<std::uint8_t, 32>;
// md5() and hmacSha256() into fixed arrays, for a caller that signs every
// request: false when OpenSSL fails.
bool md5Into(std::string_view data, Md5Digest& out);
bool hmacSha256Into(std::string_view key, std::string_view data, Sha256Digest& out);
// A random (version 4) UUID in upper-case 8-4-4-4-12 text.
std::string uuidString();
// The same UUID text appended to `out`.
void appendUuidString(std::string& out);
// The length of that text.
inline constexpr std::size_t kUuidTextSize = 36;
// The same UUID text written over out[0, kUuidTextSize).
void writeUuid(char* out);

}  // namespace sorvel::platform::crypto
