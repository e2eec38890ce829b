#include "Event/V1MigrationManager.h"

#include "Base/TextUnits.h"
#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/Extensions.h"
#include "Common/SvlLog.h"
#include "Event/EventBuffer.h"
#include "Event/EventPackageContainer.h"
#include "Event/UserPropertyManager.h"
#include "Platform/Dispatch.h"

namespace sorvel {
namespace {

constexpr std::string_view kItemsKey = "svl:items";

// The stored map of a v1 key; a value of another type is logged and read as
// none.
Value::Map storedMap(const DataRegistry& registry, DataRegistryKey key, const char* what) {
    const std::optional<Value> stored = registry.getValue(key);
    if (!stored) {
        return {};
    }
    if (const Value::Map* map = stored->getMap()) {
        return *map;
    }
    SvlLog::warning(std::string("V1MigrationManager :: the v1 ") + what +
                        " are not a map and are not migrated: " + stored->render(),
                    true);
    return {};
}

// Removes, at any depth, every map key that is not well-formed UTF-8, and
// returns how many went. Written out such a key turns into U+FFFD, so two of
// them could merge into one and the event would not read back as it was
// written; a key cannot be repaired without guessing, so it is dropped.
std::size_t dropIllFormedKeys(Value& value) {
    std::size_t dropped = 0;
    if (Value::Map* map = value.getMap()) {
        for (auto it = map->begin(); it != map->end();) {
            if (!text::isValidUtf8(it->first)) {
                it = map->erase(it);
                ++dropped;
            } else {
                dropped += dropIllFormedKeys(it->second);
                ++it;
            }
        }
    } else if (Value::Array* items = value.getArray()) {
        for (Value& item : *items) {
            dropped += dropIllFormedKeys(item);
        }
    }
    return dropped;
}

void logDroppedKeys(std::size_t dropped, const std::string& where) {
    if (dropped != 0) {
        SvlLog::warning("V1MigrationManager :: " + std::to_string(dropped) +
                            " key(s) that are not UTF-8 text dropped from " + where,
                        true);
    }
}

}  // namespace

const std::set<std::string, std::less<>>& V1MigrationManager::v1DicContiainKey() {
    static const std::set<std::string, std::less<>> keys{"param", "user_properties", "location",
                                                         "ci"};
    return keys;
}

V1MigrationManager::V1MigrationManager(std::shared_ptr<DataRegistry> dataRegistry,
                                       std::shared_ptr<EventBuffer> eventBuffer,
                                       std::shared_ptr<UserPropertyManager> userPropertyManager,
                                       std::shared_ptr<EventPackageContainer> eventPackageContainer)
    : dataRegistry_(std::move(dataRegistry)),
      eventBuffer_(std::move(eventBuffer)),
      userPropertyManager_(std::move(userPropertyManager)),
      eventPackageContainer_(std::move(eventPackageContainer)) {}

std::string V1MigrationManager::convertV1Param(std::string_view text) {
    const std::size_t characters = text::graphemeCount(text);
    if (characters < 3) {
        return std::string(text);
    }
    const std::string_view body = text::graphemePrefix(text, characters - 2);
    const std::string_view suffix = text.substr(body.size());
    static constexpr std::pair<std::string_view, std::string_view> kPrefixes[] = {
        {"_s", "string:"}, {"_l", "long:"}, {"_d", "double:"}, {"_b", "boolean:"}};
    for (const auto& [v1Suffix, prefix] : kPrefixes) {
        if (suffix == v1Suffix) {
            std::string out(prefix);
            out.append(body);
            return out;
        }
    }
    return std::string(text);
}

Value::Map V1MigrationManager::convertV1Map(const Value::Map& map) {
    Value::Map result = map;
    for (auto& [key, value] : result) {
        if (const Value::Map* nested = value.getMap();
            nested != nullptr && v1DicContiainKey().count(key) != 0) {
            value = Value(convertV1Map(*nested));
        } else if (const Value::Array* items = value.getArray();
                   items != nullptr && key == kItemsKey) {
            // Only a list made wholly of maps is a product list.
            bool allMaps = true;
            for (const Value& item : *items) {
                allMaps = allMaps && item.getMap() != nullptr;
            }
            if (allMaps) {
                Value::Array converted;
                converted.reserve(items->size());
                for (const Value& item : *items) {
                    converted.emplace_back(convertV1Map(*item.getMap()));
                }
                value = Value(std::move(converted));
            }
        } else if (const std::string* textValue = value.getString()) {
            value = Value(convertV1Param(*textValue));
        }
    }
    return result;
}

Value::Map V1MigrationManager::convertV1Dictionary(const Value::Map& v1Event) {
    // Top-level fields are names and ids, not typed values: an event named
    // "stage_b" stays "stage_b".
    Value::Map result = v1Event;
    for (const char* key : {"param", "user_properties", "ci"}) {
        auto it = result.find(key);
        if (it != result.end()) {
            if (const Value::Map* map = it->second.getMap()) {
                it->second = Value(convertV1Map(*map));
            }
        }
    }
    return result;
}

V1MigrationManager::Properties V1MigrationManager::convertV1Properties(
    const Value::Map& v1Properties) {
    Properties out;
    const std::string_view ciPrefix = Constants::V1_STORAGE_KEY;
    Value cleaned(v1Properties);
    logDroppedKeys(dropIllFormedKeys(cleaned), "the v1 user properties");
    for (const auto& [key, value] : *cleaned.getMap()) {
        const bool isCi = std::string_view(key).starts_with(ciPrefix);
        Value::Map& target = isCi ? out.ciProperties : out.userProperties;
        const std::string newKey =
            isCi ? ext::substringFrom(key, static_cast<std::int64_t>(ciPrefix.size())) : key;
        const std::string* textValue = value.getString();
        target[newKey] = textValue != nullptr ? Value(convertV1Param(*textValue)) : value;
    }
    return out;
}

std::vector<EventModel> V1MigrationManager::convertV1Events(const Value::Map& v1Events) {
    std::vector<EventModel> events;
    for (const auto& [key, entry] : v1Events) {
        const Value::Map* v1Event = entry.getMap();
        if (v1Event == nullptr) {
            SvlLog::debug("V1MigrationManager :: v1 entry " + key + " is not an event, skipped",
                          true);
            continue;
        }
        Value cleaned(*v1Event);
        logDroppedKeys(dropIllFormedKeys(cleaned), "the v1 event " + key);
        StatusOr<EventModel> model =
            EventModel::initFromV1Dictionary(convertV1Dictionary(*cleaned.getMap()));
        if (!model.isOk()) {
            SvlLog::debug("V1MigrationManager :: v1 entry " + key + " can not be read, skipped",
                          true);
            continue;
        }
        events.push_back(std::move(model).value());
    }
    return events;
}

void V1MigrationManager::migrate() {
    DataRegistry& registry = *dataRegistry_;
    if (ranInThisProcess_.get() ||
        registry.getBool(DataRegistryKey::BOOL_IS_MIGRATED_TO_V2, false)) {
        return;
    }
    ranInThisProcess_.set(true);

    const Value::Map v1Props =
        storedMap(registry, DataRegistryKey::DICTIONARY_V1_USER_PROPERTIES, "user properties");
    const Properties props = convertV1Properties(v1Props);
    userPropertyManager_->saveUserProperty(props.userProperties);
    userPropertyManager_->saveCiProperty(props.ciProperties);

    const Value::Map v1Events =
        storedMap(registry, DataRegistryKey::V1_UNSENT_EVENTPACKAGES, "unsent events");
    for (EventModel& event : convertV1Events(v1Events)) {
        SvlLog::debug("v1 migrated event : " + event.event_name, true);
        eventBuffer_->addEvent(std::move(event));
    }
    eventBuffer_->saveUnsentEvents();

    // The buffer saves on its own queue and the stored list is written on
    // the container's. The flag waits for both: written before them, a crash
    // in between would lose the migrated events for good. It is written from
    // the global queue, so the session start does not wait behind uploads.
    platform::DispatchQueue::global().async(
        [buffer = eventBuffer_, container = eventPackageContainer_, registry = dataRegistry_] {
            buffer->waitUntilIdle();
            if (container) {
                container->waitForStoreWrites();
            }
            registry->putBool(true, DataRegistryKey::BOOL_IS_MIGRATED_TO_V2);
        });

    SvlLog::debug(
        "v1 userProperty migration success\nv1 userProperty: " + ext::toJsonFormat(v1Props) +
            "\nv2 userProperty: " + ext::toJsonFormat(props.userProperties) +
            "\nv2 ciProperty : " + ext::toJsonFormat(props.ciProperties),
        true);
}

}  // namespace sorvel
