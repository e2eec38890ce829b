// Two processes on one data folder write the history store: one stores a long
// server list while the other stores pushes as they arrive. The list goes in
// short transactions, so the pushes get in between them, none waits long and
// none is lost; a list cut by a kill leaves a first part of itself, which the
// next store of the list completes.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "ActionHistory/ActionHistoryDAO.h"
#include "ActionHistory/HistoryChildSupport.h"
#include "Platform/FileSystem.h"
#include "Platform/Host.h"
#include "Platform/Sqlite.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

namespace sqlite = platform::sqlite;

constexpr const char* kPusherEnv = "SORVEL_HISTORY_PUSHER_CHILD";
constexpr const char* kListWriterEnv = "SORVEL_HISTORY_LIST_WRITER_CHILD";
constexpr const char* kKilledWriterEnv = "SORVEL_HISTORY_KILLED_WRITER_CHILD";
constexpr std::size_t kListLength = 20000;
constexpr int kChunksBeforeKill = 3;

using historytest::pushPayload;
using historytest::say;

std::string serverId(std::size_t i) {
    return "s" + std::to_string(i);
}

Value::Array serverList(std::size_t n) {
    Value::Array list;
    for (std::size_t i = 0; i < n; ++i) {
        list.push_back(historytest::serverEntry(serverId(i), static_cast<std::int64_t>(1000 + i),
                                                {{"title", Value("entry " + std::to_string(i))},
                                                 {"body", Value("Your order is on its way.")}}));
    }
    return list;
}

std::string readyFile(const std::string& home) {
    return home + "/pusher-ready";
}
std::string stopFile(const std::string& home) {
    return home + "/list-stored";
}

// The pusher: stores pushes 1, 2, ... one by one until the stop file appears,
// then says how many it stored and the longest one took.
int runAsPusherIfAsked() {
    const char* home = std::getenv(kPusherEnv);
    if (home == nullptr) {
        return 0;
    }
    platform::host::setHomeFolder(home);
    auto dao = ActionHistoryDAO::open(nullptr);
    if (!dao) {
        say("failed");
        _exit(1);
    }
    std::int64_t n = 0;
    std::chrono::steady_clock::duration longest{};
    while (access(stopFile(home).c_str(), F_OK) != 0) {
        const auto start = std::chrono::steady_clock::now();
        dao.value()->insertPushData(pushPayload(++n));
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
        if (n == 1) {
            std::ofstream{readyFile(home)};
        }
    }
    say("end " + std::to_string(n) + " " +
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));
    _exit(0);
}
const int kPusherDone = runAsPusherIfAsked();

// "<home>|<n>": stores a server list of n entries, then says "stored".
int runAsListWriterIfAsked() {
    const char* env = std::getenv(kListWriterEnv);
    if (env == nullptr) {
        return 0;
    }
    const std::string arg(env);
    platform::host::setHomeFolder(arg.substr(0, arg.find('|')));
    auto dao = ActionHistoryDAO::open(nullptr);
    if (!dao) {
        say("failed");
        _exit(1);
    }
    dao.value()->insertActionHistory2Table(serverList(std::stoul(arg.substr(arg.find('|') + 1))));
    say("stored");
    _exit(0);
}
const int kListWriterDone = runAsListWriterIfAsked();

// A store whose process is killed right after its chunk number `after` has
// been committed.
class KilledAfterChunks : public ActionHistorySqliteStore {
  public:
    using ActionHistorySqliteStore::ActionHistorySqliteStore;
    void insertRows(const std::vector<ActionHistoryRow>& rows) override {
        ActionHistorySqliteStore::insertRows(rows);
        if (++chunks_ == kChunksBeforeKill) {
            raise(SIGKILL);
        }
    }

  private:
    int chunks_ = 0;
};

// "<home>": stores the list through that store; never gets to say "stored".
int runAsKilledWriterIfAsked() {
    const char* home = std::getenv(kKilledWriterEnv);
    if (home == nullptr) {
        return 0;
    }
    platform::host::setHomeFolder(home);
    auto store = ActionHistorySqliteStore::open<KilledAfterChunks>();
    if (!store) {
        say("failed");
        _exit(1);
    }
    ActionHistoryDAO(nullptr, store.value()).insertActionHistory2Table(serverList(kListLength));
    say("stored");
    _exit(0);
}
const int kKilledWriterDone = runAsKilledWriterIfAsked();

struct Row {
    std::int64_t rowid;
    std::string historyId;
    bool synced;
};

// Every row of the store as a second connection reads it, in write order.
std::vector<Row> rowsOnDisk() {
    int rc = 0;
    auto db = sqlite::Connection::open(
        platform::documentsFolder() + "/" + ActionHistorySqliteStore::DATABASE_NAME,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, rc);
    EXPECT_TRUE(db) << rc;
    std::vector<Row> rows;
    if (!db) {
        return rows;
    }
    sqlite::Statement check = db->prepare("PRAGMA integrity_check");
    EXPECT_EQ(check.step(), SQLITE_ROW);
    EXPECT_EQ(check.columnText(0), "ok");
    sqlite::Statement s =
        db->prepare("SELECT rowid, HistoryId, IsServerSynced FROM ActionHistory ORDER BY rowid");
    while (s.step() == SQLITE_ROW) {
        rows.push_back({s.columnInt64(0), s.columnText(1), s.columnInt(2) == 1});
    }
    return rows;
}

