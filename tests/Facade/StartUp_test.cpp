#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>

#include "CampaignListServer.h"
#include "Facade/FacadeFixture.h"
#include "InAppMessage/InAppMessageSqliteStore.h"
#include "Platform/Host.h"
#include "Platform/UI/View.h"
#include "support/CommonSupport.h"
#include "support/ImageSupport.h"

// How an app learns that the SDK is ready, and what the developer sees while
// it starts.
namespace sorvel::facadetest {
namespace {

// What whenStarted told, once it told it.
class StartedFlag {
  public:
    std::function<void(bool)> handler() {
        return [this](bool running) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                running_ = running;
                ++calls_;
            }
            testing::notifyWaiters();
        };
    }
    // Waits for the call; absent when it did not come in time.
    std::optional<bool> wait() {
        if (!testing::waitUntil([&] { return calls() > 0; })) {
            return std::nullopt;
        }
        std::lock_guard<std::mutex> lock(mu_);
        return running_;
    }
    int calls() {
        std::lock_guard<std::mutex> lock(mu_);
        return calls_;
    }

  private:
    std::mutex mu_;
    bool running_ = false;
    int calls_ = 0;
};

// Schedules a local notification an hour ahead and waits for its
// completion: whether it was accepted, absent when no answer came in time.
std::optional<bool> scheduleLocalNotification() {
    auto scheduled = std::make_shared<std::pair<std::mutex, std::optional<bool>>>();
    SorvelKV::getInstance().registerLocalPushNotification(
        std::chrono::system_clock::now() + std::chrono::hours(1), "title", std::nullopt, "body",
        std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
        [scheduled](bool ok, const std::optional<LocalPushError>&, const std::string&) {
            {
                std::lock_guard<std::mutex> lock(scheduled->first);
                scheduled->second = ok;
            }
            testing::notifyWaiters();
        });
    testing::waitUntil([&] {
        std::lock_guard<std::mutex> lock(scheduled->first);
        return scheduled->second.has_value();
    });
    std::lock_guard<std::mutex> lock(scheduled->first);
    return scheduled->second;
}

class StartUpTest : public FacadeTest {
  protected:
    StartUpTest() { qaMode_ = false; }
};

// The app of the report: it starts the SDK, comes to the foreground, waits for
// the start, then allows push, records an event that triggers a campaign and
// schedules a local notification. Neither is refused for coming too early, and
// with a log delegate set not a line reaches stderr.
TEST_F(StartUpTest, AfterTheStartNeitherTheInAppLookupNorTheNotificationIsRefused) {
    tools::CampaignListServer campaigns(*server_);
    campaigns.addImage("c1.png", testing::pngOf(testing::solidImage(4, 4, 200, 100, 0)));
    campaigns.setCampaigns(
        R"([{"campaign_id":"c1","type":"modal","layout":"text",)"
        R"("contents":{"text":{"title":"Hi"},"image":{"url":{"portrait":")" +
            campaigns.imageUrl("c1.png") +
            R"("},"click_action":{"action_type":"close"}}},"frequency_cap":{"per_session":1},)"
            R"("triggers":[{"evt":"custom:buy","type":"inappevent","priority":1}],)"
            R"("available_time":[],"start_datetime":"2024-01-01T00:00:00","end_datetime":"null",)"
            R"("last_updated_datetime":"2024-01-01T00:00:00.0000000Z",)"
            R"("page_orientation":["portrait"],"timezone_type":"Local"}])",
        "sum-1");
    auto window = platform::host::addWindow(platform::mainScreenBounds(),
                                            platform::kWindowLevelNormal, {}, true);
    testing::DelegateLog delegate;
    SorvelHost::setNotificationPermission(true);

    StartedFlag started;
    kv().initSorvel(kAppKey, kSecretKey);
    SorvelHost::applicationDidBecomeActive();
    SorvelHost::whenStarted(started.handler());
    ASSERT_EQ(started.wait(), std::optional<bool>(true));

    kv().setPushEnable(true);
    kv().event("buy");
    EXPECT_EQ(scheduleLocalNotification(), std::optional<bool>(true));
    // The lookup ran in the running SDK: it found the campaign, or found none
    // because the list the start asked for was still on its way.
    EXPECT_TRUE(testing::pollUntil([&] {
        return delegate.count("getInAppMessageByCampaignId Success, campaignId = c1") +
                   delegate.count("No Valid InAppMessage, eventName : custom:buy") ==
               1;
    }));
    EXPECT_EQ(delegate.count("초기화전에"), 0);
    EXPECT_EQ(delegate.count("Cannot Use Local Notification"), 0);

    // Asked for after the start, the answer comes at once.
    StartedFlag later;
    SorvelHost::whenStarted(later.handler());
    EXPECT_EQ(later.wait(), std::optional<bool>(true));
    EXPECT_EQ(started.calls(), 1);

    // The delegate took every line, debug ones included; stderr got none.
    EXPECT_GE(delegate.count("Trying to get application settings.."), 1);
    EXPECT_EQ(logs_.lines(), std::vector<std::string>{});
    platform::host::removeAllWindows();
}

