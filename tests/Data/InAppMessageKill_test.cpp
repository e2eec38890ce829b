// A process killed at any moment while it stores campaign lists leaves a
// campaign store that opens again and holds one whole list, old or new, and
// the next download puts the whole list in it. SORVEL_IAM_KILLS sets the
// number of kills (100 by default, fewer in a sanitizer build; the README
// runs 1,000).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "Data/InAppMessageFixture.h"
#include "Event/AutoEvent.h"

namespace sorvel::iamtest {
namespace {

constexpr const char* kEnv = "SORVEL_IAM_KILL_CHILD";
constexpr const char* kBigEnv = "SORVEL_IAM_KILL_BIG_CHILD";
constexpr int kBigList = 10000;

// List n: campaigns n .. n+k, some with images and time windows, so that
// consecutive lists differ in ids, rows and sizes.
Value::Array listNumber(int n) {
    Value::Array list;
    const int size = 40 + (n * 37) % 80;
    for (int i = 0; i < size; ++i) {
        Value::Map c = campaign("k" + std::to_string(n + i));
        if (i % 3 == 0) {
            c = withImages(std::move(c), "https://img.test/" + std::to_string(i) + ".png", "");
        }
        if (i % 4 == 0) {
            c["available_time"] = Value(Value::Array{
                Value(Value::Map{{"days", Value(Value::Array{Value("Mon"), Value("Fri")})},
                                 {"start_min", Value(60)},
                                 {"end_min", Value(120)}})});
        }
        list.push_back(Value(std::move(c)));
    }
    return list;
}

int firstList(unsigned seed) {
    return static_cast<int>(seed % 50);
}
constexpr int kListStep = 7;

std::vector<std::string> sortedIds(const Value::Array& list) {
    std::vector<std::string> ids;
    for (const auto& c : list) {
        ids.push_back(*c.getMap()->at("campaign_id").getString());
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// The child: stores list after list until it is killed; it says "go" after
// a pause its seed picks, so the kill lands anywhere in a rewrite.
int runAsKilledChildIfAsked() {
    const char* env = std::getenv(kEnv);
    if (env == nullptr) {
        return 0;
    }
    const std::string arg(env);
    const std::string home = arg.substr(0, arg.find('|'));
    const unsigned seed = static_cast<unsigned>(std::stoul(arg.substr(arg.find('|') + 1)));
    platform::host::setHomeFolder(home);
    platform::host::setKeychainFolder(home + "/keychain");
    // Image downloads fail at once: the ingest's own writes are what is killed.
    platform::host::setReachability(std::string("unknown"));
    auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    auto dao = InAppMessageDAO::create(registry);
    if (!dao) {
        std::printf("failed\n");
        std::fflush(stdout);
        std::_Exit(1);
    }
    std::thread([dao, seed] {
        for (int n = firstList(seed);; n += kListStep) {
            dao->insertApiResponse2Table(answer(listNumber(n), "list-" + std::to_string(n)));
        }
    }).detach();
    std::mt19937 random(seed);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
    std::printf("go\n");
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}
const int kKilledChildDone = runAsKilledChildIfAsked();

// A list of n campaigns "big-<i>".
Value::Array bigList(int n) {
    Value::Array list;
    for (int i = 0; i < n; ++i) {
        list.push_back(Value(campaign("big-" + std::to_string(i))));
    }
    return list;
}

// The child: stores a small list that expires at once, then starts on a list
// of 10,000 campaigns and says "go" once the rewrite holds the file's write
// lock, so that the kill lands inside the rewrite; "missed" when the rewrite
// ended before it was seen holding the lock.
int runAsBigListChildIfAsked() {
    const char* env = std::getenv(kBigEnv);
    if (env == nullptr) {
        return 0;
    }
    const std::string home(env);
    platform::host::setHomeFolder(home);
    platform::host::setKeychainFolder(home + "/keychain");
    platform::host::setReachability(std::string("unknown"));
    auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    auto dao = InAppMessageDAO::create(registry);
    if (!dao) {
        std::printf("failed\n");
        std::fflush(stdout);
        std::_Exit(1);
    }
    dao->insertApiResponse2Table(answer(bigList(3), "small", "changed", 0));
    if (!registry->waitForPendingWrites()) {
        std::printf("failed\n");
        std::fflush(stdout);
        std::_Exit(1);
    }
    const std::string big = answer(bigList(kBigList), "big", "changed", 60);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    std::thread([dao, big, ended] {
        dao->insertApiResponse2Table(big);
        ended->store(true);
    }).detach();
    // Another connection finds the write lock taken once the rewrite began.
    // It tries once a millisecond: trying without a pause would hold the lock
    // itself much of the time, keeping the rewrite waiting, and take a core
    // from it on a loaded machine.
    int rc = 0;
    auto watcher = platform::sqlite::Connection::open(
        platform::documentsFolder() + "/" + InAppMessageSqliteStore::DATABASE_NAME,
        SQLITE_OPEN_READWRITE, rc);
    if (!watcher) {
        std::printf("failed\n");
        std::fflush(stdout);
        std::_Exit(1);
    }
    bool locked = false;
    (void)testing::pollUntil(
        [&] {
            if (watcher->execute("BEGIN IMMEDIATE") != platform::sqlite::Outcome::Done) {
                locked = true;
                return true;
            }
            (void)watcher->execute("ROLLBACK");
            return ended->load();
        },
        testing::scaled(std::chrono::seconds(60)));
    std::printf(locked ? "go\n" : "missed\n");
    std::fflush(stdout);
    if (!locked) {
        std::_Exit(1);
    }
    for (;;) {
        ::pause();
    }
}
const int kBigListChildDone = runAsBigListChildIfAsked();

// A kill in the middle of a large rewrite leaves the list before it whole,
// with its own checksum and expiry: the next launch finds the list expired
// and asks for the new one again.
TEST(InAppMessageKill, AKillInsideALargeRewriteKeepsTheOldListAndItsExpiry) {
    testing::FreshSdk sdk;
    const std::string said = testing::runSelf({std::string(kBigEnv) + "=" + sdk.home()}, "go",
                                              testing::scaled(std::chrono::seconds(60)));
    ASSERT_NE(said.find("go"), std::string::npos) << said;

    sdk.relaunch();
    platform::host::setReachability(std::string("unknown"));
    auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    auto dao = InAppMessageDAO::create(registry);
    ASSERT_TRUE(dao);
    auto held = dao->store().getAllCampaignId();
    std::sort(held.begin(), held.end());
    if (held.size() == static_cast<std::size_t>(kBigList)) {
        // The rewrite had committed before the kill: the new list, whole.
        EXPECT_EQ(held, sortedIds(bigList(kBigList)));
        return;
    }
    EXPECT_EQ(held, sortedIds(bigList(3))) << held.size() << " campaigns";
    EXPECT_EQ(registry->getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, ""), "small");
    EXPECT_EQ(registry->getInt(DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY, -1), 0);
    EXPECT_TRUE(autoevent::isInAppMessageListExpired(*registry, platform::wallMillis() + 1));
}

TEST(InAppMessageKill, TheStoreReopensAndTheNextDownloadRestoresTheList) {
    testing::FreshSdk sdk;
    const char* wanted = std::getenv("SORVEL_IAM_KILLS");
    const int kills = wanted ? std::atoi(wanted) : 100 / testing::kSlowdown;
    const unsigned base = static_cast<unsigned>(std::random_device{}());
    std::printf("seed base %u\n", base);
    for (int k = 0; k < kills; ++k) {
        SCOPED_TRACE("kill " + std::to_string(k) + " seed " + std::to_string(base + k));
        const std::string said = testing::runSelf(
            {std::string(kEnv) + "=" + sdk.home() + "|" + std::to_string(base + k)}, "go",
            testing::scaled(std::chrono::seconds(20)));
        ASSERT_NE(said.find("go"), std::string::npos) << said;

        // The next launch of the app on the same data.
        sdk.relaunch();
        platform::host::setReachability(std::string("unknown"));
        testing::DelegateLog log;
        auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
        auto dao = InAppMessageDAO::create(registry);
        ASSERT_TRUE(dao);
        for (const auto& entry : std::filesystem::directory_iterator(platform::documentsFolder())) {
            ASSERT_EQ(entry.path().filename().string().find("corrupt"), std::string::npos)
                << entry.path();
        }
        // One whole list: the one this test stored last (before the child's
        // first commit), or one the child stored; and a checksum naming that
        // list or one stored before it.
        auto held = dao->store().getAllCampaignId();
        std::sort(held.begin(), held.end());
        const bool holdsPrevious = k > 0 && held == sortedIds(listNumber(1000 + k - 1));
        int heldList = -1;
        for (int n = firstList(base + k);
             !holdsPrevious && !held.empty() && n < firstList(base + k) + kListStep * 2000;
             n += kListStep) {
            if (sortedIds(listNumber(n)) == held) {
                heldList = n;
                break;
            }
        }
        ASSERT_TRUE(held.empty() || holdsPrevious || heldList >= 0)
            << "a part of a list: " << held.size() << " campaigns, " << held.front() << " .. "
            << held.back();
        const std::string sum =
            registry->getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, "");
        if (sum.rfind("list-", 0) == 0) {
            ASSERT_GE(heldList, 0) << sum;
            EXPECT_LE(std::stoi(sum.substr(std::string("list-").size())), heldList) << sum;
        } else if (!sum.empty()) {
            EXPECT_EQ(sum, "final-" + std::to_string(k - 1));
        }
        // Whatever the stored checksum, a list the device never held comes in full.
        const Value::Array list = listNumber(1000 + k);
        dao->insertApiResponse2Table(answer(list, "final-" + std::to_string(k)));
        EXPECT_EQ(registry->getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, ""),
                  "final-" + std::to_string(k));
        const std::vector<std::string> expected = sortedIds(list);
        auto stored = dao->store().getAllCampaignId();
        std::sort(stored.begin(), stored.end());
        ASSERT_EQ(stored, expected);
        for (const auto& id : expected) {
            ASSERT_TRUE(dao->store().isCurrentFrequencyExist(id)) << id;
        }
        EXPECT_EQ(dao->store().campaignIdsForEvent("custom:buy").size(), expected.size());
        EXPECT_EQ(dao->store().writeFailures(), 0u);
        dao->waitForImageQueue();
    }
}

}  // namespace
}  // namespace sorvel::iamtest
