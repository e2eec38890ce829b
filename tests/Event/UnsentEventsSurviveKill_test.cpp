// A process killed with events queued while the server is down loses none of
// them: the next launch finds every queued package stored and delivers it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "Common/DataRegistry.h"
#include "KillPipeline.h"
#include "Platform/Host.h"
#include "Platform/Http.h"
#include "ServerDouble.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

constexpr const char* kEnv = "SORVEL_EVENT_KILL_CHILD";
constexpr int kSentFirst = 200;
constexpr int kQueuedOffline = 300;

using killtest::Pipeline;

// The child: events delivered while the server is up, then events queued
// while it is down (with flushes that fail), then it waits to be killed.
int runAsKilledChildIfAsked() {
    if (!killtest::killedChildHome(kEnv)) {
        return 0;
    }
    Pipeline p;
    p.storeKeys();
    auto log = [&](int i) { p.log("kill-" + std::to_string(i)); };
    for (int i = 0; i < kSentFirst; ++i) {
        log(i);
    }
    p.buffer->flushAllNow();
    p.buffer->waitUntilIdle();
    // The server goes away: nothing listens on port 1.
    platform::host::mapHttpHost("*", "http://127.0.0.1:1");
    for (int i = kSentFirst; i < kSentFirst + kQueuedOffline; ++i) {
        log(i);
        if (i % 100 == 99) {
            p.buffer->flushAllNow();
        }
    }
    p.buffer->waitUntilIdle();
    testing::reportAndAwaitKill(p.container->packageCount() ==
                                static_cast<std::size_t>(kQueuedOffline / 10));
}
const int kKilledChildDone = runAsKilledChildIfAsked();

std::vector<std::string> logIds(const std::string& json, const char* listKey) {
    std::vector<std::string> ids;
    auto v = Value::fromJson(json);
    auto collect = [&](const Value& holder) {
        const Value::Map* m = holder.getMap();
        if (m == nullptr || m->count(listKey) == 0 || !m->at(listKey).isArray()) {
            return;
        }
        for (const auto& e : *m->at(listKey).getArray()) {
            ids.push_back(*e.getMap()->at("log_id").getString());
        }
    };
    if (v && v->isArray()) {
        for (const auto& p : *v->getArray()) {
            collect(p);
        }
    } else if (v) {
        collect(*v);
    }
    return ids;
}

TEST(UnsentEventsSurviveKill, EveryQueuedPackageIsStoredThenDelivered) {
    killtest::KilledLaunch launch;
    std::string said;
    ASSERT_TRUE(launch.killChild(kEnv, said)) << said;
    testing::FreshSdk& sdk = launch.sdk;
    tools::ServerDouble& server = launch.server;
    std::map<std::string, int> received;
    auto countUploads = [&] {
        received.clear();
        for (const auto& r : server.requests(tools::Endpoint::EVENT_BULK)) {
            EXPECT_EQ(r.signature, "valid");
            for (const auto& id : logIds(r.decodedBody, "evts")) {
                ++received[id];
            }
        }
    };
    countUploads();
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kSentFirst));

    // The next launch: the store holds exactly the queued events, in order.
    platform::host::setKeychainFolder(sdk.home() + "/keychain");
    platform::host::setReachability(std::string("wifi"));
    platform::host::mapHttpHost("*", server.baseUrl());
    Pipeline next;
    // The start replays the killed launch's journal into a fresh checkpoint.
    next.container->waitForStoreWrites();
    auto stored = next.registry->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
    ASSERT_TRUE(stored);
    auto storedIds = logIds(std::string(stored->begin(), stored->end()), "eventModels");
    ASSERT_EQ(storedIds.size(), static_cast<std::size_t>(kQueuedOffline));
    for (int i = 0; i < kQueuedOffline; ++i) {
        EXPECT_EQ(storedIds[static_cast<std::size_t>(i)], "kill-" + std::to_string(kSentFirst + i));
    }
    EXPECT_EQ(next.container->packageCount(), static_cast<std::size_t>(kQueuedOffline / 10));

    next.buffer->flushAllNow();
    next.buffer->waitUntilIdle();
    countUploads();
    EXPECT_EQ(received.size(), static_cast<std::size_t>(kSentFirst + kQueuedOffline));
    int duplicates = 0;
    for (const auto& [id, n] : received) {
        duplicates += n - 1;
    }
    // At most one package sent twice.
    EXPECT_LE(duplicates, 10);
    // The list is a checkpoint: the next one holds nothing.
    next.container->updateUnsentEventPackagesInDataRegistry();
    next.container->waitForStoreWrites();
    auto after = next.registry->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
    EXPECT_EQ(std::string(after->begin(), after->end()), "[]");
    EventUploadIntervalManager::shared().removeObserver(next.buffer);
}

}  // namespace
}  // namespace sorvel
