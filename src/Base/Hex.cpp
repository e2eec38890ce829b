#include "Base/Hex.h"

namespace sorvel::text {

char* writeHex(char* out, std::span<const std::uint8_t> bytes, HexCase letters) noexcept {
    const char* digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (std::uint8_t b : bytes) {
        *out++ = digits[b >> 4];
        *out++ = digits[b & 0x0F];
    }
    return out;
}

void appendHex(std::string& out, std::span<const std::uint8_t> bytes, HexCase letters) {
    const std::size_t start = out.size();
    out.resize(start + 2 * bytes.size());
    writeHex(out.data() + start, bytes, letters);
}

std::string toHex(std::span<const std::uint8_t> bytes, HexCase letters) {
    std::string out;
    appendHex(out, bytes, letters);
    return out;
}

int hexDigitValue(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace sorvel::text
