#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "sorvel/Value.h"

namespace sorvel {

// How an event's sampling decision is keyed.
enum class EventSamplingType { ADID, LOG_ID, NONE };

// One sampling rule of the remote configuration; immutable once built.
class EventSamplingModel {
  public:
    EventSamplingModel(EventSamplingType type, std::map<std::string, std::uint32_t> probabilities)
        : type(type), eventWithProbability(std::move(probabilities)) {}

    // "type": an integer, 0 ADID, 1 LOG_ID, anything else (or not an integer)
    // NONE; "eventProbabilities": a map of unsigned 32-bit percentages (empty
    // when absent, not a map, or any value not such an integer). Never fails.
    static EventSamplingModel fromDictionary(const Value::Map& dictionary);

    // The probability of the key, absent when it has none.
    std::optional<std::uint32_t> getProbability(const std::string& key) const;

    const EventSamplingType type;
    const std::map<std::string, std::uint32_t> eventWithProbability;
};

}  // namespace sorvel