// Offline, no request tells the SDK the user's notification permission: the
// start reads it, so a local notification scheduled right after is allowed.
TEST_F(StartUpTest, OfflineTheStartStillKnowsTheNotificationPermission) {
    SorvelHost::setNetworkAvailable(false);
    SorvelHost::setNotificationPermission(true);
    StartedFlag started;
    start();
    SorvelHost::whenStarted(started.handler());
    ASSERT_EQ(started.wait(), std::optional<bool>(true));
    kv().setPushEnable(true);
    EXPECT_EQ(scheduleLocalNotification(), std::optional<bool>(true));
    EXPECT_TRUE(server_->requests(Endpoint::EVENT_BULK).empty());
}

// The README's first app with a secret key of 25 characters: the refusal is
// an error on stderr even without a log delegate or quality-assurance mode,
// the start reports a stopped SDK, and nothing is sent. With right keys the
// start goes through and stderr stays free of debug and info lines.
TEST_F(StartUpTest, ARefusedKeyIsAnErrorOnStderrAndTheStartSaysSo) {
    struct Case {
        const char* what;
        std::string appKey;
        std::string secretKey;
        const char* line;
    };
    const Case cases[] = {
        {"secret key of 25", kAppKey, std::string(25, 's'),
         "svlkv [error]: SecretKey가 길이 22의 문자열이 아닙니다."},
        {"app key of 21", std::string(21, 'a'), kSecretKey,
         "svlkv [error]: AppKey가 길이 22의 문자열이 아닙니다."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StartedFlag started;
        SorvelHost::whenStarted(started.handler());
        kv().initSorvel(c.appKey, c.secretKey);
        SorvelHost::applicationDidBecomeActive();
        EXPECT_EQ(started.wait(), std::optional<bool>(false));
        EXPECT_TRUE(waitForLine(c.line));
        kv().event("never_sent");
        EXPECT_TRUE(DiContainer::shared().drain());
        EXPECT_EQ(server_->requestCount(), 0u);
        relaunch();
        logs_.clear();
    }

    StartedFlag started;
    start();
    SorvelHost::whenStarted(started.handler());
    ASSERT_EQ(started.wait(), std::optional<bool>(true));
    ASSERT_TRUE(sendAndWait("first"));
    for (const auto& line : logs_.lines()) {
        EXPECT_EQ(line.find("svlkv [debug]"), std::string::npos) << line;
        EXPECT_EQ(line.find("svlkv [info]"), std::string::npos) << line;
    }
}

// The read lock a connection keeps on its store's shared-memory index (byte
// 128 of "-shm") tells other processes the index is in use. A process that
// dropped it would have the index reset under it by the next one to open the
// store. Every store the running SDK has open keeps it.
TEST_F(StartUpTest, EveryOpenStoreKeepsItsLockOnTheSharedIndex) {
    StartedFlag started;
    kv().initSorvel(kAppKey, kSecretKey);
    SorvelHost::applicationDidBecomeActive();
    SorvelHost::whenStarted(started.handler());
    ASSERT_EQ(started.wait(), std::optional<bool>(true));
    kv().event("buy");
    std::atomic<bool> listed{false};
    kv().getAllActionHistory({"PUSH_IOS"}, [&](const ActionHistoryResult&) {
        listed = true;
        testing::notifyWaiters();
    });
    ASSERT_TRUE(testing::waitUntil([&] { return listed.load(); }));
    ASSERT_TRUE(DiContainer::shared().drain());

    // The read locks this process holds, by inode, from the kernel's table:
    // "<n>: POSIX ADVISORY READ <pid> <major>:<minor>:<inode> <start> <end>".
    // The table is read a page at a time, and another process that takes or
    // drops a lock between two pages can make one read miss a line: the
    // table is read again until one read shows every index locked. A lock
    // that is really gone is missing from every read.
    const auto lockedInodes = [] {
        std::set<std::string> inodes;
        std::ifstream table("/proc/locks");
        for (std::string line; std::getline(table, line);) {
            std::istringstream fields(line);
            std::string id, kind, advisory, mode, pid, device, start, end;
            fields >> id >> kind >> advisory >> mode >> pid >> device >> start >> end;
            if (kind == "POSIX" && mode == "READ" && pid == std::to_string(::getpid()) &&
                start == "128" && end == "128") {
                inodes.insert(device.substr(device.rfind(':') + 1));
            }
        }
        return inodes;
    };
    std::vector<std::string> indexes;
    std::vector<std::string> inodes;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(sdk_.home())) {
        const std::string path = entry.path().string();
        if (path.size() > 4 && path.compare(path.size() - 4, 4, "-shm") == 0) {
            struct stat st {};
            ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
            indexes.push_back(path);
            inodes.push_back(std::to_string(st.st_ino));
        }
    }
    std::vector<std::string> unlocked;
    EXPECT_TRUE(testing::pollUntil([&] {
        const std::set<std::string> locked = lockedInodes();
        unlocked.clear();
        for (std::size_t i = 0; i < indexes.size(); ++i) {
            if (locked.count(inodes[i]) == 0) {
                unlocked.push_back(indexes[i]);
            }
        }
        return unlocked.empty();
    })) << "not locked: "
        << ::testing::PrintToString(unlocked);
    // The campaigns, the message history and the settings at least.
    EXPECT_GE(indexes.size(), 3u) << ::testing::PrintToString(indexes);
    EXPECT_TRUE(std::any_of(indexes.begin(), indexes.end(), [](const std::string& p) {
        return p.find(InAppMessageSqliteStore::DATABASE_NAME) != std::string::npos;
    })) << ::testing::PrintToString(indexes);
}

}  // namespace
}  // namespace sorvel::facadetest
