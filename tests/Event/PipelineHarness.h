#pragma once

#include <memory>
#include <string>
#include <vector>

#include "AutoEventFixture.h"
#include "Common/KeyChain.h"
#include "Common/SVLBooleanState.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Event/DailyFirstOpenAutoEventGenerator.h"
#include "Event/DeeplinkAutoEventGenerator.h"
#include "Event/DeeplinkParameterSet.h"
#include "Event/DefaultEventSender.h"
#include "Event/EventBuffer.h"
#include "Event/EventCounters.h"
#include "Event/EventModelProvider.h"
#include "Event/EventPackageContainer.h"
#include "Event/EventSamplingFilter.h"
#include "Event/FirstOpenAutoEventGenerator.h"
#include "Event/NoWaitEventNameProvider.h"
#include "Event/PushOpenMonitor.h"
#include "Event/SessionAutoEventGenerator.h"
#include "Event/UserPropertyManager.h"
#include "Event/V1MigrationManager.h"
#include "support/Uploads.h"

namespace sorvel::autotest {

// One launch of the app: the generators over the real event pipeline, wired
// as the dependency container and the active context wire them. Each logged
// event is sampled, built and buffered as the repository does, and reaches
// the server double.
class Launch {
  public:
    Launch(std::shared_ptr<DataRegistry> registry, std::shared_ptr<IRepository> repository)
        : registry(std::move(registry)), repository(std::move(repository)) {
        userProperties = std::make_shared<UserPropertyManager>(this->registry);
        container = std::make_shared<EventPackageContainer>(
            std::make_shared<DefaultEventSender>(this->registry,
                                                 std::make_shared<DeviceRealtimeDataProvider>(
                                                     this->registry, Util_keychain::shared())),
            this->registry);
        buffer = EventBuffer::create(container, std::make_shared<DefaultNowaitEventNameProvider>());
        sampling = EventSamplingFilter::create(this->registry);
        v1 =
            std::make_shared<V1MigrationManager>(this->registry, buffer, userProperties, container);
        deeplinkSet = std::make_shared<DeeplinkParameterSet>(this->registry);
        firstOpen = std::make_shared<FirstOpenAutoEventGenerator>(this->registry);
        session = std::make_shared<SessionAutoEventGenerator>(
            this->registry, container->counters(), firstOpen, deeplinkSet, this->repository, v1,
            logEventAction());
        deeplink = std::make_shared<DeeplinkAutoEventGenerator>(this->registry, deeplinkSet,
                                                                logEventAction());
        daily = DailyFirstOpenAutoEventGenerator::create(this->registry, logEventAction(),
                                                         this->repository);
    }
    ~Launch() {
        daily->stopTimer();
        releaseAndWait(daily);
        buffer->waitUntilIdle();
        EventUploadIntervalManager::shared().removeObserver(buffer);
        // A block still on its way out may hold the buffer for a moment,
        // and so the queue of unsent packages, whose own stop checkpoint
        // then comes after the next launch has read the list, and whose
        // journal stays locked, so that launch does not replay it: the
        // stop's checkpoint is written now, as the container does when the
        // SDK is reset, so the next launch never resends what this one had
        // acknowledged.
        container->updateUnsentEventPackagesInDataRegistry();
        container->waitForStoreWrites();
    }
    Launch(const Launch&) = delete;
    Launch& operator=(const Launch&) = delete;

    LogEventAction logEventAction() {
        return [this](const LogEventParameter& p) {
            if (sampling->isBlocked(p)) {
                return;
            }
            buffer->addEvent(EventModelProvider(userProperties, registry, container->counters(), p)
                                 .buildEventModel());
        };
    }
    // What the controller does around the session generator.
    void becomeActive() {
        SVLBooleanState::isAppActive().set(true);
        session->handleDidBecomeActive();
    }
    void resignActive() {
        session->handleWillResignActive();
        SVLBooleanState::isAppActive().set(false);
        buffer->saveUnsentEvents();
    }

