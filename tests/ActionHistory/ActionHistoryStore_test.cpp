#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "ActionHistory/ActionHistoryDAO.h"
#include "ActionHistory/ActionHistorySqliteStore.h"
#include "Common/Extensions.h"
#include "Common/SvlLog.h"
#include "Platform/FileSystem.h"
#include "Platform/Host.h"
#include "support/CommonSupport.h"
#include "support/HistorySupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using testing::parseMap;

// A push payload as the OS hands it over, with its alert under "custom_alert".
Value::Map pushPayload(std::int64_t notificationId, const std::string& title = "Hello") {
    return parseMap(R"({"aps": {"alert": {"title": "fallback"},
        "custom_alert": {"KO": {"title": ")" +
                    title + R"(", "body": "B", "img": "http://i",
                                "deep_link_json": "{\"screen\":\"home\"}",
                                "deep_link_url": "app://x"}},
        "notification_id": )" +
                    std::to_string(notificationId) + R"(,
        "svl:gf:campaign_id": "C1", "svl:gf:campaign_revision_no": 3,
        "svl:gf:step_id": "S1", "svl:gf:cycle_time": "CT"}})");
}

Value serverEntry(const std::string& id, std::int64_t ts, const std::string& type = "KAKAOTALK") {
    return Value(parseMap(R"({"id": ")" + id + R"(", "type": ")" + type + R"(", "timestamp": )" +
                          std::to_string(ts) + R"(, "contents": {"title": "t-)" + id +
                          R"("}, "campaign_id": "C",
                       "campaign_revision_no": 1, "step_id": "S", "cycle_time": "Y",
                       "action_group": "G"})"));
}

const std::vector<std::string> kAllTypes{"PUSH_ANDROID", "PUSH_IOS", "KAKAOTALK", "TEXT_MESSAGE"};

std::shared_ptr<ActionHistorySqliteStore> openStore() {
    auto store = ActionHistorySqliteStore::open();
    EXPECT_TRUE(store);
    return store ? store.value() : nullptr;
}

std::shared_ptr<ActionHistoryDAO> openDao() {
    auto dao = ActionHistoryDAO::open(nullptr);
    EXPECT_TRUE(dao);
    return dao ? dao.value() : nullptr;
}

// What a read found; a failed read fails the test and gives nothing.
template <class T>
T found(StatusOr<T, ActionHistoryError> read) {
    EXPECT_TRUE(read) << (read ? "" : describe(read.error()));
    return read ? std::move(read).value() : T{};
}

class ActionHistoryStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
        SvlLog::initQaMode(nullptr);
        platform::host::setPreferredLanguages(std::vector<std::string>{"ko-KR"});
    }
    bool logged(std::string_view needle) { return log.contains(needle); }
    std::string dbPath() const { return platform::documentsFolder() + "/FvnActionHistory.sqlite"; }

    testing::FreshSdk sdk{true};
    testing::LogCapture log;
};

TEST_F(ActionHistoryStoreTest, StoreCreatesItsTableAndReadsBackByTypeAndPage) {
    auto store = openStore();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->path(), dbPath());
    EXPECT_EQ(testing::modeOf(dbPath()), 0600);
    EXPECT_TRUE(logged("Successfully opened connection to ActionHistory database at " + dbPath()));

    for (int i = 0; i < 10; ++i) {
        store->insert("id" + std::to_string(i), i % 2 ? "PUSH_IOS" : "KAKAOTALK", 100 + i, "s", "c",
                      "{}", 7, "camp", "grp", i % 2 == 0, false);
    }
    EXPECT_TRUE(logged("Insert to ActionHistoryTable Success, historyId : id9"));
    EXPECT_EQ(found(store->getAllActionHistory(kAllTypes)).size(), 10u);
    EXPECT_EQ(found(store->getAllActionHistory({"PUSH_IOS"})).size(), 5u);
    EXPECT_TRUE(found(store->getAllActionHistory({})).empty());

    auto page = found(store->getActionHistory(1, 3, kAllTypes));
    ASSERT_EQ(page.size(), 3u);  // newest first, after skipping the newest
    EXPECT_EQ(page[0].historyId, "id8");
    EXPECT_EQ(page[2].historyId, "id6");
    EXPECT_EQ(page[0].group, "grp");
    EXPECT_TRUE(page[0].isServerSynced);
    EXPECT_FALSE(page[1].isServerSynced);
    EXPECT_EQ(page[0].timeStamp, 108);

    // Negative skip reads from the start; a negative limit gives nothing;
    // a huge skip or limit is just large.
    EXPECT_EQ(found(store->getActionHistory(-5, 2, kAllTypes)).front().historyId, "id9");
    EXPECT_TRUE(found(store->getActionHistory(0, -1, kAllTypes)).empty());
    EXPECT_TRUE(found(store->getActionHistory(INT64_MAX, 10, kAllTypes)).empty());
    EXPECT_EQ(found(store->getActionHistory(0, INT64_MAX, kAllTypes)).size(), 10u);

    // An insert with an existing id replaces its row.
    store->insert("id0", "KAKAOTALK", 500, "s", "c", "{\"x\":1}", 7, "camp", "", true, false);
    auto all = found(store->getAllActionHistory({"KAKAOTALK"}));
    EXPECT_EQ(all.size(), 5u);
    EXPECT_EQ(found(store->getActionHistory(0, 1, kAllTypes)).front().content, "{\"x\":1}");
    EXPECT_EQ(found(store->getLastServerTimeStamp()), 500);
}

