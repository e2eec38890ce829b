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
    bool derived GUARDED_BY(mu) = false;
    crypto::Sha256Digest key GUARDED_BY(mu){};
};

// The per-request key changes once an hour: every request of that hour with
// the same secret key reuses the last one derived instead of another HMAC.
bool derivedKey(std::string_view secretKey, std::string_view hour, crypto::Sha256Digest& key) {
    Last& last = SdkState::shared().part<Last>();
    {
        platform::MutexLock lock(last.mu);
        if (last.derived && last.hour == hour && last.secretKey == secretKey) {
            key = last.key;
            return true;
        }
    }
    if (!crypto::hmacSha256Into(secretKey, hour, key)) {
        return false;
    }
    platform::MutexLock lock(last.mu);
    last.secretKey.assign(secretKey);
    last.hour.assign(hour);
    last.key = key;
    last.derived = true;
    return true;
}
}  // namespace

std::optional<SignedBody> signRequestBody(std::string_view jsonText, BodyEncoding encoding,
                                          std::string_view secretKey,
                                          std::string_view requestTime) {
    if (secretKey.empty() || requestTime.size() < kKeyTimeLength) {
        return std::nullopt;
    }
    crypto::Sha256Digest derived{};
    if (!derivedKey(secretKey, requestTime.substr(0, kKeyTimeLength), derived)) {
        return std::nullopt;
    }
    SignedBody out;
    // The Base64 is written where the body goes when it travels so; the
    // digests stay on the stack.
    std::string base64Text;
    std::string& base64 = encoding == BodyEncoding::BASE64 ? out.body : base64Text;
    text::appendBase64(
        base64, std::span(reinterpret_cast<const std::uint8_t*>(jsonText.data()), jsonText.size()));
    crypto::Md5Digest md5{};
    if (!crypto::md5Into(base64, md5)) {
        return std::nullopt;
    }
    char md5Upper[2 * md5.size()];
    text::writeHex(md5Upper, md5, text::HexCase::Upper);
    crypto::Sha256Digest cs{};
    if (!crypto::hmacSha256Into(
            std::string_view(reinterpret_cast<const char*>(derived.data()), derived.size()),
            std::string_view(md5Upper, sizeof md5Upper), cs)) {
        return std::nullopt;
    }
    if (encoding == BodyEncoding::BASE64) {
        out.contentType = "application/octet-stream";
    } else {
        out.body.assign(jsonText);
        out.contentType = "application/json";
    }
    out.authTime.assign(requestTime);
    text::appendHex(out.authCs, cs);
    return out;
}

}  // namespace sorvel
