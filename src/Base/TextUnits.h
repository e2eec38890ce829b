#pragma once

#include <cstddef>
#include <string_view>

namespace sorvel::text {

// The one UTF-8 decoder of the SDK (ICU's). It never fails: ill-formed input (a stray
// continuation byte, a byte that never starts a sequence, an overlong form, a
// surrogate, a code point beyond U+10FFFF, a sequence cut short) decodes as
// U+FFFD, one per maximal subpart: the longest run of bytes that starts like
// a well-formed sequence and then breaks off. "\xE2\x82" followed by "A" is
// one U+FFFD and an "A"; "\xC0\x80" (overlong) is two U+FFFD, since no
// well-formed sequence starts with 0xC0. This is how a conforming decoder
// repairs text, so every character count, cut and repair in the SDK agrees
// with what a reader of the repaired text sees, and a cut never lands inside
// a character, well-formed or not.

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

struct Utf8Char {
    char32_t codePoint;  // U+FFFD when ill-formed
    std::size_t length;  // bytes taken, at least 1
    bool wellFormed;
};

// The character starting at byte pos (pos < s.size()).
Utf8Char decodeAt(std::string_view s, std::size_t pos) noexcept;
// Decodes the character at pos and moves pos past it.
char32_t decodeNext(std::string_view s, std::size_t& pos) noexcept;
// True when the text is well-formed UTF-8 throughout.
bool isValidUtf8(std::string_view s) noexcept;

// Characters are Unicode code points.
std::size_t codePointCount(std::string_view s) noexcept;
// Byte offset of the n-th code point (s.size() when there are fewer).
std::size_t codePointOffset(std::string_view s, std::size_t n) noexcept;

// User-perceived characters: the extended grapheme clusters of ICU's
// character break iterator, the segmenter the view layer lays text out with,
// so a key's length and a cut agree with what a label shows. Ill-formed bytes
// segment as the U+FFFD they decode to.
std::size_t graphemeCount(std::string_view s) noexcept;
// The first n grapheme clusters of s (all of s when it has fewer).
std::string_view graphemePrefix(std::string_view s, std::size_t n) noexcept;

}  // namespace sorvel::text
