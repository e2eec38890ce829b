#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sorvel {

// How a request body travels: the JSON text itself, or its Base64.
enum class BodyEncoding { JSON_TEXT, BASE64 };

// A body ready to send and the headers that vouch for exactly those bytes.
struct SignedBody {
    std::string body;
    std::string contentType;  // "application/json" or "application/octet-stream"
    std::string authTime;     // "svl-auth-time"
    std::string authCs;       // "svl-auth-cs"
};

// The one place requests are signed. The per-request key is HMAC-SHA256 keyed
// by the secret key's UTF-8 bytes over the first 13 characters of the request
// time (its date and hour); "svl-auth-cs" is the lower-case hex HMAC-SHA256,
// keyed by that key's 32 raw bytes, over the upper-case hex MD5 of the Base64
// of the JSON text. Absent when the key cannot be derived (a request time
// shorter than 13 characters, an empty secret key).
std::optional<SignedBody> signRequestBody(std::string_view jsonText, BodyEncoding encoding,
                                          std::string_view secretKey, std::string_view requestTime);

}  // namespace sorvel