TEST(HistoryTwoWritersTest, PushesStoredWhileAnotherProcessStoresALongListGetInAndStay) {
    (void)kPusherDone;
    (void)kListWriterDone;
    testing::FreshSdk sdk;
    ASSERT_TRUE(ActionHistoryDAO::open(nullptr));  // the file exists before either starts

    std::string pusherSaid;
    std::thread pusher([&] {
        pusherSaid = testing::runSelf({std::string(kPusherEnv) + "=" + sdk.home()}, "end",
                                      std::chrono::seconds(120));
    });
    // Whatever happens below, the pusher is told to stop before it is waited for.
    struct StopPusher {
        std::thread& pusher;
        std::string file;
        ~StopPusher() {
            std::ofstream{file};
            if (pusher.joinable()) {
                pusher.join();
            }
        }
    } stop{pusher, stopFile(sdk.home())};

    ASSERT_TRUE(testing::pollUntil([&] { return std::filesystem::exists(readyFile(sdk.home())); },
                                   std::chrono::seconds(30)));
    const std::string writerSaid = testing::runSelf(
        {std::string(kListWriterEnv) + "=" + sdk.home() + "|" + std::to_string(kListLength)},
        "stored", std::chrono::seconds(120));
    ASSERT_NE(writerSaid.find("stored"), std::string::npos) << writerSaid;
    std::ofstream{stopFile(sdk.home())};
    pusher.join();

    std::istringstream said(pusherSaid.substr(pusherSaid.find("end")));
    std::string word;
    std::int64_t pushes = 0;
    std::int64_t longestMillis = -1;
    said >> word >> pushes >> longestMillis;
    ASSERT_GT(pushes, 0) << pusherSaid;

    const std::vector<Row> rows = rowsOnDisk();
    std::set<std::string> server;
    std::set<std::string> pushIds;
    std::int64_t firstServer = INT64_MAX;
    std::int64_t lastServer = INT64_MIN;
    for (const auto& r : rows) {
        if (r.synced) {
            server.insert(r.historyId);
            firstServer = std::min(firstServer, r.rowid);
            lastServer = std::max(lastServer, r.rowid);
        } else {
            pushIds.insert(r.historyId);
        }
    }
    EXPECT_EQ(server.size(), kListLength);
    EXPECT_EQ(pushIds.size(), static_cast<std::size_t>(pushes));
    for (std::int64_t i = 1; i <= pushes; ++i) {
        ASSERT_TRUE(pushIds.count("PUSH_IOS::" + std::to_string(i))) << "push " << i << " lost";
    }
    // Pushes were written while the list was being written, not after it.
    std::size_t between = 0;
    for (const auto& r : rows) {
        between += !r.synced && r.rowid > firstServer && r.rowid < lastServer;
    }
    EXPECT_GT(between, 0u) << pushes << " pushes, none while the list was written";
    // And none waited anywhere near the busy wait for the list's lock.
    EXPECT_LT(longestMillis, ActionHistorySqliteStore::BUSY_WAIT_MILLIS / 2);
}

TEST(HistoryTwoWritersTest, AListCutByAKillKeepsItsFirstChunksAndTheNextStoreCompletesIt) {
    (void)kKilledWriterDone;
    testing::FreshSdk sdk;
    const std::string said = testing::runSelf({std::string(kKilledWriterEnv) + "=" + sdk.home()},
                                              "stored", std::chrono::seconds(60));
    ASSERT_EQ(said.find("stored"), std::string::npos) << said;
    ASSERT_EQ(said.find("failed"), std::string::npos) << said;

    // What a reader finds: the list's first entries, in list order, each row
    // whole, and nothing of the chunk after the last commit.
    std::vector<std::string> ids;
    for (const auto& r : rowsOnDisk()) {
        ids.push_back(r.historyId);
    }
    ASSERT_EQ(ids.size(), kChunksBeforeKill * ActionHistoryDAO::CHUNK_ROWS);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ASSERT_EQ(ids[i], serverId(i));
    }
    auto dao = ActionHistoryDAO::open(nullptr);
    ASSERT_TRUE(dao);
    auto first = dao.value()->getAllActionHistory({"KAKAOTALK"});
    ASSERT_TRUE(first);
    for (const auto& e : first.value()) {
        EXPECT_EQ(e->content.body, "Your order is on its way.");
    }

    // The next fetch stores the whole list again: every entry once.
    dao.value()->insertActionHistory2Table(serverList(kListLength));
    auto all = dao.value()->getAllActionHistory({"KAKAOTALK"});
    ASSERT_TRUE(all);
    std::set<std::string> stored;
    for (const auto& e : all.value()) {
        stored.insert(e->historyId);
    }
    EXPECT_EQ(all.value().size(), kListLength);
    EXPECT_EQ(stored.size(), kListLength);
    EXPECT_EQ(dao.value()->getLastServerTimeStamp().value(),
              static_cast<std::int64_t>(1000 + kListLength - 1));
}

}  // namespace
}  // namespace sorvel
