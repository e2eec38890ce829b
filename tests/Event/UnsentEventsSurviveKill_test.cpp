// A process killed with events queued while the server is down loses none of
// them: the next launch finds every queued package stored and delivers it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Event/EventJournal.h"
#include "KillPipeline.h"
#include "Platform/FileSystem.h"
#include "Platform/Host.h"
#include "Platform/Http.h"
#include "ServerDouble.h"
#include "support/TestSupport.h"
#include "support/Uploads.h"

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
    const bool keysStored = p.storeKeys();
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
    testing::reportAndAwaitKill(keysStored && p.container->packageCount() ==
                                                  static_cast<std::size_t>(kQueuedOffline / 10));
}
const int kKilledChildDone = runAsKilledChildIfAsked();

constexpr const char* kRotatedEnv = "SORVEL_EVENT_KILL_ROTATED_CHILD";
constexpr int kQueuedBeforeMark = 100;
constexpr int kSentAfterMark = 100;
constexpr int kQueuedAfterMark = 50;

// The child: packages queued while the server is down, a checkpoint whose
// mark starts a new journal file while another owner of the folder keeps the
// older file from being deleted, then the server comes back and acknowledges
// them (told in the newer file), and more are queued before the kill.
int runAsRotatedChildIfAsked() {
    if (!killtest::killedChildHome(kRotatedEnv)) {
        return 0;
    }
    const std::string arg = std::getenv(kRotatedEnv);
    const std::string server = arg.substr(arg.find('|') + 1);
    platform::host::mapHttpHost("*", "http://127.0.0.1:1");
    Pipeline p;
    const bool keysStored = p.storeKeys();
    // Another process's journal in the folder, as long as this one lives.
    auto other = EventJournal::create(platform::preferencesFolder());
    auto log = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            p.log("kill-" + std::to_string(i));
        }
        p.buffer->flushAllNow();
        p.buffer->waitUntilIdle();
    };
    log(0, kQueuedBeforeMark);
    p.container->updateUnsentEventPackagesInDataRegistry();
    p.container->waitForStoreWrites();
    platform::host::mapHttpHost("*", server);
    log(kQueuedBeforeMark, kQueuedBeforeMark + kSentAfterMark);
    platform::host::mapHttpHost("*", "http://127.0.0.1:1");
    const int end = kQueuedBeforeMark + kSentAfterMark + kQueuedAfterMark;
    log(kQueuedBeforeMark + kSentAfterMark, end);
    std::size_t files = 0;
    for (const std::string& path :
         EventJournal::filesInReplayOrder(platform::preferencesFolder())) {
        files += path.find("~") != std::string::npos ? 1 : 0;
    }
    testing::reportAndAwaitKill(keysStored && other && files >= 1 &&
                                p.container->packageCount() ==
                                    static_cast<std::size_t>(kQueuedAfterMark / 10));
}
const int kRotatedChildDone = runAsRotatedChildIfAsked();

constexpr const char* kOpenEnv = "SORVEL_EVENT_KILL_OPEN_CHILD";
constexpr int kQueuedBeforeOpen = 200;
constexpr int kInOpenBuffer = 3;

// The child: events queued while the server is down, three more left in the
// open buffer (a package forms at ten), then it waits to be killed once the
// buffer's queue has taken them in.
int runAsOpenBufferChildIfAsked() {
    if (!killtest::killedChildHome(kOpenEnv)) {
        return 0;
    }
    platform::host::mapHttpHost("*", "http://127.0.0.1:1");
    Pipeline p;
    const bool keysStored = p.storeKeys();
    for (int i = 0; i < kQueuedBeforeOpen + kInOpenBuffer; ++i) {
        p.log("kill-" + std::to_string(i));
    }
    p.buffer->waitUntilStored();
    testing::reportAndAwaitKill(keysStored && p.buffer->bufferedEventCount() ==
                                                  static_cast<std::size_t>(kInOpenBuffer));
}
const int kOpenChildDone = runAsOpenBufferChildIfAsked();

constexpr const char* kOverCapEnv = "SORVEL_EVENT_KILL_OVER_CAP_CHILD";
constexpr int kOverCapPackages = 105;

