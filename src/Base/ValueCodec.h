#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "sorvel/Value.h"

namespace sorvel {

// The compact binary form of a Value that durable stores keep. Layout: one
// version byte, then the value as a tag byte and its payload:
//   0 null | 1 false | 2 true | 3 int64 (zig-zag varint) | 4 uint64 (varint)
//   5 double (8 bytes, little-endian IEEE 754) | 6 string, 7 bytes (varint
//   length + raw bytes) | 8 array (varint count + values) | 9 map (varint
//   count + entries of varint key length, key bytes, value; keys strictly
//   ascending).
// Varints are unsigned LEB128 in their shortest form.
class ValueCodec {
  public:
    static constexpr std::uint8_t kVersion = 1;
    // Containers nested deeper than this are refused on both sides, as by the
    // JSON parser, so that decoding, rendering and destroying a value never
    // exhaust the stack.
    static constexpr int kMaxDepth = 256;

    // Absent when the value nests deeper than kMaxDepth.
    static std::optional<Value::Bytes> encode(const Value& value);
    // Absent for anything encode() did not produce: unknown version or tag,
    // truncation, trailing bytes, lengths beyond the input, non-canonical
    // varints, unsorted or repeated keys, too deep nesting. Never allocates more
    // than the input can justify.
    static std::optional<Value> decode(std::span<const std::uint8_t> bytes) noexcept;
};

}  // namespace sorvel
