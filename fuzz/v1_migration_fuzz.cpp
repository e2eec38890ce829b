// What the SDK's first major version left in the settings, however malformed:
// the property map and the unsent-event map are converted, and every event
// the conversion keeps can be stored and restored as it is.

#include <cstddef>
#include <cstdint>
#include <span>

#include "Base/ValueCodec.h"
#include "Event/EventModel.h"
#include "Event/V1MigrationManager.h"
#include "FuzzSupport.h"

using namespace sorvel;
namespace fz = sorvel::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUpProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the form: the settings store's binary value (any
    // type: bytes, NaN, ill-formed text) or JSON text.
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    const std::optional<Value> stored =
        (data[0] & 1) != 0 ? ValueCodec::decode(rest)
                           : Value::fromJson(std::string_view(
                                 reinterpret_cast<const char*>(rest.data()), rest.size()));
    const Value::Map* map = stored ? stored->getMap() : nullptr;
    if (map == nullptr) {
        return 0;
    }

    const auto properties = V1MigrationManager::convertV1Properties(*map);
    (void)Value(properties.userProperties).toJson();
    (void)Value(properties.ciProperties).toJson();
    (void)V1MigrationManager::convertV1Dictionary(*map);
    for (const auto& [key, value] : *map) {
        if (const std::string* text = value.getString()) {
            (void)V1MigrationManager::convertV1Param(*text);
        }
    }

    for (const EventModel& event : V1MigrationManager::convertV1Events(*map)) {
        std::string json;
        event.appendJson(json);
        const std::optional<Value> parsed = Value::fromJson(json);
        fz::check(parsed && parsed->isMap(), "a migrated event writes JSON that is no object",
                  json);
        auto restored = EventModel::initFromDictionary(*parsed->getMap());
        fz::check(restored.isOk(), "a migrated event cannot be restored from what it wrote", json);
        std::string again;
        restored.value().appendJson(again);
        fz::check(again == json, "a migrated event changed when stored and restored", json);
    }
    return 0;
}
