#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Common/SvlLog.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Data/DataProviders/DeviceStaticDataProvider.h"
#include "Data/Repository/Repository.h"
#include "Event/EventCounters.h"
#include "Event/EventFixture.h"
#include "Event/EventSamplingFilter.h"
#include "Network/S3ConfigHandler.h"
#include "Platform/Host.h"

namespace sorvel::repotest {

// The text under `key` of a map, or "<none>".
inline std::string text(const Value::Map& map, const char* key) {
    auto it = map.find(key);
    return it != map.end() && it->second.isString() ? *it->second.getString() : "<none>";
}

// The map under `key` of a map, or an empty one.
inline Value::Map mapAt(const Value::Map& map, const char* key) {
    auto it = map.find(key);
    return it != map.end() && it->second.isMap() ? *it->second.getMap() : Value::Map{};
}

// The repository over the real registry, the real event pipeline and the real
// keychain in a temp home, talking to the server double, with the logger in
// quality-assurance mode so that every line reaches the captured system log.
class RepositoryFixture : public eventtest::EventFixture {
  protected:
    void SetUp() override {
        EventFixture::SetUp();
        platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
        SvlLog::initQaMode(registry.get());
        S3ConfigHandler::shared().setDataRegistry(registry);
        container = makeContainer();
        buffer = makeBuffer(container);
        realtime = std::make_shared<DeviceRealtimeDataProvider>(registry, Util_keychain::shared());
        repository = std::make_shared<Repository>(
            userProperties, registry, buffer, EventSamplingFilter::create(registry), realtime,
            std::make_shared<DeviceStaticDataProvider>(registry));
    }

    // Every event buffered or queued so far, as stored for the next launch,
    // oldest first.
    std::vector<Value::Map> storedEvents() {
        repository->saveUnsentEvents();
        buffer->waitUntilIdle();
        std::vector<Value::Map> events;
        for (const auto& package : storedPackages().value_or(Value::Array{})) {
            const Value* models = field(&package, "eventModels");
            for (const auto& e :
                 models && models->isArray() ? *models->getArray() : Value::Array{}) {
                events.push_back(e.isMap() ? *e.getMap() : Value::Map{});
            }
        }
        return events;
    }

    // The stored keys of every registry key that holds a value.
    std::set<std::string> storedKeys() const {
        std::set<std::string> keys;
        for (const auto& info : kDataRegistryKeys) {
            if (registry->getValue(info.key)) {
                keys.insert(std::string(info.stored));
            }
        }
        return keys;
    }

    // The previous id the next event takes (the registry has it at checkpoints).
    std::string prevId() const { return buffer->eventCounters()->prevId().value_or("<none>"); }

    // Whether the logger has written a line holding `needle`.
    bool logged(std::string_view needle) { return log.contains(needle); }

    testing::LogCapture log;
    std::shared_ptr<EventPackageContainer> container;
    std::shared_ptr<EventBuffer> buffer;
    std::shared_ptr<DeviceRealtimeDataProvider> realtime;
    std::shared_ptr<Repository> repository;
};

}  // namespace sorvel::repotest
