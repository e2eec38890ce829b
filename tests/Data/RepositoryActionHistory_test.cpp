#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "ActionHistory/ActionHistoryDAO.h"
#include "ActionHistory/ActionHistorySqliteStore.h"
#include "Common/Extensions.h"
#include "Data/RepositoryFixture.h"
#include "Network/ApiConnectionManager.h"
#include "sorvel/ActionHistoryModel.h"
#include "support/HistorySupport.h"

namespace sorvel::repotest {
namespace {

using testing::HistoryAnswers;
using testing::historyIds;
using testing::parseMap;
using tools::Endpoint;

using Answers = HistoryAnswers;

std::optional<ActionHistoryError> errorOf(const ActionHistoryResult& r) {
    return r.getError() ? r.getError()->actionHistoryError() : std::nullopt;
}

std::string entryJson(const std::string& id, std::int64_t ts,
                      const std::string& type = "KAKAOTALK") {
    return R"({"id":")" + id + R"(","type":")" + type + R"(","timestamp":)" + std::to_string(ts) +
           R"(,"contents":{"title":"t-)" + id +
           R"("},"campaign_id":"C","campaign_revision_no":1,"step_id":"S","cycle_time":"Y"})";
}

// A store whose clears fail, for the failure answers.
class FailingClears : public ActionHistorySqliteStore {
  public:
    using ActionHistorySqliteStore::ActionHistorySqliteStore;
    bool clearSyncedActionHistoryInLocalDB() override { return false; }
    bool deleteActionHistory(const std::string&, std::int64_t) override { return false; }
};

const std::vector<std::string> kTypes{"PUSH_IOS", "KAKAOTALK"};

class RepositoryActionHistoryTest : public RepositoryFixture {
  protected:
    void SetUp() override {
        RepositoryFixture::SetUp();
        auto dao = ActionHistoryDAO::open(registry);
        ASSERT_TRUE(dao);
        history = makeRepository(dao.value());
    }
    void TearDown() override {
        ApiConnectionManager::setDisableSdkHook(nullptr);
        RepositoryFixture::TearDown();
    }
    std::shared_ptr<Repository> makeRepository(std::shared_ptr<ActionHistoryDAO> dao) {
        return std::make_shared<Repository>(
            userProperties, registry, buffer, EventSamplingFilter::create(registry), realtime,
            std::make_shared<DeviceStaticDataProvider>(registry), std::move(dao));
    }
    // Runs a read through the repository and returns its result.
    ActionHistoryResult readAll(const std::shared_ptr<Repository>& repo,
                                const std::vector<std::string>& types = kTypes) {
        Answers a;
        repo->getAllActionHistory(types, a.completion());
        return a.await();
    }
    std::shared_ptr<Repository> history;
};

