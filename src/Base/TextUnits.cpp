#include "Base/TextUnits.h"

#include <algorithm>
#include <cstdint>

namespace sorvel::text {
namespace {

struct Range {
    char32_t lo;
    char32_t hi;
};

// Combining and spacing marks, variation selectors, emoji modifiers and tags:
// everything that joins the character before it. Sorted, non-overlapping.
constexpr Range kExtend[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD},   {0x05BF, 0x05BF},
    {0x05C1, 0x05C2},   {0x05C4, 0x05C5},   {0x05C7, 0x05C7},   {0x0610, 0x061A},
    {0x064B, 0x065F},   {0x0670, 0x0670},   {0x06D6, 0x06DC},   {0x06DF, 0x06E4},
    {0x06E7, 0x06E8},   {0x06EA, 0x06ED},   {0x0711, 0x0711},   {0x0730, 0x074A},
    {0x07A6, 0x07B0},   {0x07EB, 0x07F3},   {0x0816, 0x082D},   {0x0859, 0x085B},
    {0x08D3, 0x08E1},   {0x08E3, 0x0903},   {0x093A, 0x093C},   {0x093E, 0x094F},
    {0x0951, 0x0957},   {0x0962, 0x0963},   {0x0981, 0x0983},   {0x09BC, 0x09BC},
    {0x09BE, 0x09CD},   {0x09D7, 0x09D7},   {0x09E2, 0x09E3},   {0x0A01, 0x0A03},
    {0x0A3C, 0x0A51},   {0x0A70, 0x0A71},   {0x0A75, 0x0A75},   {0x0A81, 0x0A83},
    {0x0ABC, 0x0ABC},   {0x0ABE, 0x0ACD},   {0x0AE2, 0x0AE3},   {0x0B01, 0x0B03},
    {0x0B3C, 0x0B3C},   {0x0B3E, 0x0B57},   {0x0B82, 0x0B82},   {0x0BBE, 0x0BCD},
    {0x0BD7, 0x0BD7},   {0x0C00, 0x0C04},   {0x0C3E, 0x0C56},   {0x0C81, 0x0C83},
    {0x0CBC, 0x0CBC},   {0x0CBE, 0x0CD6},   {0x0D00, 0x0D03},   {0x0D3B, 0x0D3C},
    {0x0D3E, 0x0D4D},   {0x0D57, 0x0D57},   {0x0D81, 0x0D83},   {0x0DCA, 0x0DDF},
    {0x0E31, 0x0E31},   {0x0E33, 0x0E3A},   {0x0E47, 0x0E4E},   {0x0EB1, 0x0EB1},
    {0x0EB3, 0x0EBC},   {0x0EC8, 0x0ECD},   {0x0F18, 0x0F19},   {0x0F35, 0x0F35},
    {0x0F37, 0x0F37},   {0x0F39, 0x0F39},   {0x0F3E, 0x0F3F},   {0x0F71, 0x0F84},
    {0x0F86, 0x0F87},   {0x0F8D, 0x0FBC},   {0x0FC6, 0x0FC6},   {0x102B, 0x103E},
    {0x1056, 0x1059},   {0x135D, 0x135F},   {0x1712, 0x1714},   {0x1732, 0x1734},
    {0x1752, 0x1753},   {0x17B4, 0x17D3},   {0x17DD, 0x17DD},   {0x180B, 0x180D},
    {0x1885, 0x1886},   {0x18A9, 0x18A9},   {0x1920, 0x193B},   {0x1A17, 0x1A1B},
    {0x1AB0, 0x1AFF},   {0x1B00, 0x1B04},   {0x1B34, 0x1B44},   {0x1B6B, 0x1B73},
    {0x1DC0, 0x1DFF},   {0x200C, 0x200C},   {0x20D0, 0x20F0},   {0x2CEF, 0x2CF1},
    {0x2D7F, 0x2D7F},   {0x2DE0, 0x2DFF},   {0x302A, 0x302F},   {0x3099, 0x309A},
    {0xA66F, 0xA672},   {0xA674, 0xA67D},   {0xA69E, 0xA69F},   {0xA6F0, 0xA6F1},
    {0xA802, 0xA802},   {0xA806, 0xA806},   {0xA80B, 0xA80B},   {0xA823, 0xA827},
    {0xA880, 0xA881},   {0xA8B4, 0xA8C5},   {0xA8E0, 0xA8F1},   {0xA926, 0xA92D},
    {0xA947, 0xA953},   {0xA980, 0xA983},   {0xA9B3, 0xA9C0},   {0xAA29, 0xAA36},
    {0xABE3, 0xABED},   {0xFB1E, 0xFB1E},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},
    {0xFF9E, 0xFF9F},   {0x101FD, 0x101FD}, {0x10A01, 0x10A0F}, {0x11000, 0x11002},
    {0x1D165, 0x1D169}, {0x1D16D, 0x1D172}, {0x1D17B, 0x1D182}, {0x1E130, 0x1E136},
    {0x1E8D0, 0x1E8D6}, {0x1E944, 0x1E94A}, {0x1F3FB, 0x1F3FF}, {0xE0020, 0xE007F},
    {0xE0100, 0xE01EF}};