TEST_F(ActionHistoryStoreTest, DeletesMatchOnlyTheirRowsAndValuesNeverBecomeSql) {
    auto store = openStore();
    ASSERT_TRUE(store);
    EXPECT_EQ(found(store->getLastServerTimeStamp()), 0);  // no synced row
    const std::string nasty = "x' OR '1'='1";
    store->insert(nasty, "KAKAOTALK", 10, "s", "c", "{}", 1, "c", "", true, false);
    store->insert("keep", "KAKAOTALK", 10, "s", "c", "{}", 1, "c", "", true, false);
    store->insert("local", "PUSH_IOS", 5, "s", "c", "{}", 1, "c", "", false, false);
    store->insert("recent", "PUSH_IOS", 20, "s", "c", "{}", 1, "c", "", false, false);

    // The time must match too, and only synced rows go.
    EXPECT_TRUE(store->deleteActionHistory(nasty, 11));
    EXPECT_TRUE(store->deleteActionHistory("local", 5));
    EXPECT_EQ(found(store->getAllActionHistory(kAllTypes)).size(), 4u);
    EXPECT_TRUE(store->deleteActionHistory(nasty, 10));
    EXPECT_TRUE(logged("deleteActionHistory:: Delete data success, historyId = " + nasty));
    EXPECT_EQ(found(store->getAllActionHistory(kAllTypes)).size(), 3u);

    // A NUL byte inside a value neither ends the statement nor matches less.
    const std::string withNul("n\0ul\xff'", 6);
    store->insert(withNul, withNul, 10, "s", "c", "{}", 1, "c", "", true, false);
    ASSERT_EQ(found(store->getAllActionHistory({withNul})).size(), 1u);
    EXPECT_EQ(found(store->getAllActionHistory({withNul}))[0].historyId, withNul);
    EXPECT_TRUE(store->deleteActionHistory(withNul, 10));
    EXPECT_TRUE(found(store->getAllActionHistory({withNul})).empty());

    // Type texts holding quotes or SQL select nothing and break nothing.
    EXPECT_TRUE(
        found(store->getAllActionHistory({"KAKAOTALK' OR '1'='1", "\"KAKAOTALK\""})).empty());
    EXPECT_TRUE(found(store->getAllActionHistory({"HistoryId"})).empty());  // not a column name

    store->deleteOutDatedPushData(10);  // device-only rows before 10
    auto left = found(store->getAllActionHistory(kAllTypes));
    ASSERT_EQ(left.size(), 2u);
    EXPECT_TRUE(store->clearSyncedActionHistoryInLocalDB());
    left = found(store->getAllActionHistory(kAllTypes));
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].historyId, "recent");
    EXPECT_TRUE(store->clearAllActionHistoryInLocalDB());
    EXPECT_TRUE(found(store->getAllActionHistory(kAllTypes)).empty());

    store->dropTable();
    EXPECT_TRUE(logged("Delete ActionHistoryTable Success"));
    EXPECT_EQ(store->getAllActionHistory(kAllTypes).error(), ActionHistoryError::SqliteQueryError);
    EXPECT_TRUE(logged("getAllActionHistory :: can not prepare query string : SELECT\nHistoryId"));
    EXPECT_EQ(store->getLastServerTimeStamp().error(), ActionHistoryError::SqliteQueryError);
    EXPECT_TRUE(logged(", prepareResult : 1"));
    EXPECT_FALSE(store->clearAllActionHistoryInLocalDB());
    EXPECT_FALSE(store->deleteActionHistory("a", 1));
    store->insert("a", "PUSH_IOS", 1, "", "", "", 0, "", "", false, false);
    EXPECT_TRUE(logged("Insert to ActionHistoryTable not prepared, historyId : a"));
    store->createTable();
    EXPECT_TRUE(found(store->getAllActionHistory(kAllTypes)).empty());
}

