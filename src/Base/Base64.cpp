#include "Base/Base64.h"

#include <array>

namespace sorvel::text {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Six-bit value of each alphabet character; -1 for every other byte.
constexpr std::array<std::int8_t, 256> kValues = [] {
    std::array<std::int8_t, 256> t{};
    t.fill(-1);
    for (int i = 0; i < 64; ++i) {
        t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    }
    return t;
}();

}  // namespace

void appendBase64(std::string& out, std::span<const std::uint8_t> data) {
    const std::size_t start = out.size();
    out.resize(start + 4 * ((data.size() + 2) / 3));
    char* p = out.data() + start;
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const std::uint32_t v =
            (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
        *p++ = kAlphabet[(v >> 18) & 0x3F];
        *p++ = kAlphabet[(v >> 12) & 0x3F];
        *p++ = kAlphabet[(v >> 6) & 0x3F];
        *p++ = kAlphabet[v & 0x3F];
    }
    if (const std::size_t rest = data.size() - i; rest > 0) {
        std::uint32_t v = std::uint32_t{data[i]} << 16;
        if (rest == 2) {
            v |= std::uint32_t{data[i + 1]} << 8;
        }
        *p++ = kAlphabet[(v >> 18) & 0x3F];
        *p++ = kAlphabet[(v >> 12) & 0x3F];
        *p++ = rest == 2 ? kAlphabet[(v >> 6) & 0x3F] : '=';
        *p++ = '=';
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
    std::size_t pad = 0;
    while (pad < text.size() && text[text.size() - 1 - pad] == '=') {
        ++pad;
    }
    if (pad > 2) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : text.substr(0, text.size() - pad)) {
        const int v = kValues[static_cast<unsigned char>(c)];
        if (v < 0) {
            return std::nullopt;
        }
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(acc >> bits));
            acc &= (1u << bits) - 1;
        }
    }
    // The bits left over below the last whole byte are ignored, as most
    // decoders do, so "Zh==" reads as "Zg==" does.
    return out;
}

}  // namespace sorvel::text