// The child: 1,050 events queued while the server is down, a checkpoint
// that lists 1,000 of them and cuts the journal back, then the kill.
int runAsOverCapChildIfAsked() {
    if (!killtest::killedChildHome(kOverCapEnv)) {
        return 0;
    }
    platform::host::mapHttpHost("*", "http://127.0.0.1:1");
    Pipeline p;
    const bool keysStored = p.storeKeys();
    for (int i = 0; i < kOverCapPackages * 10; ++i) {
        p.log("kill-" + std::to_string(i));
    }
    p.buffer->waitUntilStored();
    p.container->updateUnsentEventPackagesInDataRegistry();
    p.container->waitForStoreWrites();
    std::uintmax_t journaled = 0;
    for (const std::string& path :
         EventJournal::filesInReplayOrder(platform::preferencesFolder())) {
        journaled += std::filesystem::file_size(path);
    }
    // The left-out packages are named, not kept: far less than one of them.
    testing::reportAndAwaitKill(keysStored && journaled < 1000 &&
                                p.container->packageCount() ==
                                    static_cast<std::size_t>(kOverCapPackages));
}
const int kOverCapChildDone = runAsOverCapChildIfAsked();

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

// How many times the server received each log id, every request signed.
std::map<std::string, int> receivedIds(tools::ServerDouble& server) {
    std::map<std::string, int> received;
    for (const auto& r : server.requests(tools::Endpoint::EVENT_BULK)) {
        EXPECT_EQ(r.signature, "valid");
        for (const auto& id : logIds(r.decodedBody, "evts")) {
            ++received[id];
        }
    }
    return received;
}

// Points the host at the killed launch's home and its server, as the next
// launch finds them.
void prepareNextLaunch(killtest::KilledLaunch& launch) {
    platform::host::setKeychainFolder(launch.sdk.home() + "/keychain");
    platform::host::setReachability(std::string("wifi"));
    platform::host::mapHttpHost("*", launch.server.baseUrl());
}

// The log ids of the stored list once the start's checkpoint is written.
std::vector<std::string> storedLogIds(Pipeline& launch) {
    launch.container->waitForStoreWrites();
    auto stored =
        launch.registry->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
    EXPECT_TRUE(stored);
    return stored ? logIds(std::string(stored->begin(), stored->end()), "eventModels")
                  : std::vector<std::string>{};
}

TEST(UnsentEventsSurviveKill, EveryQueuedPackageIsStoredThenDelivered) {
    killtest::KilledLaunch launch;
    std::string said;
    ASSERT_TRUE(launch.killChild(kEnv, said)) << said;
    tools::ServerDouble& server = launch.server;
    std::map<std::string, int> received = receivedIds(server);
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kSentFirst));

    // The next launch: the store holds exactly the queued events, in order.
    prepareNextLaunch(launch);
    Pipeline next;
    // The start replays the killed launch's journal into a fresh checkpoint.
    const auto storedIds = storedLogIds(next);
    ASSERT_EQ(storedIds.size(), static_cast<std::size_t>(kQueuedOffline));
    for (int i = 0; i < kQueuedOffline; ++i) {
        EXPECT_EQ(storedIds[static_cast<std::size_t>(i)], "kill-" + std::to_string(kSentFirst + i));
    }
    EXPECT_EQ(next.container->packageCount(), static_cast<std::size_t>(kQueuedOffline / 10));

    next.buffer->flushAllNow();
    next.buffer->waitUntilIdle();
    received = receivedIds(server);
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