TEST_F(ActionHistoryStoreTest, UnopenableDatabaseIsRefusedWithItsLine) {
    // Documents is a file: nothing can be opened below it.
    const std::string documents = platform::homeFolder() + "/Documents";
    (void)rmdir(documents.c_str());
    std::ofstream(documents) << "not a folder";
    const auto dao = ActionHistoryDAO::open(nullptr);
    ASSERT_FALSE(dao);
    EXPECT_EQ(dao.error(), ActionHistoryError::OpenDatabaseError);
    EXPECT_TRUE(logged("Unable to open ActionHistory Database"));
}

TEST_F(ActionHistoryStoreTest, WhatIsNoDatabaseIsMovedAsideForAnEmptyStore) {
    auto aside = [] {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(platform::documentsFolder())) {
            n += e.path().filename().string().find(".corrupt-") != std::string::npos;
        }
        return n;
    };
    auto opensAndWorks = [&](const char* what) {
        auto store = openStore();
        ASSERT_TRUE(store);
        store->insert("a", "PUSH_IOS", 1, "", "", "{}", 0, "", "", false, false);
        EXPECT_EQ(found(store->getAllActionHistory(kAllTypes)).size(), 1u) << what;
        EXPECT_EQ(testing::modeOf(dbPath()), 0600) << what;
    };
    ASSERT_EQ(mkdir(dbPath().c_str(), 0700), 0);  // a folder where the file goes
    opensAndWorks("folder");
    EXPECT_EQ(aside(), 1);
    ASSERT_EQ(unlink(dbPath().c_str()), 0);

    ASSERT_EQ(mkfifo(dbPath().c_str(), 0600), 0);  // never blocks on a FIFO
    EXPECT_TRUE(testing::endsWithin(
        std::chrono::seconds(20), [&] { opensAndWorks("fifo"); },
        [this] { testing::freeFifoReader(dbPath()); }));
    EXPECT_EQ(aside(), 2);
    ASSERT_EQ(unlink(dbPath().c_str()), 0);

    std::ofstream(dbPath()) << std::string(4096, 'g');  // garbage
    opensAndWorks("garbage");
    EXPECT_EQ(aside(), 3);
    ASSERT_EQ(unlink(dbPath().c_str()), 0);

    std::ofstream{dbPath()};  // an empty file is an empty database
    opensAndWorks("empty");
    EXPECT_EQ(aside(), 3);
}