TEST_F(RepositoryActionHistoryTest, FetchSendsTheQueryStoresTheListAndPrunesOldPushes) {
    ASSERT_TRUE(repository->saveUserProperty({{"svl:user_id", Value("user-7")}}));
    // A push stored before the fetch, older than the newest server entry.
    history->insertPushData(parseMap(R"({"aps":{"custom_alert":{},"alert":{"title":"p"},
        "notification_id":1,"svl:gf:campaign_id":"C","svl:gf:campaign_revision_no":1,
        "svl:gf:step_id":"S","svl:gf:cycle_time":"Y"}})"));
    const std::int64_t now = ext::toMillis(platform::clock().wallNow());
    std::string list = R"({"minutes_to_refresh":15,"histories":[)" + entryJson("s1", now + 10) +
                       "," + entryJson("s2", now + 20, "PUSH_IOS") +
                       R"(,{"id":"nokey","type":"KAKAOTALK","contents":{}}]})";
    server.script(Endpoint::HISTORY_LIST, nettest::answer(200, list));

    Answers a;
    history->fetchActionHistoryFromServer(std::string("Bearer-less token"),
                                          ActionHistoryIdType::USER_ID, kTypes, a.completion());
    const auto result = a.await();
    EXPECT_TRUE(result.isSucceeded());
    EXPECT_EQ(historyIds(result), (std::vector<std::string>{"s1", "s2"}));
    for (const auto& e : *result.getData()) {
        EXPECT_FALSE(e->isServerSynced);  // as handed to the app
    }
    EXPECT_EQ(a.labels[0], "FvnActionHistoryDispatchQueue");

    const auto sent = server.requests(Endpoint::HISTORY_LIST);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header("authorization"), "Bearer-less token");
    EXPECT_EQ(sent[0].signature, "valid");
    const Value::Map body = parseMap(sent[0].decodedBody);
    EXPECT_TRUE(body.count("common"));
    const Value::Map condition = mapAt(body, "condition");
    EXPECT_EQ(condition.at("action_type"),
              Value(Value::Array{Value("PUSH_IOS"), Value("KAKAOTALK")}));
    EXPECT_EQ(condition.at("skip"), Value(std::int64_t{0}));
    EXPECT_EQ(condition.at("limit"), Value(std::int64_t{0}));
    EXPECT_EQ(condition.at("from_timestamp"), Value(std::int64_t{0}));
    EXPECT_EQ(condition.at("to_timestamp"), Value(std::int64_t{0}));
    EXPECT_EQ(condition.at("ascending"), Value(true));
    EXPECT_EQ(text(condition, "user_id"), "user-7");
    EXPECT_EQ(registry->getInt(DataRegistryKey::STRING_ACTION_HISTORY_MINUTES_TO_REFRESH, 0), 15);

    // Stored as synced rows; the older local push is gone after the fetch.
    const auto stored = readAll(history);
    EXPECT_EQ(historyIds(stored), (std::vector<std::string>{"s1", "s2"}));
    for (const auto& e : *stored.getData()) {
        EXPECT_TRUE(e->isServerSynced);
    }
    EXPECT_FALSE(logged("Bearer-less token"));  // the token is never logged
}

TEST_F(RepositoryActionHistoryTest, FetchFailuresAnswerOnceAndStillPrune) {
    Answers nilId;  // by user id without a user id: at once, no request
    history->fetchActionHistoryFromServer(std::nullopt, ActionHistoryIdType::USER_ID, kTypes,
                                          nilId.completion());
    EXPECT_EQ(nilId.count(), 1u);
    EXPECT_EQ(errorOf(nilId.await()), ActionHistoryError::NilIdError);

    const std::vector<std::pair<tools::ScriptedAnswer, std::string>> cases{
        {nettest::answer(200, R"({"minutes_to_refresh":5})"), "JsonError"},
        {nettest::answer(200, "not json"), "JsonError"},
        {nettest::answer(200, R"({"histories":"x"})"), "JsonError"},
        {nettest::answer(200, R"({"histories":[1,2]})"), "JsonError"},
        {nettest::answer(500, "{}"), "ApiConnectionError"},
    };
    for (const auto& [answer, domain] : cases) {
        server.script(Endpoint::HISTORY_LIST, answer);
        Answers a;
        history->fetchActionHistoryFromServer(std::nullopt, ActionHistoryIdType::ADID, kTypes,
                                              a.completion());
        const auto r = a.await();
        EXPECT_FALSE(r.isSucceeded()) << answer.body;
        ASSERT_TRUE(r.getError());
        EXPECT_EQ(r.getError()->domain(), domain) << answer.body;
        EXPECT_FALSE(r.getData());
    }
    EXPECT_EQ(registry->getInt(DataRegistryKey::STRING_ACTION_HISTORY_MINUTES_TO_REFRESH, -1), -1);
    EXPECT_TRUE(
        logged("fetchActionHistoryFromServer(token:idType:actionType:completion:) :: error "
               "while parsing jsonString"));
    EXPECT_TRUE(logged("deleteOutDatedPushData(lastTimeStamp:) :: deleteOutDatedPushData"));
    // By device: the condition's id is empty and no Authorization header goes.
    const auto sent = server.requests(Endpoint::HISTORY_LIST);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(text(mapAt(parseMap(sent.back().decodedBody), "condition"), "user_id"), "");
    EXPECT_FALSE(sent.back().hasHeader("authorization"));
    EXPECT_EQ(server.requests(Endpoint::HISTORY_LIST).size(), cases.size());  // no retry
}

