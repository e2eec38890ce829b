#include "Event/EventSamplingFilter.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DatesAndIds.h"
#include "Common/SvlLog.h"
#include "Event/LogEventParameter.h"
#include "Event/TypedValueDictionary.h"

namespace sorvel {

std::shared_ptr<EventSamplingFilter> EventSamplingFilter::create(
    std::shared_ptr<DataRegistry> dataRegistry) {
    auto filter = std::make_shared<EventSamplingFilter>(PassKey{}, dataRegistry);
    std::weak_ptr<EventSamplingFilter> weak = filter;
    dataRegistry->addListener(
        DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA,
        std::make_shared<DataUnitEventListener>([weak](const std::optional<Value>& value) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            const Value::Map* map = value ? value->getMap() : nullptr;
            if (map == nullptr) {
                SvlLog::error("value can not be casted to Dictionary : " +
                                  (value ? value->render() : std::string("nil")),
                              true);
                return;
            }
            self->setEventSamplingModel(std::make_shared<const EventSamplingModel>(
                EventSamplingModel::fromDictionary(*map)));
        }));
    return filter;
}

namespace {

using KeyPieces = EventSamplingFilter::KeyPieces;

// FNV-1a over the key's bytes: a joined key and its pieces hash alike.
constexpr std::uint64_t kFnvBasis = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

std::uint64_t fnv(std::uint64_t hash, std::string_view bytes) {
    for (const char c : bytes) {
        hash = (hash ^ static_cast<unsigned char>(c)) * kFnvPrime;
    }
    return hash;
}

bool joinedEquals(std::string_view whole, const KeyPieces& key) {
    return whole.size() == key.group.size() + 1 + key.name.size() &&
           whole.substr(0, key.group.size()) == key.group && whole[key.group.size()] == ':' &&
           whole.substr(key.group.size() + 1) == key.name;
}

struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view whole) const {
        return static_cast<std::size_t>(fnv(kFnvBasis, whole));
    }
    std::size_t operator()(const KeyPieces& key) const {
        return static_cast<std::size_t>(fnv(fnv(fnv(kFnvBasis, key.group), ":"), key.name));
    }
};

struct KeyEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a == b; }
    bool operator()(const KeyPieces& key, std::string_view whole) const {
        return joinedEquals(whole, key);
    }
    bool operator()(std::string_view whole, const KeyPieces& key) const {
        return joinedEquals(whole, key);
    }
};

std::string joined(const KeyPieces& key) {
    std::string text;
    text.reserve(key.group.size() + 1 + key.name.size());
    text.append(key.group).append(1, ':').append(key.name);
    return text;
}

}  // namespace

struct EventSamplingFilter::Rules {
    explicit Rules(std::shared_ptr<const EventSamplingModel> source) : model(std::move(source)) {
        // Only the device-id kind ever drops an event.
        if (model->type == EventSamplingType::ADID) {
            probabilities.insert(model->eventWithProbability.begin(),
                                 model->eventWithProbability.end());
        }
    }
    const std::shared_ptr<const EventSamplingModel> model;
    // Empty when the model drops nothing: no key is looked up then.
    std::unordered_map<std::string, std::uint32_t, KeyHash, KeyEqual> probabilities;
};

EventSamplingFilter::EventSamplingFilter(PassKey, std::shared_ptr<DataRegistry> dataRegistry)
    : dataRegistry_(std::move(dataRegistry)) {
    auto model = std::make_shared<const EventSamplingModel>(
        EventSamplingModel::fromDictionary(dataRegistry_->getDictionary(
            DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA, {})));
    auto rules = std::make_shared<const Rules>(std::move(model));
    platform::MutexLock lock(mu_);
    rules_ = std::move(rules);
}

std::shared_ptr<const EventSamplingFilter::Rules> EventSamplingFilter::rules() const {
    platform::MutexLock lock(mu_);
    return rules_;
}

std::shared_ptr<const EventSamplingModel> EventSamplingFilter::eventSamplingModel() const {
    return rules()->model;
}

void EventSamplingFilter::setEventSamplingModel(std::shared_ptr<const EventSamplingModel> model) {
    if (!model) {
        return;
    }
    std::shared_ptr<const Rules> rules = std::make_shared<const Rules>(std::move(model));
    platform::MutexLock lock(mu_);
    rules_.swap(rules);
    // The old rules are released after the lock, by `rules` going out of scope.
}

bool EventSamplingFilter::isBlocked(const LogEventParameter& parameter) const {
    const std::shared_ptr<const Rules> current = rules();
    if (current->probabilities.empty()) {
        return false;
    }
    std::string scratch;
    const KeyPieces pieces = samplingKeyPieces(parameter, scratch);
    return isBlockedByRules(*current, &pieces, nullptr);
}

EventSamplingFilter::KeyPieces EventSamplingFilter::samplingKeyPieces(
    const LogEventParameter& parameter, std::string& scratch) {
    const KeyPieces key{parameter.group, parameter.eventName};
    if (parameter.eventName != Constants::EVENT_NAME_START_SESSION) {
        return key;
    }
    const Value* given = parameter.findParam(Constants::PARAM_KEY_OPEN_TYPE);
    if (given == nullptr) {
        return key;
    }
    // The open type as it is written, with its type prefix.
    const std::string* openType = given->getString();
    if (parameter.paramForm == ParamForm::native && !given->isMap()) {
        scratch = typedtext::text(*given);
        openType = &scratch;
    }
    if (openType != nullptr && openType->find(':') != std::string::npos) {
        // The last piece of a split at every ":" (empty when it ends with one).
        return KeyPieces{parameter.group,
                         std::string_view(*openType).substr(openType->rfind(':') + 1)};
    }
    return key;
}

std::string EventSamplingFilter::getSamplingKey(const LogEventParameter& parameter) {
    std::string scratch;
    return joined(samplingKeyPieces(parameter, scratch));
}

bool EventSamplingFilter::isBlockedBySamplingFilter(const std::string& key) const {
    const std::shared_ptr<const Rules> current = rules();
    if (current->probabilities.empty()) {
        return false;
    }
    return isBlockedByRules(*current, nullptr, &key);
}

bool EventSamplingFilter::isBlockedByRules(const Rules& rules, const KeyPieces* pieces,
                                           const std::string* key) const {
    const bool exempt = std::any_of(
        eventsThatShouldNotBeSampled.begin(), eventsThatShouldNotBeSampled.end(),
        [&](const char* name) { return pieces ? joinedEquals(name, *pieces) : *key == name; });
    if (exempt) {
        return false;
    }
    const auto it = pieces ? rules.probabilities.find(*pieces)
                           : rules.probabilities.find(std::string_view(*key));
    if (it == rules.probabilities.end()) {
        return false;
    }
    const std::uint32_t probability = it->second;
    const auto adid = dataRegistry_->getStringOrNil(DataRegistryKey::STRING_ADID, std::nullopt);
    if (!adid) {
        return false;
    }
    const auto hash = FvnUtil::getSHA256HashToUInt32(*adid, 7);
    if (!hash) {
        return false;
    }
    const std::uint32_t remainder = *hash % 100u;
    if (remainder >= probability) {
        SvlLog::debug(
            (pieces ? joined(*pieces) : *key) + " is blocked by sampling filter! (remainder = " +
                std::to_string(remainder) + ", probability = " + std::to_string(probability) + ")",
            true);
        return true;
    }
    return false;
}

}  // namespace sorvel