TEST_F(ActionHistoryStoreTest, ServerListRowsAndPushRows) {
    auto dao = openDao();
    ASSERT_TRUE(dao);
    Value::Array list{serverEntry("a", 100), serverEntry("b", 200), serverEntry("c", 300)};
    list[1].getMap()->erase("step_id");
    (*list[2].getMap()).erase("action_group");
    list.push_back(Value("not an object"));
    Value bad = serverEntry("d", 1);
    (*bad.getMap())["campaign_revision_no"] = Value("1");
    list.push_back(bad);
    dao->insertActionHistory2Table(list);
    EXPECT_TRUE(
        logged("insertActionHistory2Table(historyArr:) : some value in historyJson is nil, "
               "historyJson : {"));
    auto entries = found(dao->getAllActionHistory(kAllTypes));
    ASSERT_EQ(entries.size(), 2u);
    std::map<std::string, std::shared_ptr<const ActionHistory>> byId;
    for (const auto& e : entries) {
        byId[e->historyId] = e;
    }
    ASSERT_TRUE(byId.count("a") && byId.count("c"));
    EXPECT_EQ(byId["a"]->group, "G");
    EXPECT_EQ(byId["c"]->group, "");
    EXPECT_TRUE(byId["a"]->isServerSynced);
    EXPECT_EQ(byId["a"]->content.title, "t-a");

    // A push: its row, its content from the language's alert.
    dao->insertPushData(pushPayload(42));
    auto pushes = found(dao->getAllActionHistory({"PUSH_IOS"}));
    ASSERT_EQ(pushes.size(), 1u);
    const auto& push = *pushes[0];
    EXPECT_EQ(push.historyId, "PUSH_IOS::42");
    EXPECT_EQ(push.content.notificationId, "42");
    EXPECT_EQ(push.content.title, "Hello");
    EXPECT_EQ(push.content.deeplinkJson, (std::map<std::string, std::string>{{"screen", "home"}}));
    EXPECT_EQ(push.content.deeplinkUrl, "app://x");
    EXPECT_FALSE(push.isServerSynced);
    EXPECT_EQ(push.group, "");
    const std::int64_t first = push.timeStamp;
    EXPECT_EQ(first, ext::toMillis(platform::clock().wallNow()));

    // The same push again replaces its row with a newer time.
    sdk.clock()->advance(platform::Millis(1000));
    dao->insertPushData(pushPayload(42, "Again"));
    pushes = found(dao->getAllActionHistory({"PUSH_IOS"}));
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_EQ(pushes[0]->timeStamp, first + 1000);
    EXPECT_EQ(pushes[0]->content.title, "Again");

    // Pushes lacking what a row needs are not stored.
    auto noCustom = pushPayload(1);
    (*noCustom.at("aps").getMap()).erase("custom_alert");
    auto textId = pushPayload(2);
    (*textId.at("aps").getMap())["notification_id"] = Value("2");
    auto stringAlert = pushPayload(3);
    auto& aps3 = *stringAlert.at("aps").getMap();
    aps3["custom_alert"] = Value(Value::Map{});
    aps3["alert"] = Value("plain");
    for (const auto& p : {noCustom, textId, stringAlert, Value::Map{}}) {
        log.clear();
        dao->insertPushData(p);
        EXPECT_TRUE(logged("insertPushData :: no essential Value"));
    }
    // No entry for the language: aps "alert" gives the texts.
    auto fallback = pushPayload(4);
    (*fallback.at("aps").getMap())["custom_alert"] = Value(Value::Map{{"EN", Value(Value::Map{})}});
    dao->insertPushData(fallback);
    pushes = found(dao->getAllActionHistory({"PUSH_IOS"}));
    ASSERT_EQ(pushes.size(), 2u);

    // Prune: with the newest synced row at T, pushes before T go.
    dao->deleteOutDatedPushData(found(dao->getLastServerTimeStamp()));  // 300: nothing older
    EXPECT_EQ(found(dao->getAllActionHistory({"PUSH_IOS"})).size(), 2u);
    sdk.clock()->advance(platform::Millis(500));
    dao->insertPushData(pushPayload(5));  // stored at first + 1500
    dao->insertActionHistory2Table({serverEntry("late", first + 1500)});
    dao->deleteOutDatedPushData(found(dao->getLastServerTimeStamp()));
    pushes = found(dao->getAllActionHistory({"PUSH_IOS"}));
    ASSERT_EQ(pushes.size(), 1u);  // the two at first + 1000 went, the one at T stays
    EXPECT_EQ(pushes[0]->historyId, "PUSH_IOS::5");
}

TEST_F(ActionHistoryStoreTest, OneUnreadableRowIsSkippedNotTheInbox) {
    auto store = openStore();
    ASSERT_TRUE(store);
    auto dao = std::make_shared<ActionHistoryDAO>(nullptr, store);
    dao->insertActionHistory2Table({serverEntry("good", 1)});
    store->insert("bad", "KAKAOTALK", 2, "", "", "not json", 0, "", "", true, false);
    store->insert("big", "KAKAOTALK", 3, "", "", "{\"body\":\"" + std::string(1 << 20, 'b') + "\"}",
                  0, "", "", true, false);
    auto entries = found(dao->getActionHistory(0, 10, kAllTypes));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->historyId, "big");
    EXPECT_EQ(entries[0]->content.body->size(), 1u << 20);
    EXPECT_EQ(entries[1]->historyId, "good");
    EXPECT_TRUE(logged("skipped a row whose content cannot be read, historyId : bad"));
}