    std::shared_ptr<DataRegistry> registry;
    std::shared_ptr<IRepository> repository;
    std::shared_ptr<UserPropertyManager> userProperties;
    std::shared_ptr<EventPackageContainer> container;
    std::shared_ptr<EventBuffer> buffer;
    std::shared_ptr<EventSamplingFilter> sampling;
    std::shared_ptr<V1MigrationManager> v1;
    std::shared_ptr<DeeplinkParameterSet> deeplinkSet;
    std::shared_ptr<FirstOpenAutoEventGenerator> firstOpen;
    std::shared_ptr<SessionAutoEventGenerator> session;
    std::shared_ptr<DeeplinkAutoEventGenerator> deeplink;
    std::shared_ptr<DailyFirstOpenAutoEventGenerator> daily;
};

// The fields of one uploaded event.
struct Uploaded {
    std::string name;
    Value::Map event;

    std::optional<std::string> text(const std::string& key) const {
        auto it = event.find(key);
        return it != event.end() && it->second.getString()
                   ? std::optional<std::string>(*it->second.getString())
                   : std::nullopt;
    }
    std::int64_t number(const std::string& key) const {
        auto it = event.find(key);
        const std::int64_t* n = it != event.end() ? it->second.getInt64() : nullptr;
        return n != nullptr ? *n : -999;
    }
    std::optional<std::string> param(const std::string& key) const {
        auto it = event.find("param");
        const Value::Map* p = it != event.end() ? it->second.getMap() : nullptr;
        if (p == nullptr || !p->count(key) || !p->at(key).getString()) {
            return std::nullopt;
        }
        return *p->at(key).getString();
    }
};

class PipelineTest : public AutoEventTest {
  protected:
    void SetUp() override {
        AutoEventTest::SetUp();
        registry->putString(std::string(kAdid), DataRegistryKey::STRING_ADID);
        launch = std::make_unique<Launch>(registry, repository);
    }
    void TearDown() override {
        launch.reset();
        waitUntilHeldAlone(repository);
        AutoEventTest::TearDown();
    }
    // The process ends (without any call of the SDK) and the app starts
    // again on the same settings.
    void relaunch() {
        launch.reset();
        SVLBooleanState::reset();
        PushOpenMonitor::shared().reset();
        registry = makeRegistry();
        launch = std::make_unique<Launch>(registry, repository);
    }
    // Every event the server double received, in the order they were recorded.
    std::vector<Uploaded> uploaded() const {
        std::vector<Uploaded> out;
        for (const auto& r :
             testing::inRecordedOrder(server.requests(tools::Endpoint::EVENT_BULK))) {
            auto body = Value::fromJson(r.decodedBody);
            const Value::Map* map = body ? body->getMap() : nullptr;
            auto it = map ? map->find("evts") : Value::Map::const_iterator{};
            const Value::Array* list = map && it != map->end() ? it->second.getArray() : nullptr;
            for (const auto& e : list ? *list : Value::Array{}) {
                if (const Value::Map* m = e.getMap()) {
                    auto n = m->find("event_name");
                    out.push_back(
                        {n != m->end() && n->second.getString() ? *n->second.getString() : "<none>",
                         *m});
                }
            }
        }
        return out;
    }
    std::vector<std::string> uploadedNames() const {
        std::vector<std::string> names;
        for (const auto& u : uploaded()) {
            names.push_back(u.name);
        }
        return names;
    }
    // Waits until at least n events arrived; their names.
    std::vector<std::string> namesOnceUploaded(std::size_t n) {
        EXPECT_TRUE(testing::waitUntil([&] { return uploaded().size() >= n; }))
            << "only " << uploaded().size() << " of " << n << " events arrived";
        launch->buffer->waitUntilIdle();
        return uploadedNames();
    }

    std::shared_ptr<CountingRepository> repository = std::make_shared<CountingRepository>();
    std::unique_ptr<Launch> launch;
};

}  // namespace sorvel::autotest
