#include "Network/S3ConfigHandler.h"

#include <algorithm>

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/SdkState.h"
#include "Common/SvlLog.h"
#include "Network/JsonDic.h"

namespace sorvel {
namespace {

constexpr const char* KEY_ALL_STOP = "allStop";
constexpr const char* KEY_PAUSE = "pause";
constexpr const char* KEY_BLOCKED_EVENTS = "blockedEvents";
constexpr const char* KEY_MAX_PROPERTY_SIZE = "maxPropertySize";
constexpr const char* KEY_IN_APP_MESSAGE_ACTIVE = "inAppMessageActive";
constexpr const char* KEY_EVENT_SAMPLINGS = "eventSamplings";

const std::string kTag = "S3ConfigHandler :: ";

void logWrongType(const char* key, const char* wanted) {
    SvlLog::warning(
        kTag + "applyConfig : \"" + key + "\" is not " + wanted + "; its default applies", true);
}

bool readBool(const Value::Map& config, const char* key, bool def) {
    auto it = config.find(key);
    if (it == config.end()) {
        return def;
    }
    if (!it->second.isBool()) {
        logWrongType(key, "a Bool");
        return def;
    }
    return *it->second.getBool();
}

std::vector<std::string> stringsOf(const Value::Array& array, bool logOthers) {
    std::vector<std::string> out;
    for (const auto& v : array) {
        if (v.isString()) {
            out.push_back(*v.getString());
        } else if (logOthers) {
            SvlLog::warning(
                kTag + "applyConfig : blocked event " + v.render() + " is not a text; ignored",
                true);
        }
    }
    return out;
}

std::string joined(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + items[i];
    }
    return out + "]";
}

const char* text(bool b) {
    return b ? "true" : "false";
}

}  // namespace

namespace {
struct ConfigPart : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::configHandler;

    template <typename Key>
    explicit ConfigPart(Key key) : handler(key) {}

    // Retries of the last SDK still reading it find defaults and no registry.
    void retire() override { handler.reset(); }

    S3ConfigHandler handler;
};
}  // namespace

S3ConfigHandler::S3ConfigHandler(PassKey) {}

S3ConfigHandler& S3ConfigHandler::shared() {
    return SdkState::shared()
        .part<ConfigPart>([] { return std::make_unique<ConfigPart>(PassKey{}); })
        .handler;
}

void S3ConfigHandler::reset() {
    platform::MutexLock lock(mu_);
    registry_.reset();
    blockedEvents_.clear();
    propertyMaxSize_ = DEFAULT_PROPERTY_MAX_SIZE;
    pause_ = false;
    allStop_ = false;
    inAppMessageActive_ = false;
    eventSamplingData_.clear();
}

void S3ConfigHandler::setDataRegistry(std::shared_ptr<DataRegistry> registry) {
    platform::MutexLock lock(mu_);
    registry_ = std::move(registry);
}

std::shared_ptr<DataRegistry> S3ConfigHandler::registry() const {
    platform::MutexLock lock(mu_);
    return registry_;
}

