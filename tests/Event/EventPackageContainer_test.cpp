#include "Event/EventPackageContainer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Common/SvlLog.h"
#include "Event/UnsentPackageStore.h"
#include "EventFixture.h"
#include "Platform/Host.h"

namespace sorvel::eventtest {
namespace {

using tools::Endpoint;
using tools::ScriptedAnswer;

class EventPackageContainerTest : public EventFixture {
  protected:
    std::shared_ptr<const EventPackage> package(int events, const std::string& prefix = "e") {
        std::vector<EventModel> list;
        for (int i = 0; i < events; ++i) {
            list.push_back(event(prefix + std::to_string(i)));
        }
        return std::make_shared<const EventPackage>(std::move(list));
    }
    void storeText(const std::string& text) {
        registry->putData(Value::Bytes(text.begin(), text.end()),
                          DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
    }
    static std::vector<std::string> idsOf(const EventPackageContainer::Packages& packages) {
        std::vector<std::string> ids;
        for (const auto& p : packages) {
            for (const auto& e : p->eventModels()) {
                ids.push_back(e.log_id.value_or(""));
            }
        }
        return ids;
    }
    void setNetwork(bool up) {
        platform::host::setReachability(std::string(up ? "wifi" : "unknown"));
    }
};

TEST_F(EventPackageContainerTest, RestoreKeepsEveryReadablePackageWithNewIds) {
    // Nothing stored: an empty list is written, so a later removal is seen.
    auto first = makeContainer();
    first->waitForStoreWrites();
    EXPECT_EQ(first->packageCount(), 0u);
    EXPECT_EQ(storedPackages(), Value::Array{});
    for (const char* bad : {"not json", R"({"eventModels":[]})", "[1", "\xff\xfe"}) {
        storeText(bad);
        EXPECT_EQ(makeContainer()->packageCount(), 0u) << bad;
    }

    auto good = package(2, "g");
    Value::Map halfBad = package(3, "h")->toDictionary();
    halfBad.at("eventModels").getArray()->at(1) = Value(Value::Map{{"ci", Value(1)}});
    Value::Array stored{Value(good->toDictionary()), Value("a string"),
                        Value(Value::Map{{"eventModels", Value(5)}}), Value(halfBad),
                        Value(Value::Array{})};
    storeText(Value(stored).toJson());
    auto container = makeContainer();
    auto restored = container->snapshot();
    ASSERT_EQ(restored.size(), 2u);
    EXPECT_NE(restored[0]->packageId(), good->packageId());
    EXPECT_EQ(idsOf(restored), (std::vector<std::string>{"id-1", "id-2", "id-3", "id-5"}));
    // Restoring alone rewrites nothing.
    container->waitForStoreWrites();
    EXPECT_EQ(storedPackages()->size(), 5u);
}

TEST_F(EventPackageContainerTest, EveryQueueChangeRewritesTheCappedStore) {
    setNetwork(false);
    auto container = makeContainer();
    for (int i = 0; i < 101; ++i) {
        container->addEventPackage(package(10));
    }
    container->waitForStoreWrites();
    // Every package is at rest (in the journal) before the checkpoint.
    EXPECT_EQ(storedPackages()->size(), 101u);
    auto listed = [&] {
        auto data = registry->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
        auto v = data ? Value::fromJson(std::string(data->begin(), data->end())) : std::nullopt;
        return v && v->isArray() ? v->getArray()->size() : std::size_t{0};
    };
    container->updateUnsentEventPackagesInDataRegistry();
    container->waitForStoreWrites();
    // The package that brings the total to 1000 is the last one written; the
    // one left out is still queued, and only named in the journal.
    EXPECT_EQ(listed(), 100u);
    EXPECT_EQ(storedPackages()->size(), 100u);
    EXPECT_EQ(storedLogIds().front(), "id-1");
    // One owner of the folder at a time: a journal is cut back only then.
    container.reset();
    containers.clear();

    auto sevens = makeContainer();
    sevens->removeAllPackages();
    for (int i = 0; i < 150; ++i) {
        sevens->addEventPackage(package(7));
    }
    sevens->updateUnsentEventPackagesInDataRegistry();
    sevens->waitForStoreWrites();
    EXPECT_EQ(listed(), 143u);
    sevens.reset();
    containers.clear();

    // A save of an empty queue stores an empty list.
    auto empty = makeContainer();
    empty->removeAllPackages();
    empty->updateUnsentEventPackagesInDataRegistry();
    empty->waitForStoreWrites();
    EXPECT_EQ(storedPackages(), Value::Array{});
}

TEST_F(EventPackageContainerTest, AFailedUploadGoesToTheTailAndLeavesTheStoreOnlyWhenSent) {
    auto container = makeContainer();
    auto a = package(2, "a");
    auto b = package(2, "b");
    container->addEventPackage(a);
    container->addEventPackage(b);
    container->waitForStoreWrites();
    EXPECT_EQ(storedLogIds(), (std::vector<std::string>{"id-1", "id-2", "id-3", "id-4"}));

    // a's first upload fails; b goes out in the same round.
    auto failed = std::make_shared<std::atomic<bool>>(false);
    server.setResponder(Endpoint::EVENT_BULK, [failed](const tools::RecordedRequest& r) {
        ScriptedAnswer answer;
        const auto ids = logIdsIn(r);
        if (!ids.empty() && ids.front() == "id-1" && !failed->exchange(true)) {
            answer.status = 500;
        }
        return answer;
    });
    container->sendAllEventPackages();
    EXPECT_EQ(container->snapshot(), EventPackageContainer::Packages{a});
    container->waitForStoreWrites();
    EXPECT_EQ(storedLogIds(), (std::vector<std::string>{"id-1", "id-2"}));

    container->sendAllEventPackages();
    EXPECT_EQ(container->packageCount(), 0u);
    // a went out again, last.
    auto requests = server.requests(Endpoint::EVENT_BULK);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(logIdsIn(requests.back()), (std::vector<std::string>{"id-1", "id-2"}));
    EXPECT_EQ(uploadedLogIds(),
              (std::vector<std::string>{"id-1", "id-2", "id-1", "id-2", "id-3", "id-4"}));
    container->waitForStoreWrites();
    EXPECT_EQ(storedPackages(), Value::Array{});

    // A package whose upload succeeded is not queued again.
    container->addEventPackage(a);
    EXPECT_EQ(container->packageCount(), 0u);

    // Offline, the waiting packages keep their places.
    setNetwork(false);
    auto c = package(1, "c");
    auto d = package(1, "d");
    auto e = package(1, "e");
    for (const auto& p : {c, d, e}) {
        container->addEventPackage(p);
    }
    container->sendAllEventPackages();
    EXPECT_EQ(container->snapshot(), (EventPackageContainer::Packages{c, d, e}));
}

TEST_F(EventPackageContainerTest, SendingWaitsWhileARestartIsNotSynced) {
    testing::LogCapture log;
    platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
    SvlLog::initQaMode(nullptr);
    auto container = makeContainer();
    container->addEventPackage(package(1));
    registry->putBool(false, DataRegistryKey::BOOL_IS_SDK_STOPPED);
    registry->putBool(true, DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC);
    container->sendAllEventPackages();
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(container->packageCount(), 1u);
    EXPECT_TRUE(log.contains("Initializing restart not synced! Cannot send events."));

    registry->putBool(false, DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC);
    container->sendAllEventPackages();
    EXPECT_EQ(container->packageCount(), 0u);
    EXPECT_EQ(server.requestCount(), 1u);
}

// Offline, a round tries each package that waited when it began once; every
// attempt fails at the sender's network check. The packages stay queued in
// their order, and once the network is back one round sends them all, each
// event with the order number and previous id it was recorded with.
TEST_F(EventPackageContainerTest, AnOfflineRoundTriesEveryWaitingPackageOnceAndKeepsTheirOrder) {
    testing::LogCapture log;
    platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
    SvlLog::initQaMode(nullptr);
    auto container = makeContainer();
    setNetwork(false);
    EventPackageContainer::Packages queued;
    for (int i = 0; i < 3; ++i) {
        std::vector<EventModel> events;
        for (int e = 0; e < 2; ++e) {
            events.push_back(event("p" + std::to_string(i)));
            counters()->setPrevId(events.back().log_id);
        }
        queued.push_back(std::make_shared<const EventPackage>(std::move(events)));
        container->addEventPackage(queued.back());
    }
    auto attempts = [&] {
        SvlLog::flush();
        std::size_t tried = 0;
        for (const auto& line : log.lines()) {
            tried += line.find("You are not connected to the network.") != std::string::npos;
        }
        return tried;
    };
    container->sendAllEventPackages();
    EXPECT_EQ(attempts(), 3u);
    EXPECT_EQ(container->snapshot(), queued);
    container->sendAllEventPackages();
    EXPECT_EQ(attempts(), 6u);
    EXPECT_EQ(container->snapshot(), queued);
    container->updateUnsentEventPackagesInDataRegistry();
    container->waitForStoreWrites();
    EXPECT_EQ(storedLogIds(), idsOf(queued));
    EXPECT_EQ(server.requestCount(), 0u);

    setNetwork(true);
    container->sendAllEventPackages();
    EXPECT_EQ(container->packageCount(), 0u);
    const auto requests = server.requests(Endpoint::EVENT_BULK);
    ASSERT_EQ(requests.size(), 3u);
    std::vector<std::string> logIds;
    std::vector<std::string> prevIds;
    std::vector<std::int64_t> orderNos;
    for (const auto& r : testing::inRecordedOrder(requests)) {
        auto body = Value::fromJson(r.decodedBody);
        const Value* evts = field(body ? &*body : nullptr, "evts");
        for (const auto& e : evts && evts->getArray() ? *evts->getArray() : Value::Array{}) {
            const Value* id = field(&e, "log_id");
            const Value* prev = field(&e, "prev_id");
            logIds.push_back(id && id->isString() ? *id->getString() : "<none>");
            prevIds.push_back(prev && prev->isString() ? *prev->getString() : "<none>");
            orderNos.push_back(e.getMap() ? testing::recordedPlace(*e.getMap()).first : -1);
        }
    }
    EXPECT_EQ(logIds, idsOf(queued));
    ASSERT_EQ(orderNos.size(), 6u);
    for (std::size_t i = 1; i < orderNos.size(); ++i) {
        EXPECT_EQ(orderNos[i], orderNos[i - 1] + 1) << i;
        EXPECT_EQ(prevIds[i], logIds[i - 1]) << i;
    }
}

TEST_F(EventPackageContainerTest, TheCountRuleCountsQueuedPackages) {
    auto container = makeContainer();
    for (int i = 0; i < 2; ++i) {
        container->addEventPackage(package(1));
        container->sendIfCountIntervalReached();
    }
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(EventUploadIntervalManager::shared().isTimerRunning());
    container->addEventPackage(package(1));
    container->sendIfCountIntervalReached();
    EXPECT_EQ(server.requestCount(), 3u);

    EventUploadIntervalManager::shared().setCountInterval(10);
    container->addEventPackage(package(1));
    container->sendIfCountIntervalReached();
    EXPECT_EQ(server.requestCount(), 4u);
}

TEST_F(EventPackageContainerTest, ClearingTheQueueLeavesTheStoredListForTheNextLaunch) {
    setNetwork(false);
    auto container = makeContainer();
    container->addEventPackage(package(3));
    // Whatever write is still queued covers the package, not the emptied queue.
    container->removeAllPackages();
    container->waitForStoreWrites();
    EXPECT_EQ(storedLogIds().size(), 3u);
    EXPECT_EQ(makeContainer()->packageCount(), 1u);
}

TEST_F(EventPackageContainerTest, TheStoredListStaysOldestFirstWhileARoundIsSending) {
    auto container = makeContainer();
    auto a = package(2, "a");
    auto b = package(2, "b");
    container->addEventPackage(a);
    container->addEventPackage(b);
    // The first upload fails at once, the second is held by the server.
    server.setResponder(Endpoint::EVENT_BULK, [](const tools::RecordedRequest& r) {
        ScriptedAnswer answer;
        const auto ids = logIdsIn(r);
        if (!ids.empty() && ids.front() == "id-1") {
            answer.status = 500;
        } else {
            answer.delay = std::chrono::milliseconds(1500);
        }
        return answer;
    });
    std::thread round([&] { container->sendAllEventPackages(); });
    // a failed and waits at the head while b is being sent.
    const bool sending = testing::pollUntil(
        [&] { return container->snapshot() == EventPackageContainer::Packages{a}; });
    container->updateUnsentEventPackagesInDataRegistry();
    container->waitForStoreWrites();
    const auto stored = storedLogIds();
    round.join();
    ASSERT_TRUE(sending);
    EXPECT_EQ(stored, (std::vector<std::string>{"id-1", "id-2", "id-3", "id-4"}));
    EXPECT_EQ(container->packageCount(), 1u);
}

TEST_F(EventPackageContainerTest, ABacklogBeyondTheStoredListWaitsPackedAndGoesOutUnchanged) {
    setNetwork(false);
    auto container = makeContainer();
    EventPackageContainer::Packages added;
    const std::size_t total = EventPackageContainer::PLAIN_BACKLOG + 30;
    for (std::size_t i = 0; i < total; ++i) {
        added.push_back(package(10, "p" + std::to_string(i) + "-"));
        container->addEventPackage(added.back());
    }
    // The stored list's worth at the head stays plain; the rest waits packed
    // (a moment later, off the thread that queued them).
    auto packedCount = [&] {
        std::size_t n = 0;
        for (const auto& p : container->snapshot()) {
            n += p->packed() ? 1 : 0;
        }
        return n;
    };
    EXPECT_EQ(packedCount(), 0u);
    sdk.clock()->advance(EventPackageContainer::PACKING_DELAY);
    EXPECT_TRUE(testing::pollUntil([&] { return packedCount() == 30; }));
    auto snapshot = container->snapshot();
    ASSERT_EQ(snapshot.size(), total);
    for (std::size_t i = 0; i < total; ++i) {
        EXPECT_EQ(snapshot[i]->packageId(), added[i]->packageId());
        EXPECT_EQ(snapshot[i]->packed(), i >= EventPackageContainer::PLAIN_BACKLOG) << i;
        EXPECT_EQ(snapshot[i]->eventsJson(), added[i]->eventsJson());
    }
    // The checkpoint holds the same text as one of the plain packages.
    container->updateUnsentEventPackagesInDataRegistry();
    container->waitForStoreWrites();
    const auto data = registry->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), UnsentPackageStore::encode(added));

