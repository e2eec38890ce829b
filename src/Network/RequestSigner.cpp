#include "Network/RequestSigner.h"

#include "Base/Base64.h"
#include "Base/Hex.h"
#include "Platform/Crypto.h"

namespace sorvel {

namespace {
constexpr std::size_t kKeyTimeLength = 13;  // "yyyy-MM-ddTHH"
}

std::optional<SignedBody> signRequestBody(std::string_view jsonText, BodyEncoding encoding,
                                          std::string_view secretKey,
                                          std::string_view requestTime) {
    namespace crypto = platform::crypto;
    if (secretKey.empty() || requestTime.size() < kKeyTimeLength) {
        return std::nullopt;
    }
    const crypto::Bytes derived =
        crypto::hmacSha256(secretKey, requestTime.substr(0, kKeyTimeLength));
    if (derived.empty()) {
        return std::nullopt;
    }
    std::string base64 = text::base64Encode(jsonText);
    const std::string md5Upper = text::toHex(crypto::md5(base64), text::HexCase::Upper);
    const crypto::Bytes cs = crypto::hmacSha256(
        std::string_view(reinterpret_cast<const char*>(derived.data()), derived.size()), md5Upper);
    if (cs.empty() || md5Upper.empty()) {
        return std::nullopt;
    }
    SignedBody out;
    if (encoding == BodyEncoding::BASE64) {
        out.body = std::move(base64);
        out.contentType = "application/octet-stream";
    } else {
        out.body = std::string(jsonText);
        out.contentType = "application/json";
    }
    out.authTime = std::string(requestTime);
    out.authCs = text::toHex(cs);
    return out;
}

}  // namespace sorvel