TEST_F(RepositoryActionHistoryTest, ALongAnswerIsStoredWholeAndOneThatEndsBadlyStoresNothing) {
    // Several chunks of rows, an entry the store cannot take among them, and
    // the refresh interval after the list.
    const std::size_t n = 3 * ActionHistoryDAO::CHUNK_ROWS + 7;
    auto listOf = [&](const std::string& prefix, const std::string& last, int minutes) {
        std::string list = R"({"histories":[)";
        std::vector<std::string> ids;
        for (std::size_t i = 0; i < n; ++i) {
            ids.push_back(prefix + std::to_string(i));
            list += entryJson(ids.back(), static_cast<std::int64_t>(1000 + i)) + ",";
            if (i == n / 2) {
                ids.push_back(prefix + "-nocampaign");
                list += R"({"id":")" + ids.back() +
                        R"(","type":"KAKAOTALK","timestamp":5,"contents":{}},)";
            }
        }
        return std::make_pair(
            ids, list + last + R"(],"minutes_to_refresh":)" + std::to_string(minutes) + "}");
    };
    auto [ids, list] = listOf("e", entryJson("e-last", 1), 9);
    ids.push_back("e-last");
    server.script(Endpoint::HISTORY_LIST, nettest::answer(200, list));
    Answers a;
    history->fetchActionHistoryFromServer(std::nullopt, ActionHistoryIdType::ADID, kTypes,
                                          a.completion());
    const auto fetched = a.await();
    ASSERT_TRUE(fetched.isSucceeded());
    std::vector<std::string> handedOver;
    for (const auto& e : *fetched.getData()) {
        handedOver.push_back(e->historyId);
    }
    EXPECT_EQ(handedOver, ids);  // the app gets every entry, in list order
    EXPECT_EQ(registry->getInt(DataRegistryKey::STRING_ACTION_HISTORY_MINUTES_TO_REFRESH, 0), 9);
    std::vector<std::string> stored = historyIds(readAll(history));
    std::sort(stored.begin(), stored.end());
    ids.erase(std::find(ids.begin(), ids.end(), "e-nocampaign"));
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(stored, ids);  // the store, every complete one
    EXPECT_TRUE(logged("some value in historyJson is nil"));

    // The same length of list whose very last element is no entry: refused
    // whole, nothing of it stored, its refresh interval not taken.
    auto [badIds, bad] = listOf("f", R"("not an entry")", 1);
    server.script(Endpoint::HISTORY_LIST, nettest::answer(200, bad));
    Answers b;
    history->fetchActionHistoryFromServer(std::nullopt, ActionHistoryIdType::ADID, kTypes,
                                          b.completion());
    const auto refused = b.await();
    EXPECT_FALSE(refused.isSucceeded());
    ASSERT_TRUE(refused.getError());
    EXPECT_EQ(refused.getError()->domain(), "JsonError");
    std::vector<std::string> after = historyIds(readAll(history));
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, ids);
    EXPECT_EQ(registry->getInt(DataRegistryKey::STRING_ACTION_HISTORY_MINUTES_TO_REFRESH, 0), 9);
}

TEST_F(RepositoryActionHistoryTest, A400DisablesTheSdkAndStillAnswers) {
    std::atomic<int> disabled{0};
    ApiConnectionManager::setDisableSdkHook([&](const std::string& reason) {
        EXPECT_EQ(reason, "SorvelAllStop");
        ++disabled;
    });
    server.script(Endpoint::HISTORY_LIST, nettest::answer(400));
    server.script(Endpoint::HISTORY_DELETE_DEVICE, nettest::answer(400));
    Answers a;
    history->fetchActionHistoryFromServer(std::nullopt, ActionHistoryIdType::ADID, kTypes,
                                          a.completion());
    history->deleteAllActionHistory(std::nullopt, ActionHistoryIdType::ADID, a.completion());
    for (std::size_t n : {1u, 2u}) {
        const auto r = a.await(n);
        ASSERT_TRUE(r.getError());
        EXPECT_EQ(r.getError()->domain(), "ApiConnectionError");
        EXPECT_EQ(r.getError()->localizedDescription(),
                  "ApiConnectionError :: SDK Received fail responseCode");
    }
    EXPECT_EQ(disabled.load(), 2);
}