    // Online again: every event goes out once, in order, packed or not.
    setNetwork(true);
    container->sendAllEventPackages();
    EXPECT_EQ(container->packageCount(), 0u);
    EXPECT_EQ(uploadedLogIds(), idsOf(added));
}

TEST_F(EventPackageContainerTest, ABacklogStaysPlainWhileTheServerTakesUploadsUnlessVeryDeep) {
    auto container = makeContainer();
    auto packedCount = [&] {
        std::size_t n = 0;
        for (const auto& p : container->snapshot()) {
            n += p->packed() ? 1 : 0;
        }
        return n;
    };
    // A success shows the server takes uploads.
    container->addEventPackage(package(1, "first"));
    container->sendAllEventPackages();
    ASSERT_EQ(container->packageCount(), 0u);

    // Only what lies past the much deeper line is packed: the pass that packs
    // those has run when they are, and it left the rest plain.
    const std::size_t deep = EventPackageContainer::PLAIN_BACKLOG_WHILE_DELIVERING;
    const std::size_t total = deep + 5;
    EventPackageContainer::Packages added;
    for (std::size_t i = 0; i < total; ++i) {
        added.push_back(package(1, "q" + std::to_string(i) + "-"));
        container->addEventPackage(added.back());
    }
    sdk.clock()->advance(EventPackageContainer::PACKING_DELAY);
    ASSERT_TRUE(testing::pollUntil([&] { return packedCount() == 5; }));
    auto snapshot = container->snapshot();
    ASSERT_EQ(snapshot.size(), total);
    for (std::size_t i = 0; i < total; ++i) {
        ASSERT_EQ(snapshot[i]->packed(), i >= deep) << i;
    }

    // A round whose first upload fails (the connection went down) turns the
    // uploads to failing: the backlog past the stored list's worth is packed
    // then, with no new package to ask for it.
    setNetwork(false);
    container->sendAllEventPackages();
    ASSERT_EQ(container->packageCount(), total);
    sdk.clock()->advance(EventPackageContainer::PACKING_DELAY);
    EXPECT_TRUE(testing::pollUntil(
        [&] { return packedCount() == total - EventPackageContainer::PLAIN_BACKLOG; }));
    snapshot = container->snapshot();
    for (std::size_t i = 0; i < total; ++i) {
        EXPECT_EQ(snapshot[i]->packageId(), added[i]->packageId());
        EXPECT_EQ(snapshot[i]->packed(), i >= EventPackageContainer::PLAIN_BACKLOG) << i;
    }

    // Back online, everything goes out once, in order, packed or not.
    setNetwork(true);
    container->sendAllEventPackages();
    EXPECT_EQ(container->packageCount(), 0u);
    auto uploaded = uploadedLogIds();
    ASSERT_EQ(uploaded.size(), total + 1);
    EXPECT_EQ(std::vector<std::string>(uploaded.begin() + 1, uploaded.end()), idsOf(added));
}

TEST_F(EventPackageContainerTest, ThePaceOfTheUploadsSetsHowMuchOfTheBacklogStaysPlain) {
    auto container = makeContainer();
    // A packing pass is asked for while the uploads are not known to succeed.
    setNetwork(false);
    constexpr std::size_t kSent = 150;
    for (std::size_t i = 0; i < kSent; ++i) {
        container->addEventPackage(package(1, "s" + std::to_string(i) + "-"));
    }
    // Before it runs, the server takes those in no time on the manual clock's
    // scale: at that pace the next DRAIN_HORIZON takes kSent per
    // PACKING_DELAY.
    setNetwork(true);
    container->sendAllEventPackages();
    ASSERT_EQ(container->packageCount(), 0u);
    const std::size_t line =
        kSent * static_cast<std::size_t>(EventPackageContainer::DRAIN_HORIZON.count() /
                                         EventPackageContainer::PACKING_DELAY.count());
    ASSERT_GT(line, EventPackageContainer::PLAIN_BACKLOG_WHILE_DELIVERING);
    const std::size_t total = line + 10;
    for (std::size_t i = 0; i < total; ++i) {
        container->addEventPackage(package(1, "t" + std::to_string(i) + "-"));
    }
    sdk.clock()->advance(EventPackageContainer::PACKING_DELAY);
    auto packedAt = [&] {
        std::vector<std::size_t> at;
        const auto snapshot = container->snapshot();
        for (std::size_t i = 0; i < snapshot.size(); ++i) {
            if (snapshot[i]->packed()) {
                at.push_back(i);
            }
        }
        return at;
    };
    ASSERT_TRUE(testing::pollUntil([&] { return packedAt().size() == 10; }));
    // The pass packs oldest first: a line at the fixed minimum would have
    // packed from there.
    EXPECT_EQ(packedAt().front(), line);
    EXPECT_EQ(packedAt().back(), total - 1);
}

}  // namespace
}  // namespace sorvel::eventtest