TEST_F(ActionHistoryStoreTest, AnInsertThatFindsTheFileLockedIsTriedAgainAndALossIsAnError) {
    namespace sqlite = platform::sqlite;
    // Each attempt waits this long for the lock.
    auto store = ActionHistorySqliteStore::open(300);
    ASSERT_TRUE(store);
    int rc = 0;
    auto other =
        sqlite::Connection::open(dbPath(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, rc);
    ASSERT_TRUE(other) << rc;
    auto insert = [&](const std::string& id) {
        store.value()->insert(id, "PUSH_IOS", 1, "s", "c", "{}", 1, "c", "", false, false);
    };
    auto lines = [&](std::string_view needle) {
        std::size_t n = 0;
        for (const auto& line : log.lines()) {
            n += line.find(needle) != std::string::npos;
        }
        return n;
    };

    // Another connection holds the write lock through the first attempt only.
    ASSERT_EQ(other->execute("BEGIN IMMEDIATE"), sqlite::Outcome::Done);
    std::thread kept([&] { insert("kept"); });
    const bool retried = testing::waitUntil(
        [&] {
            return log.contains(
                "Insert to ActionHistoryTable busy, trying again, historyId : kept");
        },
        std::chrono::seconds(20));
    EXPECT_EQ(other->execute("COMMIT"), sqlite::Outcome::Done);
    kept.join();
    ASSERT_TRUE(retried);
    EXPECT_TRUE(logged("Insert to ActionHistoryTable Success, historyId : kept"));
    EXPECT_FALSE(logged("Insert to ActionHistoryTable fail, historyId : kept"));

    // Held through every attempt: the row is lost, and that is an error.
    ASSERT_EQ(other->execute("BEGIN IMMEDIATE"), sqlite::Outcome::Done);
    std::thread lost([&] { insert("lost"); });
    const bool failed = testing::waitUntil(
        [&] { return log.contains("Insert to ActionHistoryTable fail, historyId : lost"); },
        std::chrono::seconds(30));
    EXPECT_EQ(other->execute("ROLLBACK"), sqlite::Outcome::Done);
    lost.join();
    ASSERT_TRUE(failed);
    EXPECT_TRUE(logged("svlkv [error]: Insert to ActionHistoryTable fail, historyId : lost"));
    EXPECT_EQ(lines("busy, trying again, historyId : lost"),
              static_cast<std::size_t>(ActionHistorySqliteStore::INSERT_ATTEMPTS - 1));

    std::set<std::string> ids;
    for (const auto& row : found(store.value()->getAllActionHistory(kAllTypes))) {
        ids.insert(row.historyId);
    }
    EXPECT_EQ(ids, (std::set<std::string>{"kept"}));
}

// As a shipped app runs (no QA mode, no log delegate): a received push that
// the store could not keep is lost for good, an error on stderr; a server
// entry that failed, which the server still holds, is a QA-only line.
TEST(ShippedActionHistoryStoreTest, OnlyALostPushReachesStderr) {
    testing::FreshSdk sdk{true};
    testing::LogCapture log;
    SvlLog::initQaMode(nullptr);
    ASSERT_FALSE(SvlLog::isQaMode());
    platform::host::setPreferredLanguages(std::vector<std::string>{"ko-KR"});
    auto dao = openDao();
    ASSERT_TRUE(dao);
    dao->insertActionHistory2Table({serverEntry("kept", 100)});
    dao->dropTable();
    testing::DelegateLog delegate;
    dao->insertActionHistory2Table({serverEntry("s1", 200)});
    dao->insertPushData(pushPayload(7));
    EXPECT_EQ(delegate.count("Insert to ActionHistoryTable fail, historyId : s1"), 1);
    EXPECT_EQ(delegate.count("Insert to ActionHistoryTable fail, historyId : PUSH_IOS::7"), 1);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"svlkv [error]: Insert to ActionHistoryTable "
                                                    "fail, historyId : PUSH_IOS::7"});
}

}  // namespace
}  // namespace sorvel
