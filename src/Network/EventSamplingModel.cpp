#include "Network/EventSamplingModel.h"

#include <limits>

namespace sorvel {

EventSamplingModel EventSamplingModel::fromDictionary(const Value::Map& dictionary) {
    std::int64_t typeCode = -1;
    if (auto it = dictionary.find("type"); it != dictionary.end() && it->second.isInteger()) {
        typeCode = it->second.toInt64().value_or(-1);
    }
    EventSamplingType type = typeCode == 0   ? EventSamplingType::ADID
                             : typeCode == 1 ? EventSamplingType::LOG_ID
                                             : EventSamplingType::NONE;

    std::map<std::string, std::uint32_t> probabilities;
    if (auto it = dictionary.find("eventProbabilities");
        it != dictionary.end() && it->second.isMap()) {
        bool allFit = true;
        for (const auto& [key, value] : *it->second.getMap()) {
            auto n = value.isInteger() ? value.toUInt64() : std::nullopt;
            if (!n || *n > std::numeric_limits<std::uint32_t>::max()) {
                allFit = false;
                break;
            }
            probabilities.emplace(key, static_cast<std::uint32_t>(*n));
        }
        if (!allFit) {
            probabilities.clear();
        }
    }
    return EventSamplingModel(type, std::move(probabilities));
}

std::optional<std::uint32_t> EventSamplingModel::getProbability(const std::string& key) const {
    auto it = eventWithProbability.find(key);
    if (it == eventWithProbability.end()) {
        return std::nullopt;
    }
    return it->second;
}

}  // namespace sorvel
