#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "sorvel/Value.h"

namespace sorvel {

// The server's answer to a message-history list query, read without building
// the whole answer as one tree: an answer near the HTTP size cap holds some
// hundred thousand entries, and its tree would take ten times the text.
//
// The answer is read the way the JSON reader of Value reads it: a JSON object
// whose "histories" is an array of objects; where a key appears twice, the
// last one counts.
struct HistoryListAnswer {
    // "minutes_to_refresh", when it is an integer that fits 64 bits.
    std::optional<std::int64_t> minutesToRefresh;
    // How many entries "histories" holds.
    std::size_t entries = 0;

    // What the text holds, or nothing when it is not such an answer (not
    // JSON, not an object, nested deeper than the JSON reader accepts, no
    // "histories" array, or an element of it that is not an object). Reads
    // the text once and builds nothing.
    static std::optional<HistoryListAnswer> check(std::string_view text) noexcept;

    // Hands each element of "histories" to onEntry, in order, one at a time:
    // only one entry's tree exists at any moment. Only for a text that
    // check() accepted.
    static void forEachEntry(std::string_view text,
                             const std::function<void(const Value::Map& entry)>& onEntry);
};

}  // namespace sorvel