// Pictographs that zero-width-joiner sequences glue together.
constexpr Range kPictographic[] = {
    {0x00A9, 0x00A9}, {0x00AE, 0x00AE}, {0x203C, 0x203C},   {0x2049, 0x2049},  {0x2122, 0x2122},
    {0x2139, 0x2139}, {0x2194, 0x2199}, {0x21A9, 0x21AA},   {0x231A, 0x231B},  {0x2328, 0x2328},
    {0x23CF, 0x23CF}, {0x23E9, 0x23F3}, {0x23F8, 0x23FA},   {0x24C2, 0x24C2},  {0x25AA, 0x25AB},
    {0x25B6, 0x25B6}, {0x25C0, 0x25C0}, {0x25FB, 0x25FE},   {0x2600, 0x27BF},  {0x2934, 0x2935},
    {0x2B05, 0x2B55}, {0x3030, 0x303D}, {0x1F000, 0x1FAFF}, {0x1FC00, 0x1FFFD}};

template <std::size_t N>
constexpr bool sortedAndDisjoint(const Range (&table)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
        if (table[i].lo > table[i].hi || (i > 0 && table[i - 1].hi >= table[i].lo)) {
            return false;
        }
    }
    return true;
}
static_assert(sortedAndDisjoint(kExtend));
static_assert(sortedAndDisjoint(kPictographic));

template <std::size_t N>
bool inRanges(const Range (&table)[N], char32_t c) {
    const Range* end = table + N;
    const Range* it =
        std::upper_bound(table, end, c, [](char32_t v, const Range& r) { return v < r.lo; });
    if (it == table) {
        return false;
    }
    --it;
    return c >= it->lo && c <= it->hi;
}

enum class Cat { Other, CR, LF, Control, Extend, ZWJ, RI, Pict, L, V, T, LV, LVT };

Cat category(char32_t c) {
    if (c == '\r') {
        return Cat::CR;
    }
    if (c == '\n') {
        return Cat::LF;
    }
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x200B || c == 0x200E || c == 0x200F ||
        c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
        (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF) {
        return Cat::Control;
    }
    if (c == 0x200D) {
        return Cat::ZWJ;
    }
    if (c >= 0x1F1E6 && c <= 0x1F1FF) {
        return Cat::RI;
    }
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0xA960 && c <= 0xA97C)) {
        return Cat::L;
    }
    if ((c >= 0x1160 && c <= 0x11A7) || (c >= 0xD7B0 && c <= 0xD7C6)) {
        return Cat::V;
    }
    if ((c >= 0x11A8 && c <= 0x11FF) || (c >= 0xD7CB && c <= 0xD7FB)) {
        return Cat::T;
    }
    if (c >= 0xAC00 && c <= 0xD7A3) {
        return (c - 0xAC00) % 28 == 0 ? Cat::LV : Cat::LVT;
    }
    if (inRanges(kExtend, c)) {
        return Cat::Extend;
    }
    if (inRanges(kPictographic, c)) {
        return Cat::Pict;
    }
    return Cat::Other;
}

