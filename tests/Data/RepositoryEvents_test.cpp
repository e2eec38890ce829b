// The repository's event, configuration, GDPR and message-history operations
// against the real registry, the real pipeline and the server double.
#include <gtest/gtest.h>

#include <thread>

#include "Data/Repository/Repository.h"
#include "RepositoryFixture.h"

namespace sorvel::repotest {
namespace {

using tools::Endpoint;
using tools::ScriptedAnswer;

LogEventParameter customEvent(const std::string& name, const std::string& id) {
    auto p = LogEventParameter::initWithEventName("custom", name, {});
    p.eventId = id;
    return p;
}

std::string orderNo(const Value::Map& event, const char* key) {
    auto params = mapAt(event, "param");
    return text(params, key);
}

class RepositoryEventsTest : public RepositoryFixture {};

TEST_F(RepositoryEventsTest, BlockedAndSampledEventsLeaveThePreviousIdAndReachNothing) {
    S3ConfigHandler::shared().applyConfig(R"({"blockedEvents":["custom:blocked"]})");
    registry->putDictionary(
        Value::Map{
            {"type", Value(std::int64_t{0})},
            {"eventProbabilities", Value(Value::Map{{"custom:sampled", Value(std::int64_t{0})}})}},
        DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA);
    buffer->eventCounters()->setPrevId("prev-0");

    repository->logEvent(customEvent("blocked", "b-1"));
    repository->logEvent(customEvent("sampled", "s-1"));
    EXPECT_EQ(prevId(), "prev-0");

    repository->logEvent(customEvent("kept", "k-1"));
    EXPECT_EQ(prevId(), "k-1");
    auto events = storedEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(text(events[0], "event_name"), "kept");
    EXPECT_EQ(text(events[0], "log_id"), "k-1");
    EXPECT_EQ(text(events[0], "prev_id"), "prev-0");

    // An event without an id (an in-app view's) leaves no previous id.
    repository->logEvent(LogEventParameter::initWithEventName("svl", "in_app_message_action", {}));
    buffer->waitUntilIdle();
    EXPECT_EQ(prevId(), "<none>");
}

TEST_F(RepositoryEventsTest, EventsFromManyThreadsFormOneChainInBufferOrder) {
    constexpr int kThreads = 8;
    constexpr int kEach = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) {
                repository->logEvent(
                    customEvent("tap", "t" + std::to_string(t) + "-" + std::to_string(i)));
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    auto events = storedEvents();
    ASSERT_EQ(events.size(), static_cast<std::size_t>(kThreads * kEach));
    // Each event names the one buffered just before it, and the order numbers
    // follow the buffer's order without a gap or a repeat.
    for (std::size_t i = 1; i < events.size(); ++i) {
        ASSERT_EQ(text(events[i], "prev_id"), text(events[i - 1], "log_id")) << "event " << i;
        ASSERT_EQ(orderNo(events[i], "svl:event_order_no"), "long:" + std::to_string(i + 1))
            << "event " << i;
    }
    EXPECT_EQ(prevId(), text(events.back(), "log_id"));
}

TEST_F(RepositoryEventsTest, PagedEventsShareOneIdTimeAndOrderNumbers) {
    std::vector<SorvelKvCommerceProductModel> products(250);
    for (std::size_t i = 0; i < products.size(); ++i) {
        products[i].setModel("p" + std::to_string(i), "product", 10.0, 1, 0.0, std::nullopt,
                             std::nullopt, std::nullopt);
    }
    // Where a previous launch left the counters.
    buffer->eventCounters()->restore({7, 40, std::string("prev-0")});

    repository->logSameEventWithPaging(products, "wishlist_view",
                                       Value::Map{{"svl:source", Value("string:home")}});
    auto events = storedEvents();
    ASSERT_EQ(events.size(), 3u);
    const std::vector<std::size_t> itemCounts{100, 100, 50};
    for (std::size_t i = 0; i < events.size(); ++i) {
        const auto& e = events[i];
        SCOPED_TRACE("page " + std::to_string(i + 1));
        EXPECT_EQ(text(e, "group"), "svl");
        EXPECT_EQ(text(e, "log_id"), text(events[0], "log_id"));
        EXPECT_EQ(text(e, "event_datetime"), text(events[0], "event_datetime"));
        EXPECT_EQ(text(e, "prev_id"), "prev-0");
        EXPECT_EQ(orderNo(e, "svl:session_order_no"), "long:8");
        EXPECT_EQ(orderNo(e, "svl:event_order_no"), "long:41");
        auto params = mapAt(e, "param");
        EXPECT_EQ(text(params, "svl:page"), "long:" + std::to_string(i + 1));
        EXPECT_EQ(text(params, "svl:source"), "string:home");
        const Value* items = field(&e.at("param"), "svl:items");
        ASSERT_TRUE(items && items->isArray());
        EXPECT_EQ(items->getArray()->size(), itemCounts[i]);
        // The pages keep the list's order.
        const Value& first = items->getArray()->front();
        EXPECT_EQ(text(*first.getMap(), "svl:product_id"), "string:p" + std::to_string(i * 100));
    }
    // The save above checkpointed the exact numbers.
    EXPECT_EQ(registry->getUInt64(DataRegistryKey::UINT64_SESSION_ORDER_NO, 0), 8u);
    EXPECT_EQ(registry->getUInt64(DataRegistryKey::UINT64_EVENT_ORDER_NO, 0), 41u);
    EXPECT_EQ(prevId(), text(events[0], "log_id"));

    // No products: one event, page 1, no items.
    repository->logSameEventWithPaging({}, "wishlist_view", {});
    events = storedEvents();
    ASSERT_EQ(events.size(), 4u);
    auto params = mapAt(events[3], "param");
    EXPECT_EQ(text(params, "svl:page"), "long:1");
    EXPECT_EQ(params.count("svl:items"), 0u);
    EXPECT_EQ(text(events[3], "prev_id"), text(events[0], "log_id"));

    // Blocked: nothing logged, nothing counted.
    S3ConfigHandler::shared().applyConfig(R"({"blockedEvents":["svl:wishlist_view"]})");
    const std::string before = prevId();
    repository->logSameEventWithPaging(products, "wishlist_view", {});
    EXPECT_EQ(storedEvents().size(), 4u);
    EXPECT_EQ(prevId(), before);
    EXPECT_EQ(registry->getUInt64(DataRegistryKey::UINT64_EVENT_ORDER_NO, 0), 42u);
}

TEST_F(RepositoryEventsTest, ConfigurationSyncIsSkippedUnderForgetMeAndAllStop) {
    struct Case {
        bool forgetMe;
        bool allStop;
        const char* line;
    };
    for (const Case& c : {Case{true, false, "SORVEL GDOR :: don't synchronize with server"},
                          Case{true, true, "SORVEL GDOR :: don't synchronize with server"},
                          Case{false, true, "SORVEL ALL STOP :: don't synchronize with server"}}) {
        registry->putBool(c.forgetMe, DataRegistryKey::BOOL_GDPR_FORGET_ME);
        registry->putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);
        registry->putBool(c.allStop, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);
        log.clear();
        repository->syncApplicationConfigure();
        EXPECT_TRUE(logged(c.line)) << c.line;
        EXPECT_TRUE(server.requests(Endpoint::CONFIG).empty());
    }
    registry->putBool(false, DataRegistryKey::BOOL_GDPR_FORGET_ME);
    registry->putBool(false, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);

