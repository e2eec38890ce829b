#pragma once

#include <cstddef>
#include <string_view>

namespace sorvel::text {

// UTF-8 helpers that never fail: a byte that does not start a well-formed
// sequence (stray continuation, overlong form, surrogate, beyond U+10FFFF,
// truncated tail) counts as one character of its own, U+FFFD.

// Decodes the character at pos and moves pos past it.
char32_t decodeNext(std::string_view s, std::size_t& pos) noexcept;

// Characters are Unicode code points.
std::size_t codePointCount(std::string_view s) noexcept;
// Byte offset of the n-th code point (s.size() when there are fewer).
std::size_t codePointOffset(std::string_view s, std::size_t n) noexcept;

// User-perceived characters (extended grapheme clusters) by an in-house
// segmenter covering the common cases: CR LF, controls, combining marks and
// spacing marks of the major scripts, variation selectors, emoji modifiers
// and tags, zero-width-joiner emoji sequences, regional-indicator flag pairs
// and Hangul jamo syllables.
std::size_t graphemeCount(std::string_view s) noexcept;
// The first n grapheme clusters of s (all of s when it has fewer).
std::string_view graphemePrefix(std::string_view s, std::size_t n) noexcept;

}  // namespace sorvel::text
