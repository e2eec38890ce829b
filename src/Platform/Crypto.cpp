#include "Platform/Crypto.h"

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

Bytes digest(const EVP_MD* md, std::string_view data) {
    startLibrary();
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr) != 1) {
        return {};
    }
    out.resize(len);
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
    startLibrary();
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
    std::array<unsigned char, 16> b = randomBlock();
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    // Groups of 4, 2, 2, 2 and 6 bytes, written over a line of dashes.
    std::string out(36, '-');
    char* p = out.data();
    std::size_t at = 0;
    for (std::size_t group : {4, 2, 2, 2, 6}) {
        if (at > 0) {
            ++p;  // keep the dash
        }
        p = text::writeHex(p, std::span(b).subspan(at, group), text::HexCase::Upper);
        at += group;
    }
    return out;
}

}  // namespace sorvel::platform::crypto
