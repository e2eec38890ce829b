#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Common/KeyChain.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Event/DefaultEventSender.h"
#include "Event/EventBuffer.h"
#include "Event/EventCounters.h"
#include "Event/EventJournal.h"
#include "Event/EventModelProvider.h"
#include "Event/EventPackageContainer.h"
#include "Event/NoWaitEventNameProvider.h"
#include "Event/UserPropertyManager.h"
#include "Network/NetworkFixture.h"
#include "Platform/FileSystem.h"
#include "Platform/Host.h"
#include "support/Uploads.h"

namespace sorvel::eventtest {

using nettest::kAppKey;
using nettest::kSecretKey;

// The event pipeline over a real registry in a temp home, uploading to the
// server double on loopback, with the network reported up.
class EventFixture : public nettest::NetworkFixture {
  protected:
    void SetUp() override {
        NetworkFixture::SetUp();
        platform::host::setReachability(std::string("wifi"));
        registry->putString(std::string("ADID-0001"), DataRegistryKey::STRING_ADID);
        userProperties = std::make_shared<UserPropertyManager>(registry, [] { return 100; });
    }

    void TearDown() override {
        for (const auto& b : buffers) {
            b->waitUntilIdle();
            EventUploadIntervalManager::shared().removeObserver(b);
        }
        for (const auto& c : containers) {
            c->waitForStoreWrites();
        }
    }

    std::shared_ptr<IEventSender> sender() {
        return std::make_shared<DefaultEventSender>(
            registry,
            std::make_shared<DeviceRealtimeDataProvider>(registry, Util_keychain::shared()));
    }

    std::shared_ptr<EventPackageContainer> makeContainer(
        EventPackageContainer::DRStateReader drState = nullptr) {
        containers.push_back(
            std::make_shared<EventPackageContainer>(sender(), registry, std::move(drState)));
        return containers.back();
    }

    // The counters of the newest container, as the repository takes them;
    // before any container, counters of the fixture's own.
    std::shared_ptr<EventCounters> counters() {
        if (!containers.empty()) {
            return containers.back()->counters();
        }
        if (!ownCounters) {
            ownCounters = std::make_shared<EventCounters>(registry);
        }
        return ownCounters;
    }

    std::shared_ptr<EventBuffer> makeBuffer(std::shared_ptr<EventPackageContainer> container) {
        buffers.push_back(EventBuffer::create(std::move(container),
                                              std::make_shared<DefaultNowaitEventNameProvider>()));
        return buffers.back();
    }

    // An event as the repository would build it, with its own log id.
    EventModel event(const std::string& name, const std::string& group = "custom",
                     Value::Map params = {}) {
        auto p = LogEventParameter::initWithEventName(group, name, std::move(params));
        p.eventId = "id-" + std::to_string(++eventCounter);
        return EventModelProvider(userProperties, registry, counters(), p).buildEventModel();
    }

    // The member of a map value, or null.
    static const Value* field(const Value* v, const char* key) {
        const Value::Map* m = v ? v->getMap() : nullptr;
        auto it = m ? m->find(key) : Value::Map::const_iterator{};
        return m && it != m->end() ? &it->second : nullptr;
    }

    // The "log_id" of each event of a list, in order.
    static void appendLogIds(const Value* events, std::vector<std::string>& out) {
        const Value::Array* list = events ? events->getArray() : nullptr;
        for (const auto& e : list ? *list : Value::Array{}) {
            const Value* id = field(&e, "log_id");
            out.push_back(id && id->isString() ? *id->getString() : "<none>");
        }
    }

    static std::vector<std::string> logIdsIn(const tools::RecordedRequest& request) {
        std::vector<std::string> ids;
        auto body = Value::fromJson(request.decodedBody);
        appendLogIds(field(body ? &*body : nullptr, "evts"), ids);
        return ids;
    }

    // The log ids the double received, in the order they were recorded.
    std::vector<std::string> uploadedLogIds() const {
        std::vector<std::string> ids;
        for (const auto& r :
             testing::inRecordedOrder(server.requests(tools::Endpoint::EVENT_BULK))) {
            auto more = logIdsIn(r);
            ids.insert(ids.end(), more.begin(), more.end());
        }
        return ids;
    }

    // The unsent packages at rest, as the next launch reads them: the stored
    // list, then the records of every journal beside it (a package once, none
    // whose upload ended); absent when neither holds anything.
    std::optional<Value::Array> storedPackages() const {
        auto data = registry->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
        std::optional<Value::Array> out;
        if (data) {
            auto v = Value::fromJson(std::string(data->begin(), data->end()));
            if (!v || !v->isArray()) {
                ADD_FAILURE() << "stored list is not a JSON array";
                return Value::Array{};
            }
            out = *v->getArray();
        }
        auto idOf = [](const Value& p) {
            const Value* id = field(&p, "package_id");
            return id != nullptr && id->getString() != nullptr ? *id->getString() : std::string();
        };
        // A journal's files in the order a replay reads them: a package's end
        // may be told in a newer file than its record.
        for (const std::string& path :
             EventJournal::filesInReplayOrder(platform::preferencesFolder())) {
            std::ifstream in(path, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
            for (const auto& record : EventJournal::parse(bytes).records) {
                if (!out) {
                    out = Value::Array{};
                }
                if (record.kind == EventJournal::Kind::EVENTS ||
                    record.kind == EventJournal::Kind::BUFFER) {
                    // The open buffer's events, not a package.
                    continue;
                }
                if (record.kind == EventJournal::Kind::PACKAGE ||
                    record.kind == EventJournal::Kind::BUFFER_PACKAGE) {
                    auto package = EventJournal::readPackage(record.data);
                    auto element = package ? Value::fromJson(package->element) : std::nullopt;
                    if (!element) {
                        ADD_FAILURE() << "journal record is not JSON";
                        continue;
                    }
                    if (std::none_of(out->begin(), out->end(),
                                     [&](const Value& p) { return idOf(p) == idOf(*element); })) {
                        out->push_back(*element);
                    }
                } else {
                    std::erase_if(*out, [&](const Value& p) { return idOf(p) == record.data; });
                }
            }
        }
        return out;
    }

    // The log ids of the stored list, oldest first.
    std::vector<std::string> storedLogIds() const {
        std::vector<std::string> ids;
        for (const auto& p : storedPackages().value_or(Value::Array{})) {
            appendLogIds(field(&p, "eventModels"), ids);
        }
        return ids;
    }

    std::shared_ptr<UserPropertyManager> userProperties;
    std::vector<std::shared_ptr<EventPackageContainer>> containers;
    std::shared_ptr<EventCounters> ownCounters;
    std::vector<std::shared_ptr<EventBuffer>> buffers;
    int eventCounter = 0;
};

}  // namespace sorvel::eventtest