TEST_F(RepositoryActionHistoryTest, DeletionsGoLocalFirstThenToTheirPaths) {
    server.history().addEntry("user/1 ?#", entryJson("h/1", -5));
    server.history().addEntry("user/1 ?#", entryJson("h2", 6));
    ASSERT_TRUE(repository->saveUserProperty({{"svl:user_id", Value("user/1 ?#")}}));
    Answers f;
    history->fetchActionHistoryFromServer(std::string("tok"), ActionHistoryIdType::USER_ID, kTypes,
                                          f.completion());
    ASSERT_TRUE(f.await().isSucceeded());
    ASSERT_EQ(historyIds(readAll(history)).size(), 2u);

    // One entry: deleted here, then at /{appkey}/user/{id}/{history}/{ts},
    // the user id preferred over the stored device id.
    Answers one;
    history->deleteActionHistory(std::string("tok"), "h/1", -5, one.completion());
    EXPECT_TRUE(one.await().isSucceeded());
    auto dels = server.requests(Endpoint::HISTORY_DELETE_USER);
    ASSERT_EQ(dels.size(), 1u);
    EXPECT_EQ(dels[0].method, "DELETE");
    EXPECT_TRUE(dels[0].target.ends_with(std::string("/api/v6/actionhistory/") + nettest::kAppKey +
                                         "/user/user%2F1%20%3F%23/h%2F1/-5"))
        << dels[0].target;
    EXPECT_EQ(parseMap(dels[0].decodedBody).size(), 1u);  // only "common"
    EXPECT_EQ(server.history().entries("user/1 ?#").size(), 1u);
    EXPECT_EQ(historyIds(readAll(history)), (std::vector<std::string>{"h2"}));

    // All: synced rows cleared here (pushes stay), then the whole path.
    history->insertPushData(parseMap(R"({"aps":{"custom_alert":{},"alert":{},"notification_id":9,
        "svl:gf:campaign_id":"C","svl:gf:campaign_revision_no":1,"svl:gf:step_id":"S",
        "svl:gf:cycle_time":"Y"}})"));
    Answers all;
    history->deleteAllActionHistory(std::nullopt, ActionHistoryIdType::USER_ID, all.completion());
    EXPECT_TRUE(all.await().isSucceeded());
    dels = server.requests(Endpoint::HISTORY_DELETE_USER);
    ASSERT_EQ(dels.size(), 2u);
    EXPECT_TRUE(dels[1].target.ends_with("/user/user%2F1%20%3F%23")) << dels[1].target;
    EXPECT_TRUE(server.history().entries("user/1 ?#").empty());
    EXPECT_EQ(historyIds(readAll(history)), (std::vector<std::string>{"PUSH_IOS::9"}));

    // By device: the stored device id's path.
    Answers dev;
    history->deleteAllActionHistory(std::nullopt, ActionHistoryIdType::ADID, dev.completion());
    EXPECT_TRUE(dev.await().isSucceeded());
    const auto devs = server.requests(Endpoint::HISTORY_DELETE_DEVICE);
    ASSERT_EQ(devs.size(), 1u);
    const std::string adid = registry->getString(DataRegistryKey::STRING_ADID, "");
    ASSERT_FALSE(adid.empty());
    EXPECT_TRUE(devs[0].target.ends_with("/device/" + adid)) << devs[0].target;
}

