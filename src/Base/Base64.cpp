#include "Base/Base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace sorvel::text {
namespace {

// EVP_DecodeBlock takes an int length; large inputs go through in slices of
// whole 4-character groups.
constexpr std::size_t kDecodeSlice = 4 * (1u << 20);

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool isAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

}  // namespace

// Every 12 bits of input as their two characters.
struct PairTable {
    std::array<std::array<char, 2>, 4096> pairs{};
    constexpr PairTable() {
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            pairs[i] = {kAlphabet[i >> 6], kAlphabet[i & 63]};
        }
    }
};
constexpr PairTable kPairTable;

std::uint64_t toBigEndian(std::uint64_t w) {
    if constexpr (std::endian::native == std::endian::little) {
        return __builtin_bswap64(w);
    }
    return w;
}

// By a table of character pairs, two lookups for every three bytes: signing
// a request encodes its whole body, and EVP_EncodeBlock took about ten
// instructions a byte.
void appendBase64(std::string& out, std::span<const std::uint8_t> data) {
    const std::size_t start = out.size();
    out.resize(start + 4 * ((data.size() + 2) / 3));
    char* o = out.data() + start;
    const std::uint8_t* p = data.data();
    const std::uint8_t* const whole = p + data.size() / 3 * 3;
    // Six bytes at a time while eight can be read: one load, four lookups.
    for (; whole - p >= 8; p += 6, o += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, sizeof w);
        w = toBigEndian(w);
        std::memcpy(o, kPairTable.pairs[(w >> 52) & 0xFFF].data(), 2);
        std::memcpy(o + 2, kPairTable.pairs[(w >> 40) & 0xFFF].data(), 2);
        std::memcpy(o + 4, kPairTable.pairs[(w >> 28) & 0xFFF].data(), 2);
        std::memcpy(o + 6, kPairTable.pairs[(w >> 16) & 0xFFF].data(), 2);
    }
    for (; p != whole; p += 3, o += 4) {
        const std::uint32_t n = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
        std::memcpy(o, kPairTable.pairs[n >> 12].data(), 2);
        std::memcpy(o + 2, kPairTable.pairs[n & 0xFFF].data(), 2);
    }
    const std::size_t left = data.size() % 3;
    if (left > 0) {
        const std::uint32_t n =
            (std::uint32_t{p[0]} << 16) | (left == 2 ? std::uint32_t{p[1]} << 8 : 0);
        o[0] = kAlphabet[n >> 18];
        o[1] = kAlphabet[(n >> 12) & 63];
        o[2] = left == 2 ? kAlphabet[(n >> 6) & 63] : '=';
        o[3] = '=';
    }
}

std::string base64Encode(std::span<const std::uint8_t> data) {
    std::string out;
    appendBase64(out, data);
    return out;
}

std::string base64Encode(std::string_view data) {
    return base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    // Padding only closes the text, at most two characters of it: EVP_DecodeBlock
    // itself takes "=" anywhere, blanks around the text, and "A===" as data.
    std::size_t pad = 0;
    while (pad < text.size() && text[text.size() - 1 - pad] == '=') {
        ++pad;
    }
    if (pad > 2 ||
        !std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(pad), isAlphabet)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out(text.size() / 4 * 3);
    std::size_t size = 0;
    for (std::size_t i = 0; i < text.size(); i += kDecodeSlice) {
        const std::size_t n = std::min(kDecodeSlice, text.size() - i);
        const int got = EVP_DecodeBlock(out.data() + size,
                                        reinterpret_cast<const unsigned char*>(text.data() + i),
                                        static_cast<int>(n));
        if (got < 0) {
            return std::nullopt;
        }
        size += static_cast<std::size_t>(got);
    }
    // EVP_DecodeBlock keeps the zero bytes that stand for the padding. The bits
    // left over below the last whole byte are ignored, so "Zh==" reads as "Zg==".
    out.resize(size - pad);
    return out;
}

}  // namespace sorvel::text
