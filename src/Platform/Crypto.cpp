#include "Platform/Crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <span>

#include "Base/Hex.h"

namespace sorvel::platform::crypto {

void startLibrary() {
    static const bool started = [] {
        return OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    }();
    (void)started;
}

namespace {

// Algorithms looked up once: by name on every call, the lookup (and the
// locks it takes) costs as much as hashing a short text. Absent when the
// provider has none; the callers then use the implicit lookup.
const EVP_MD* fetchedDigest(const char* name) {
    startLibrary();
    return EVP_MD_fetch(nullptr, name, nullptr);
}

const EVP_MD* md5Algorithm() {
    static const EVP_MD* const md = fetchedDigest("MD5");
    return md != nullptr ? md : EVP_md5();
}

const EVP_MD* sha256Algorithm() {
    static const EVP_MD* const md = fetchedDigest("SHA256");
    return md != nullptr ? md : EVP_sha256();
}

// An HMAC-SHA256 context without a key; each thread keys a copy of its own.
const EVP_MAC_CTX* hmacSha256Template() {
    static const EVP_MAC_CTX* const templateCtx = []() -> EVP_MAC_CTX* {
        startLibrary();
        EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        if (mac == nullptr) {
            return nullptr;
        }
        EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
        EVP_MAC_free(mac);  // the context holds its own reference
        char digestName[] = "SHA256";
        const OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
            OSSL_PARAM_construct_end()};
        if (ctx != nullptr && EVP_MAC_CTX_set_params(ctx, params) != 1) {
            EVP_MAC_CTX_free(ctx);
            return nullptr;
        }
        return ctx;
    }();
    return templateCtx;
}

struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct MacCtxFree {
    void operator()(EVP_MAC_CTX* c) const { EVP_MAC_CTX_free(c); }
};

// A digest context per thread and algorithm, set up again for each digest:
// a one-shot EVP_Digest makes and frees a context every time, and a request
// is signed with an MD5 over its whole body.
bool digestInto(const EVP_MD* md, std::string_view data, unsigned char* out, unsigned int size) {
    startLibrary();
    thread_local std::unique_ptr<EVP_MD_CTX, MdCtxFree> md5Ctx;
    thread_local std::unique_ptr<EVP_MD_CTX, MdCtxFree> sha256Ctx;
    auto& kept = md == md5Algorithm() ? md5Ctx : sha256Ctx;
    if (!kept) {
        kept.reset(EVP_MD_CTX_new());
        if (!kept) {
            return false;
        }
    }
    unsigned int len = 0;
    if (EVP_DigestInit_ex2(kept.get(), md, nullptr) != 1 ||
        EVP_DigestUpdate(kept.get(), data.data(), data.size()) != 1 ||
        EVP_DigestFinal_ex(kept.get(), out, &len) != 1 || len != size) {
        // A context left in an unknown state is not used again.
        kept.reset();
        return false;
    }
    return true;
}

Bytes digest(const EVP_MD* md, std::string_view data, unsigned int size) {
    Bytes out(size);
    if (!digestInto(md, data, out.data(), size)) {
        return {};
    }
    return out;
}

// HMAC-SHA256 on a context per thread that keeps its last key: keying one
// anew (or copying a keyed template) costs a dozen allocations, and the
// requests of an hour are signed with the same key.
struct KeyedMac {
    std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx;
    std::string key;
    bool keyed = false;
};

bool macInto(std::string_view key, std::string_view data, unsigned char* out, std::size_t size) {
    startLibrary();
    const EVP_MAC_CTX* templateCtx = hmacSha256Template();
    if (templateCtx == nullptr) {
        return false;
    }
    thread_local KeyedMac kept;
    if (!kept.ctx) {
        kept.ctx.reset(EVP_MAC_CTX_dup(templateCtx));
        kept.keyed = false;
        if (!kept.ctx) {
            return false;
        }
    }
    // Both take a non-null key pointer even for an empty key.
    static const unsigned char kEmpty = 0;
    const bool sameKey = kept.keyed && kept.key == key;
    const unsigned char* keyPtr =
        key.empty() ? &kEmpty : reinterpret_cast<const unsigned char*>(key.data());
    std::size_t written = 0;
    if (EVP_MAC_init(kept.ctx.get(), sameKey ? nullptr : keyPtr, sameKey ? 0 : key.size(),
                     nullptr) != 1 ||
        EVP_MAC_update(kept.ctx.get(), reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) != 1 ||
        EVP_MAC_final(kept.ctx.get(), out, &written, size) != 1 || written != size) {
        kept.ctx.reset();
        kept.keyed = false;
        return false;
    }
    if (!sameKey) {
        kept.key.assign(key);
        kept.keyed = true;
    }
    return true;
}

}  // namespace

Bytes sha256(std::string_view data) {
    return digest(sha256Algorithm(), data, 32);
}

Bytes md5(std::string_view data) {
    return digest(md5Algorithm(), data, 16);
}

bool md5Into(std::string_view data, Md5Digest& out) {
    return digestInto(md5Algorithm(), data, out.data(), out.size());
}

bool hmacSha256Into(std::string_view key, std::string_view data, Sha256Digest& out) {
    if (macInto(key, data, out.data(), out.size())) {
        return true;
    }
    // Without the fetched algorithm: the implicit lookup.
    static const unsigned char kEmpty = 0;
    const void* keyPtr = key.empty() ? static_cast<const void*>(&kEmpty) : key.data();
    unsigned int len = 0;
    return HMAC(EVP_sha256(), keyPtr, static_cast<int>(key.size()),
                reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data(),
                &len) != nullptr &&
           len == out.size();
}

Bytes hmacSha256(std::string_view key, std::string_view data) {
    Sha256Digest d{};
    if (!hmacSha256Into(key, data, d)) {
        return {};
    }
    return Bytes(d.begin(), d.end());
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
    startLibrary();
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
    std::string out;
    appendUuidString(out);
    return out;
}

void appendUuidString(std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + kUuidTextSize);
    writeUuid(out.data() + start);
}

void writeUuid(char* out) {
    std::array<unsigned char, 16> b = randomBlock();
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    // Groups of 4, 2, 2, 2 and 6 bytes, dashes between them.
    char* p = out;
    std::size_t at = 0;
    for (std::size_t group : {4, 2, 2, 2, 6}) {
        if (at > 0) {
            *p++ = '-';
        }
        p = text::writeHex(p, std::span(b).subspan(at, group), text::HexCase::Upper);
        at += group;
    }
}

}  // namespace sorvel::platform::crypto