// Walks the clusters; calls onBoundary(byteOffset) before every cluster but
// the first and stops early when it returns false.
template <typename F>
void segment(std::string_view s, F onBoundary) {
    std::size_t pos = 0;
    if (s.empty()) {
        return;
    }
    Cat prev = category(decodeNext(s, pos));
    // State for the emoji and flag rules.
    bool pictThenExtends = prev == Cat::Pict;  // Pict Extend*
    bool pictZwj = false;                      // Pict Extend* ZWJ
    int riRun = prev == Cat::RI ? 1 : 0;
    while (pos < s.size()) {
        std::size_t at = pos;
        Cat cur = category(decodeNext(s, pos));
        bool join = false;
        if (prev == Cat::CR && cur == Cat::LF) {
            join = true;
        } else if (prev == Cat::CR || prev == Cat::LF || prev == Cat::Control || cur == Cat::CR ||
                   cur == Cat::LF || cur == Cat::Control) {
            join = false;
        } else if (prev == Cat::L &&
                   (cur == Cat::L || cur == Cat::V || cur == Cat::LV || cur == Cat::LVT)) {
            join = true;
        } else if ((prev == Cat::LV || prev == Cat::V) && (cur == Cat::V || cur == Cat::T)) {
            join = true;
        } else if ((prev == Cat::LVT || prev == Cat::T) && cur == Cat::T) {
            join = true;
        } else if (cur == Cat::Extend || cur == Cat::ZWJ) {
            join = true;
        } else if (pictZwj && cur == Cat::Pict) {
            join = true;
        } else if (prev == Cat::RI && cur == Cat::RI && riRun % 2 == 1) {
            join = true;
        }
        if (!join && !onBoundary(at)) {
            return;
        }
        // Update the sequence state.
        if (cur == Cat::Pict) {
            pictThenExtends = true;
            pictZwj = false;
        } else if (cur == Cat::Extend) {
            pictZwj = false;
        } else if (cur == Cat::ZWJ) {
            pictZwj = pictThenExtends;
            pictThenExtends = false;
        } else {
            pictThenExtends = false;
            pictZwj = false;
        }
        riRun = cur == Cat::RI ? riRun + 1 : 0;
        prev = cur;
    }
}

}  // namespace

Utf8Char decodeAt(std::string_view s, std::size_t pos) noexcept {
    const auto b0 = static_cast<unsigned char>(s[pos]);
    if (b0 < 0x80) {
        return {b0, 1, true};
    }
    // The second byte's range excludes overlong forms (after 0xE0 and 0xF0),
    // surrogates (after 0xED) and code points beyond U+10FFFF (after 0xF4).
    std::size_t need = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    char32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        lo = b0 == 0xE0 ? 0xA0 : 0x80;
        hi = b0 == 0xED ? 0x9F : 0xBF;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        lo = b0 == 0xF0 ? 0x90 : 0x80;
        hi = b0 == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {kReplacementCharacter, 1, false};
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (pos + k >= s.size()) {
            return {kReplacementCharacter, k, false};
        }
        const auto b = static_cast<unsigned char>(s[pos + k]);
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) {
            return {kReplacementCharacter, k, false};
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, need + 1, true};
}

char32_t decodeNext(std::string_view s, std::size_t& pos) noexcept {
    const Utf8Char c = decodeAt(s, pos);
    pos += c.length;
    return c.codePoint;
}

bool isValidUtf8(std::string_view s) noexcept {
    std::size_t pos = 0;
    while (pos < s.size()) {
        if (static_cast<unsigned char>(s[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const Utf8Char c = decodeAt(s, pos);
        if (!c.wellFormed) {
            return false;
        }
        pos += c.length;
    }
    return true;
}

std::size_t codePointCount(std::string_view s) noexcept {
    std::size_t n = 0;
    for (std::size_t pos = 0; pos < s.size(); ++n) {
        decodeNext(s, pos);
    }
    return n;
}

std::size_t codePointOffset(std::string_view s, std::size_t n) noexcept {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < n && pos < s.size(); ++i) {
        decodeNext(s, pos);
    }
    return pos;
}

std::size_t graphemeCount(std::string_view s) noexcept {
    if (s.empty()) {
        return 0;
    }
    std::size_t n = 1;
    segment(s, [&n](std::size_t) {
        ++n;
        return true;
    });
    return n;
}

std::string_view graphemePrefix(std::string_view s, std::size_t n) noexcept {
    if (n == 0) {
        return s.substr(0, 0);
    }
    // A cluster takes at least one byte, so a text of at most n bytes is
    // whole; and ASCII other than CR is one cluster a byte, as long as the
    // byte after the cut does not extend the last one (only a non-ASCII mark
    // could). Most attribute values take one of these two roads.
    if (s.size() <= n) {
        return s;
    }
    bool plain = true;
    for (std::size_t i = 0; i <= n && plain; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        plain = c < 0x80 && c != '\r';
    }
    if (plain) {
        return s.substr(0, n);
    }
    std::size_t seen = 1;
    std::size_t cut = s.size();
    segment(s, [&](std::size_t at) {
        if (seen == n) {
            cut = at;
            return false;
        }
        ++seen;
        return true;
    });
    return s.substr(0, cut);
}

}  // namespace sorvel::text