    // Fetched and applied.
    server.setConfigText(R"({"blockedEvents":["custom:x"],"maxPropertySize":7})");
    repository->syncApplicationConfigure();
    ASSERT_EQ(server.requests(Endpoint::CONFIG).size(), 1u);
    EXPECT_EQ(server.requests(Endpoint::CONFIG)[0].appKey, nettest::kAppKey);
    EXPECT_EQ(S3ConfigHandler::shared().blockedEvents(), std::vector<std::string>{"custom:x"});
    EXPECT_EQ(S3ConfigHandler::shared().configPropertyMaxSize(), 7);

    // A failure and an empty answer leave the configuration in force.
    server.script(Endpoint::CONFIG, ScriptedAnswer{500, "{}"});
    server.script(Endpoint::CONFIG, ScriptedAnswer{200, ""});
    repository->syncApplicationConfigure();
    repository->syncApplicationConfigure();
    EXPECT_EQ(server.requests(Endpoint::CONFIG).size(), 3u);
    EXPECT_TRUE(
        logged("AppSyncConfig Failed : Can not get S3 config.json file....  "
               "responseCode : 500"));
    EXPECT_TRUE(logged("App-Config : connectSuccess ! : "));
    EXPECT_EQ(S3ConfigHandler::shared().configPropertyMaxSize(), 7);

