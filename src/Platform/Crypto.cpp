#include "Platform/Crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>

namespace sorvel::platform::crypto {
namespace {

Bytes digest(const EVP_MD* md, std::string_view data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr) != 1) {
        return {};
    }
    out.resize(len);
    return out;
}

std::string toHex(const Bytes& bytes, const char* digits) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0f]);
    }
    return out;
}

}  // namespace

Bytes sha256(std::string_view data) {
    return digest(EVP_sha256(), data);
}

Bytes md5(std::string_view data) {
    return digest(EVP_md5(), data);
}

Bytes hmacSha256(std::string_view key, std::string_view data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    // HMAC() takes a non-null key pointer even for an empty key.
    static const unsigned char kEmpty = 0;
    const void* keyPtr = key.empty() ? static_cast<const void*>(&kEmpty) : key.data();
    if (HMAC(EVP_sha256(), keyPtr, static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data(),
             &len) == nullptr) {
        return {};
    }
    out.resize(len);
    return out;
}

std::string toHexLower(const Bytes& bytes) {
    return toHex(bytes, "0123456789abcdef");
}

std::string toHexUpper(const Bytes& bytes) {
    return toHex(bytes, "0123456789ABCDEF");
}

std::string base64Encode(std::string_view data) {
    if (data.empty()) {
        return {};
    }
    std::string out(4 * ((data.size() + 2) / 3), '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(data.data()),
                            static_cast<int>(data.size()));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

std::string base64Encode(const Bytes& data) {
    return base64Encode(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.empty()) {
        return Bytes{};
    }
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    // Padding only closes the text, at most two characters of it: EVP_DecodeBlock
    // itself takes "=" anywhere and "A===" or "====" as data.
    std::size_t pad = 0;
    while (pad < text.size() && text[text.size() - 1 - pad] == '=') {
        ++pad;
    }
    if (pad > 2) {
        return std::nullopt;
    }
    for (char c : text.substr(0, text.size() - pad)) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '+' || c == '/';
        if (!ok) {
            return std::nullopt;
        }
    }
    Bytes out(3 * text.size() / 4);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0 || static_cast<std::size_t>(n) < pad) {
        return std::nullopt;
    }
    // EVP_DecodeBlock keeps the zero bytes that stand for the padding.
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

namespace {

// Bumped in the child of a fork, so random bytes drawn before the fork are
// never used by both processes.
std::atomic<std::uint64_t>& forkGeneration() {
    static std::atomic<std::uint64_t> generation{0};
    static const bool registered = [] {
        return pthread_atfork(nullptr, nullptr, [] {
                   forkGeneration().fetch_add(1, std::memory_order_relaxed);
               }) == 0;
    }();
    (void)registered;
    return generation;
}

// Sixteen random bytes. Every event gets a UUID, and a call into the CSPRNG
// per id costs more than all the other work on an event, so each thread draws
// random bytes in blocks (refilled after a fork) and wipes what it hands out.
std::array<unsigned char, 16> randomBlock() {
    struct Pool {
        std::array<unsigned char, 4096> bytes{};
        std::size_t used = 4096;
        std::uint64_t generation = 0;
    };
    thread_local Pool pool;
    std::array<unsigned char, 16> b{};
    const std::uint64_t generation = forkGeneration().load(std::memory_order_relaxed);
    if (pool.used + b.size() > pool.bytes.size() || pool.generation != generation) {
        if (RAND_bytes(pool.bytes.data(), static_cast<int>(pool.bytes.size())) != 1) {
            // The CSPRNG failing is not recoverable in a meaningful way; fall
            // back to the C++ random device so ids stay unique.
            std::random_device rd;
            for (auto& x : b) {
                x = static_cast<unsigned char>(rd());
            }
            return b;
        }
        pool.used = 0;
        pool.generation = generation;
    }
    std::memcpy(b.data(), pool.bytes.data() + pool.used, b.size());
    std::memset(pool.bytes.data() + pool.used, 0, b.size());
    pool.used += b.size();
    return b;
}

}  // namespace

std::string uuidString() {
    std::array<unsigned char, 16> b = randomBlock();
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out(36, '-');
    std::size_t pos = 0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            ++pos;  // keep the dash
        }
        out[pos++] = kHex[b[i] >> 4];
        out[pos++] = kHex[b[i] & 0x0F];
    }
    return out;
}

}  // namespace sorvel::platform::crypto