void S3ConfigHandler::applyConfig(const std::string& configText) {
    auto parsed = FvnUtil::jsonString2JsonDic(configText);
    if (!parsed) {
        SvlLog::error(
            kTag + "applyConfig : " + describe(parsed.error()) + "; configuration unchanged", true);
        return;
    }
    const Value::Map& config = parsed.value();

    const bool allStop = readBool(config, KEY_ALL_STOP, false);
    const bool pause = readBool(config, KEY_PAUSE, false);
    const bool inAppMessageActive = readBool(config, KEY_IN_APP_MESSAGE_ACTIVE, false);

    std::vector<std::string> blocked;
    if (auto it = config.find(KEY_BLOCKED_EVENTS); it != config.end()) {
        if (it->second.isArray()) {
            blocked = stringsOf(*it->second.getArray(), true);
        } else {
            logWrongType(KEY_BLOCKED_EVENTS, "an array");
        }
    }

    std::int64_t maxSize = DEFAULT_PROPERTY_MAX_SIZE;
    if (auto it = config.find(KEY_MAX_PROPERTY_SIZE); it != config.end()) {
        auto n = it->second.isInteger() ? it->second.toInt64() : std::nullopt;
        if (n && *n >= 0) {
            maxSize = *n;
        } else {
            logWrongType(KEY_MAX_PROPERTY_SIZE, "a non-negative integer");
        }
    }

    Value::Map samplings;
    if (auto it = config.find(KEY_EVENT_SAMPLINGS); it != config.end()) {
        if (it->second.isMap()) {
            samplings = *it->second.getMap();
        } else {
            logWrongType(KEY_EVENT_SAMPLINGS, "a map");
        }
    }

    std::shared_ptr<DataRegistry> reg;
    {
        platform::MutexLock lock(mu_);
        blockedEvents_ = blocked;
        propertyMaxSize_ = maxSize;
        inAppMessageActive_ = inAppMessageActive;
        eventSamplingData_ = samplings;
        allStop_ = allStop;
        pause_ = pause;
        reg = registry_;
    }
    SvlLog::debug(kTag + "applyConfig : allStop = " + text(allStop) + ", pause = " + text(pause) +
                      ", blockedEvents = " + joined(blocked) +
                      ", maxPropertySize = " + std::to_string(maxSize) + ", inAppMessageActive = " +
                      text(inAppMessageActive) + ", eventSamplings = " + Value(samplings).render(),
                  true);
    if (!reg) {
        SvlLog::error(kTag + "applyConfig : no data registry; values kept in memory only", false);
        return;
    }
    // Listeners run on this thread as each value lands; the flags that can
    // disable the SDK go last, once everything else is stored.
    Value::Array blockedArray;
    for (const auto& b : blocked) {
        blockedArray.emplace_back(b);
    }
    reg->putArray(blockedArray, DataRegistryKey::ARRAY_S3_CONFIG_BLOCKED_EVENTS);
    reg->putInt(maxSize, DataRegistryKey::INT_S3_CONFIG_MAX_PROPERTY_SIZE);
    reg->putBool(inAppMessageActive, DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE);
    reg->putDictionary(samplings, DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA);
    reg->putBool(allStop, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);
    reg->putBool(pause, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
}

void S3ConfigHandler::initDefaultConfigValue() {
    auto reg = registry();
    std::vector<std::string> blocked;
    std::int64_t maxSize = DEFAULT_PROPERTY_MAX_SIZE;
    bool pause = false;
    bool allStop = false;
    bool inAppMessageActive = false;
    Value::Map samplings;
    if (reg) {
        blocked =
            stringsOf(reg->getArray(DataRegistryKey::ARRAY_S3_CONFIG_BLOCKED_EVENTS, {}), false);
        maxSize = reg->getInt(DataRegistryKey::INT_S3_CONFIG_MAX_PROPERTY_SIZE,
                              DEFAULT_PROPERTY_MAX_SIZE);
        pause = reg->getBool(DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE, false);
        allStop = reg->getBool(DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP, false);
        inAppMessageActive =
            reg->getBool(DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE, false);
        samplings =
            reg->getDictionary(DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA, {});
    } else {
        SvlLog::error(kTag + "initDefaultConfigValue : no data registry; defaults loaded", false);
    }
    {
        platform::MutexLock lock(mu_);
        blockedEvents_ = blocked;
        propertyMaxSize_ = maxSize;
        pause_ = pause;
        allStop_ = allStop;
        inAppMessageActive_ = inAppMessageActive;
        eventSamplingData_ = samplings;
    }
    const std::string prefix = kTag + "initDefaultConfigValue : ";
    SvlLog::debug(prefix + "blockedEvents = " + joined(blocked), true);
    SvlLog::debug(prefix + "maxPropertySize = " + std::to_string(maxSize), true);
    SvlLog::debug(prefix + "pause = " + text(pause), true);
    SvlLog::debug(prefix + "allStop = " + text(allStop), true);
    SvlLog::debug(prefix + "inAppMessageActive = " + text(inAppMessageActive), true);
    SvlLog::debug(prefix + "eventSamplings = " + Value(samplings).render(), true);
}

bool S3ConfigHandler::isEventBlocked(const std::string& eventName, const std::string& group) const {
    if (group != Constants::EVENT_GROUP_STANDARD && group != Constants::EVENT_GROUP_CUSTOM) {
        return false;
    }
    // Every event asks: the list's entries are matched piece by piece, so no
    // "<group>:<name>" text is built unless one is blocked and logged.
    const std::size_t keySize = group.size() + 1 + eventName.size();
    bool blocked = false;
    {
        platform::MutexLock lock(mu_);
        blocked = std::any_of(
            blockedEvents_.begin(), blockedEvents_.end(), [&](const std::string& entry) {
                return entry.size() == keySize && entry.compare(0, group.size(), group) == 0 &&
                       entry[group.size()] == ':' &&
                       entry.compare(group.size() + 1, eventName.size(), eventName) == 0;
            });
    }
    if (blocked) {
        SvlLog::debug(kTag + "isEventBlocked : " + group + ":" + eventName + " is blocked", true);
    }
    return blocked;
}

std::int64_t S3ConfigHandler::configPropertyMaxSize() const {
    platform::MutexLock lock(mu_);
    return propertyMaxSize_;
}

bool S3ConfigHandler::isPause() const {
    platform::MutexLock lock(mu_);
    return pause_;
}

bool S3ConfigHandler::isAllStop() const {
    platform::MutexLock lock(mu_);
    return allStop_;
}

bool S3ConfigHandler::isInAppMessageActive() const {
    platform::MutexLock lock(mu_);
    return inAppMessageActive_;
}

std::vector<std::string> S3ConfigHandler::blockedEvents() const {
    platform::MutexLock lock(mu_);
    return blockedEvents_;
}

Value::Map S3ConfigHandler::eventSamplingData() const {
    platform::MutexLock lock(mu_);
    return eventSamplingData_;
}

}  // namespace sorvel
