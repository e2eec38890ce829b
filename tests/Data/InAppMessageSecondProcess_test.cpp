// A process storing a large campaign list goes on unharmed while another
// process opens the same store: a second launch of the app on the same data
// folder, or the sqlite3 shell reading it. Whatever the other opens and
// closes, the first keeps its locks on the store, so nobody takes its
// shared-memory index for abandoned and resets it under it.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "Data/InAppMessageFixture.h"

namespace sorvel::iamtest {
namespace {

constexpr const char* kIngestEnv = "SORVEL_IAM_INGEST_CHILD";
constexpr const char* kReaderEnv = "SORVEL_IAM_READER_CHILD";
constexpr int kBigList = 10000;
constexpr int kRuns = 10;

std::string storePath() {
    return platform::documentsFolder() + "/" + InAppMessageSqliteStore::DATABASE_NAME;
}

std::string startedFile(const std::string& home) {
    return home + "/ingest-started";
}

Value::Array bigList() {
    Value::Array list;
    for (int i = 0; i < kBigList; ++i) {
        list.push_back(Value(campaign("big-" + std::to_string(i))));
    }
    return list;
}

// Makes this process an app on the data folder `home`, with a campaign store.
std::shared_ptr<InAppMessageDAO> openOn(const std::string& home,
                                        std::shared_ptr<DataRegistry>& registry) {
    platform::host::setHomeFolder(home);
    platform::host::setKeychainFolder(home + "/keychain");
    platform::host::setReachability(std::string("unknown"));
    registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    return InAppMessageDAO::create(registry);
}

[[noreturn]] void finish(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "done" : "failed", what.c_str());
    std::fflush(stdout);
    std::_Exit(ok ? 0 : 1);
}

// The first process: stores a small list, says it starts, stores 10,000
// campaigns and ends normally once they are stored.
int runAsIngestChildIfAsked() {
    const char* env = std::getenv(kIngestEnv);
    if (env == nullptr) {
        return 0;
    }
    const std::string home(env);
    std::shared_ptr<DataRegistry> registry;
    auto dao = openOn(home, registry);
    if (!dao) {
        finish(false, "no store");
    }
    dao->insertApiResponse2Table(answer(Value::Array{Value(campaign("small"))}, "small"));
    std::ofstream(startedFile(home)) << "started\n";
    dao->insertApiResponse2Table(answer(bigList(), "big"));
    const std::size_t held = dao->store().getAllCampaignId().size();
    finish(held == static_cast<std::size_t>(kBigList) && registry->waitForPendingWrites(),
           std::to_string(held));
}
const int kIngestChildDone = runAsIngestChildIfAsked();

// The second launch: opens the store, reads it and looks up an event, ends.
int runAsReaderChildIfAsked() {
    const char* env = std::getenv(kReaderEnv);
    if (env == nullptr) {
        return 0;
    }
    std::shared_ptr<DataRegistry> registry;
    auto dao = openOn(env, registry);
    if (!dao) {
        finish(false, "no store");
    }
    const std::size_t held = dao->store().getAllCampaignId().size();
    (void)dao->store().campaignIdsForEvent("custom:buy");
    finish(true, std::to_string(held));
}
const int kReaderChildDone = runAsReaderChildIfAsked();

// Starts the ingest in a child process, runs `beside` once the child says
// its big list is on its way, and checks what a user would: the child
// ended normally with the whole list, and the store is sound and whole.
void ingestBeside(const std::string& home,
                  const std::function<void(const std::atomic<bool>&)>& beside) {
    std::filesystem::remove(startedFile(home));
    std::atomic<bool> ended{false};
    testing::ProgramRun ingest;
    std::thread child([&] {
        ingest = testing::runProgram({"/proc/self/exe"}, std::chrono::minutes(3),
                                     {std::string(kIngestEnv) + "=" + home});
        ended = true;
    });
    const bool started =
        testing::pollUntil([&] { return ended || std::filesystem::exists(startedFile(home)); },
                           std::chrono::minutes(1));
    if (started) {
        beside(ended);
    }
    child.join();
    EXPECT_TRUE(started);
    EXPECT_EQ(ingest.signal, 0) << "the storing process died of signal " << ingest.signal << ": "
                                << ingest.output;
    EXPECT_EQ(ingest.exitCode, 0) << ingest.output;
    EXPECT_NE(ingest.output.find("done " + std::to_string(kBigList)), std::string::npos)
        << ingest.output;

    int rc = 0;
    auto db = platform::sqlite::Connection::open(storePath(), SQLITE_OPEN_READONLY, rc);
    ASSERT_TRUE(db) << rc;
    db->setBusyTimeout(5000);
    auto check = db->prepare("PRAGMA integrity_check");
    ASSERT_EQ(check.step(), SQLITE_ROW);
    EXPECT_EQ(check.columnText(0), "ok");
    auto ids = db->prepare("SELECT CampaignId FROM InAppMessage ORDER BY CampaignId");
    std::vector<std::string> held;
    while (ids.step() == SQLITE_ROW) {
        held.push_back(ids.columnText(0));
    }
    std::vector<std::string> expected;
    for (int i = 0; i < kBigList; ++i) {
        expected.push_back("big-" + std::to_string(i));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(held, expected) << held.size() << " campaigns";
}

TEST(InAppMessageSecondProcess, ASecondLaunchBesideALargeIngestHarmsNeither) {
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        testing::FreshSdk sdk;
        ingestBeside(sdk.home(), [&](const std::atomic<bool>&) {
            // The second launch comes at a different point of the ingest
            // each run: this pause places it, nothing waits on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(run * 150));
            const auto second = testing::runProgram({"/proc/self/exe"}, std::chrono::minutes(2),
                                                    {std::string(kReaderEnv) + "=" + sdk.home()});
            EXPECT_EQ(second.exitCode, 0) << second.output;
        });
    }
}

TEST(InAppMessageSecondProcess, TheSqliteShellReadingBesideALargeIngestHarmsNothing) {
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        testing::FreshSdk sdk;
        int reads = 0;
        ingestBeside(sdk.home(), [&](const std::atomic<bool>& ended) {
            // A person looking at the store every quarter second.
            while (!ended) {
                const auto shell =
                    testing::runProgram({"sqlite3", "-cmd", ".timeout 5000", storePath(),
                                         "select count(*) from InAppMessage"},
                                        std::chrono::seconds(30));
                ASSERT_TRUE(shell.ended) << shell.output;
                ASSERT_NE(shell.output.find_first_of("0123456789"), std::string::npos)
                    << "is the sqlite3 shell installed? " << shell.output;
                ++reads;
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
            }
        });
        EXPECT_GE(reads, 1);
    }
}

}  // namespace
}  // namespace sorvel::iamtest
