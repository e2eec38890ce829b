#pragma once

// What an app home holds on disk of the events the kill soak numbered: read
// after a launch was killed and before the next one starts, it tells an event
// the dead process had stored (in the unsent list or a journal's package
// record) from one it still held only in memory.
#include <chrono>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace sorvel::tools {

// The launch that recorded an event (its "run" attribute) and its number.
using EventKey = std::pair<long long, long long>;

// An event's integer attribute ("n", "run") as the SDK writes it: a number,
// or a typed text such as "long:42"; the custom-attribute prefix "c:" is
// allowed on the key.
std::optional<long long> eventNumber(const nlohmann::json& param, const char* key);

struct StoredEvents {
    // Every numbered event in the unsent list or in a package or open-buffer record of a
    // journal (settled or not: an acknowledged one was delivered anyway).
    std::set<EventKey> numbered;
    // Events of any kind (the SDK's own too) in the packages a start would
    // restore: the list and the journals' packages not yet settled, each
    // package once. This is what the store's cap of unsent events counts.
    long long pending = 0;
    // When a journal file was last written (its newest modification time);
    // absent when there is none.
    std::optional<std::filesystem::file_time_type> journalWrittenAt;
    // Why a part could not be read; empty when everything was.
    std::string problem;
};

// Reads the app home's settings store (from a copy, so the store the next
// launch opens is left as the kill left it) and its journals. Must not run
// while a process uses the home.
StoredEvents readStoredEvents(const std::filesystem::path& appHome);

}  // namespace sorvel::tools