    // No app key: nothing is sent.
    registry->putString(std::nullopt, DataRegistryKey::STRING_APPKEY);
    repository->syncApplicationConfigure();
    EXPECT_TRUE(logged("syncApplicationConfigure :: appkey is nil"));
    EXPECT_EQ(server.requests(Endpoint::CONFIG).size(), 3u);
}

TEST_F(RepositoryEventsTest, GdprStoresForgetMeEitherWayAndSyncOnlyOnSuccess) {
    for (int status : {200, 500}) {
        SCOPED_TRACE(status);
        registry->putBool(false, DataRegistryKey::BOOL_GDPR_FORGET_ME);
        registry->putBool(status != 200, DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);
        server.script(Endpoint::GDPR, ScriptedAnswer{status, "{}"});
        int done = 0;
        repository->requestGdprForgetMe([&] { ++done; });
        // Answered without a retry: finished when the call returns.
        EXPECT_EQ(done, 1);
        EXPECT_TRUE(registry->getBool(DataRegistryKey::BOOL_GDPR_FORGET_ME, false));
        EXPECT_EQ(
            registry->getBool(DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC, status != 200),
            status == 200);
    }
    auto requests = server.requests(Endpoint::GDPR);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].signature, "valid");
    EXPECT_NE(requests[0].decodedBody.find("\"identity_value\":\"ADID-0001\""), std::string::npos);
}

TEST_F(RepositoryEventsTest, WithoutAHistoryStoreEveryCompletionIsAnsweredOnceAtOnce) {
    std::vector<std::string> answers;
    auto completion = [&](const ActionHistoryResult& r) {
        answers.push_back(r.isSucceeded() ? "success" : r.getError()->localizedDescription());
    };
    repository->fetchActionHistoryFromServer(std::nullopt, ActionHistoryIdType::ADID, {},
                                             completion);
    repository->getActionHistory(0, 10, {"PUSH_IOS"}, completion);
    repository->getAllActionHistory({}, completion);
    repository->deleteAllActionHistory("token", ActionHistoryIdType::USER_ID, completion);
    repository->deleteActionHistory(std::nullopt, "h1", 5, completion);
    repository->clearSyncedActionHistoryInLocalDB(completion);
    EXPECT_EQ(answers, std::vector<std::string>(6, "cannot open ActionHistory database"));

    repository->insertPushData({{"aps", Value(Value::Map{})}});
    repository->clearAllActionHistoryInLocalDB();
    for (const char* line :
         {"fetchActionHistoryFromServer :: can not use actionHistoryDAO",
          "getActionHistory :: can not use ActionHistoryDAO",
          "getAllActionHistory :: can not use actionHistoryDAO",
          "deleteAllActionHistory(token:idType:completion:) :: can not use actionHistoryDAO",
          "deleteActionHistory(token:historyId:timeStamp:completion:) :: can not use "
          "actionHistoryDAO",
          "clearSyncedActionHistoryInLocalDB(completion:) :: can not use ActionHistoryDAO",
          "insertPushData :: can not use ActionHistoryDAO",
          "clearAllActionHistoryInLocalDB() :: can not use ActionHistoryDAO"}) {
        EXPECT_TRUE(logged(line)) << line;
    }
    EXPECT_EQ(server.requestCount(), 0u);
}

}  // namespace
}  // namespace sorvel::repotest
