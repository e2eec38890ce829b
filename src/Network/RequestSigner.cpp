#include "Network/RequestSigner.h"

#include "Base/Base64.h"
#include "Base/Hex.h"
#include "Common/SdkState.h"
#include "Platform/Crypto.h"
#include "Platform/Mutex.h"

namespace sorvel {

namespace crypto = platform::crypto;

namespace {
constexpr std::size_t kKeyTimeLength = 13;  // "yyyy-MM-ddTHH"

// The last key derived, kept for one SDK lifetime.
struct Last : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::requestSigner;

    platform::Mutex mu;
    std::string secretKey GUARDED_BY(mu);
    std::string hour GUARDED_BY(mu);
    crypto::Bytes key GUARDED_BY(mu);
};

// The per-request key changes once an hour: every request of that hour with
// the same secret key reuses the last one derived instead of another HMAC.
crypto::Bytes derivedKey(std::string_view secretKey, std::string_view hour) {
    Last& last = SdkState::shared().part<Last>();
    {
        platform::MutexLock lock(last.mu);
        if (!last.key.empty() && last.hour == hour && last.secretKey == secretKey) {
            return last.key;
        }
    }
    crypto::Bytes key = crypto::hmacSha256(secretKey, hour);
    if (!key.empty()) {
        platform::MutexLock lock(last.mu);
        last.secretKey.assign(secretKey);
        last.hour.assign(hour);
        last.key = key;
    }
    return key;
}
}  // namespace

std::optional<SignedBody> signRequestBody(std::string_view jsonText, BodyEncoding encoding,
                                          std::string_view secretKey,
                                          std::string_view requestTime) {
    if (secretKey.empty() || requestTime.size() < kKeyTimeLength) {
        return std::nullopt;
    }
    const crypto::Bytes derived = derivedKey(secretKey, requestTime.substr(0, kKeyTimeLength));
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