TEST_F(RepositoryActionHistoryTest, DeletionFailuresAnswerWithTheirErrors) {
    // Delete all by device without a device id: the local clear has run.
    registry->putString(std::nullopt, DataRegistryKey::STRING_ADID);
    Answers a;
    history->deleteAllActionHistory(std::nullopt, ActionHistoryIdType::ADID, a.completion());
    EXPECT_EQ(errorOf(a.await()), ActionHistoryError::NilIdError);
    // Delete one with neither id.
    history->deleteActionHistory(std::nullopt, "x", 1, a.completion());
    EXPECT_EQ(errorOf(a.await(2)), ActionHistoryError::NilIdError);
    // No app key: tested before the id.
    registry->putString(std::nullopt, DataRegistryKey::STRING_APPKEY);
    history->deleteActionHistory(std::nullopt, "x", 1, a.completion());
    const auto noKey = a.await(3);
    ASSERT_TRUE(noKey.getError());
    EXPECT_EQ(noKey.getError()->localizedDescription(),
              "ApiConnectionError :: No appKey in dataRegistry");
    EXPECT_TRUE(logged("deleteActionHistory(token:historyId:timeStamp:completion:) :: No AppKey"));
    EXPECT_EQ(server.requests(Endpoint::HISTORY_DELETE_DEVICE).size() +
                  server.requests(Endpoint::HISTORY_DELETE_USER).size(),
              0u);

    // The local step fails: delete all says OpenDatabaseError, one entry
    // DeleteLocalDBFailError, clear synced DeleteLocalDBFailError.
    auto failingStore = ActionHistorySqliteStore::open<FailingClears>();
    ASSERT_TRUE(failingStore);
    auto failing =
        makeRepository(std::make_shared<ActionHistoryDAO>(registry, failingStore.value()));
    Answers b;
    failing->deleteAllActionHistory(std::nullopt, ActionHistoryIdType::ADID, b.completion());
    failing->deleteActionHistory(std::nullopt, "x", 1, b.completion());
    failing->clearSyncedActionHistoryInLocalDB(b.completion());
    EXPECT_EQ(errorOf(b.await(1)), ActionHistoryError::OpenDatabaseError);
    EXPECT_EQ(errorOf(b.await(2)), ActionHistoryError::DeleteLocalDBFailError);
    EXPECT_EQ(errorOf(b.await(3)), ActionHistoryError::DeleteLocalDBFailError);
}

TEST_F(RepositoryActionHistoryTest, LocalReadsAndClearsAnswerOnTheHistoryQueue) {
    for (int i = 0; i < 5; ++i) {
        server.history().addEntry("", entryJson("e" + std::to_string(i), 100 + i));
    }
    Answers f;
    history->fetchActionHistoryFromServer(std::nullopt, ActionHistoryIdType::ADID, kTypes,
                                          f.completion());
    ASSERT_TRUE(f.await().isSucceeded());
    Answers a;
    history->getActionHistory(1, 2, kTypes, a.completion());
    history->getActionHistory(-3, -3, kTypes, a.completion());
    history->getAllActionHistory({"TEXT_MESSAGE"}, a.completion());
    history->clearSyncedActionHistoryInLocalDB(a.completion());
    history->getAllActionHistory(kTypes, a.completion());
    const auto page = a.await(1);
    ASSERT_TRUE(page.getData());
    ASSERT_EQ(page.getData()->size(), 2u);
    EXPECT_EQ(page.getData()->at(0)->historyId, "e3");
    EXPECT_EQ(page.getData()->at(1)->historyId, "e2");
    EXPECT_TRUE(a.await(2).getData()->empty());
    EXPECT_TRUE(a.await(3).getData()->empty());
    EXPECT_TRUE(a.await(4).isSucceeded());
    EXPECT_FALSE(a.await(4).getData());
    EXPECT_TRUE(a.await(5).getData()->empty());
    for (const auto& label : a.labels) {
        EXPECT_EQ(label, "FvnActionHistoryDispatchQueue");
    }
    history->clearAllActionHistoryInLocalDB();
    EXPECT_TRUE(testing::waitUntil(
        [&] { return log.contains("clearAllActionHistoryInLocalDB() :: success"); }));
}

TEST_F(RepositoryActionHistoryTest, DeleteDropsTheTableAndRestartBringsItBack) {
    history->insertPushData(parseMap(R"({"aps":{"custom_alert":{},"alert":{},"notification_id":3,
        "svl:gf:campaign_id":"C","svl:gf:campaign_revision_no":1,"svl:gf:step_id":"S",
        "svl:gf:cycle_time":"Y"}})"));
    ASSERT_EQ(historyIds(readAll(history)), (std::vector<std::string>{"PUSH_IOS::3"}));
    history->onDeleteComplete(true);
    const auto dropped = readAll(history);
    EXPECT_FALSE(dropped.isSucceeded());
    EXPECT_EQ(errorOf(dropped), ActionHistoryError::SqliteQueryError);
    EXPECT_TRUE(logged("Delete ActionHistoryTable Success"));
    history->onRestartComplete(true);
    const auto back = readAll(history);
    EXPECT_TRUE(back.isSucceeded());
    EXPECT_TRUE(back.getData()->empty());
}

}  // namespace
}  // namespace sorvel::repotest