// A kill between a checkpoint's mark and the deletion of the journal file
// before it: the next start reads the files oldest first, so packages
// acknowledged after the mark are not sent again, and nothing queued is lost.
TEST(UnsentEventsSurviveKill, AJournalOfSeveralFilesIsReplayedInOrder) {
    killtest::KilledLaunch launch;
    std::string said;
    ASSERT_TRUE(launch.killChild(kRotatedEnv, said)) << said;
    tools::ServerDouble& server = launch.server;
    std::map<std::string, int> received = receivedIds(server);
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kQueuedBeforeMark + kSentAfterMark));

    prepareNextLaunch(launch);
    Pipeline next;
    // Only what was still queued at the kill, in order.
    const auto storedIds = storedLogIds(next);
    ASSERT_EQ(storedIds.size(), static_cast<std::size_t>(kQueuedAfterMark));
    for (int i = 0; i < kQueuedAfterMark; ++i) {
        EXPECT_EQ(storedIds[static_cast<std::size_t>(i)],
                  "kill-" + std::to_string(kQueuedBeforeMark + kSentAfterMark + i));
    }
    // The dead journal's files are gone; this launch's own is left.
    EXPECT_EQ(EventJournal::filesInReplayOrder(platform::preferencesFolder()).size(), 1u);

    next.buffer->flushAllNow();
    next.buffer->waitUntilIdle();
    received = receivedIds(server);
    EXPECT_EQ(received.size(),
              static_cast<std::size_t>(kQueuedBeforeMark + kSentAfterMark + kQueuedAfterMark));
    for (const auto& [id, n] : received) {
        EXPECT_EQ(n, 1) << id << " sent twice";
    }
    EventUploadIntervalManager::shared().removeObserver(next.buffer);
}

// A kill with more events queued than the list holds: the next start
// restores the listed 1,000 and says how many the kill took beyond them.
TEST(UnsentEventsSurviveKill, EventsOverTheCapThatAKillTookAreCountedByTheNextStart) {
    killtest::KilledLaunch launch;
    std::string said;
    ASSERT_TRUE(launch.killChild(kOverCapEnv, said)) << said;
    prepareNextLaunch(launch);
    testing::LogCapture log;
    Pipeline next;
    const auto stored = storedLogIds(next);
    ASSERT_EQ(stored.size(), static_cast<std::size_t>(Constants::MAX_UNSENT_EVENTS));
    EXPECT_EQ(stored.back(), "kill-999");
    EXPECT_TRUE(testing::pollUntil([&] {
        return log.contains(
            "50 events over the cap of 1000 unsent events were lost with the "
            "process that held them (5 packages");
    }));
    EventUploadIntervalManager::shared().removeObserver(next.buffer);
}

// Events a kill found in the open buffer (fewer than a package's worth, with
// no flush to come) are taken into the next launch's buffer, ahead of its own
// events and in order, and delivered once.
TEST(UnsentEventsSurviveKill, TheOpenBuffersEventsComeBackIntoTheBufferInOrder) {
    killtest::KilledLaunch launch;
    std::string said;
    ASSERT_TRUE(launch.killChild(kOpenEnv, said)) << said;
    tools::ServerDouble& server = launch.server;
    ASSERT_TRUE(receivedIds(server).empty());

    prepareNextLaunch(launch);
    {
        Pipeline next;
        EXPECT_EQ(storedLogIds(next).size(), static_cast<std::size_t>(kQueuedBeforeOpen));
        ASSERT_EQ(next.buffer->bufferedEventCount(), static_cast<std::size_t>(kInOpenBuffer));
        // The dead process's journal is gone once the start's checkpoint
        // holds its packages; its open buffer is in this launch's journal.
        ASSERT_EQ(EventJournal::filesInReplayOrder(platform::preferencesFolder()).size(), 1u);
        for (int i = 0; i < 10 - kInOpenBuffer; ++i) {
            next.log("next-" + std::to_string(i));
        }
        next.buffer->flushAllNow();
        next.buffer->waitUntilIdle();
        EventUploadIntervalManager::shared().removeObserver(next.buffer);
    }
    // In recorded order: the killed launch's, then the next one's, each once.
    std::vector<std::string> arrived;
    for (const auto& r : testing::inRecordedOrder(server.requests(tools::Endpoint::EVENT_BULK))) {
        auto more = logIds(r.decodedBody, "evts");
        arrived.insert(arrived.end(), more.begin(), more.end());
    }
    std::vector<std::string> expected;
    for (int i = 0; i < kQueuedBeforeOpen + kInOpenBuffer; ++i) {
        expected.push_back("kill-" + std::to_string(i));
    }
    for (int i = 0; i < 10 - kInOpenBuffer; ++i) {
        expected.push_back("next-" + std::to_string(i));
    }
    EXPECT_EQ(arrived, expected);
}

}  // namespace
}  // namespace sorvel
