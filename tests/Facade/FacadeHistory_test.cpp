#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "Facade/FacadeFixture.h"
#include "support/HistorySupport.h"

namespace sorvel::facadetest {
namespace {

using Answers = testing::HistoryAnswers;
using testing::historyIds;

const std::vector<std::string> kTypes{"PUSH_IOS", "KAKAOTALK"};

Value::Map push(std::int64_t id, const std::string& title) {
    Value::Map alert{{"title", Value(title)}, {"deep_link_json", Value(R"({"to":"inbox"})")}};
    Value::Map aps{{"custom_alert", Value(Value::Map{})},
                   {"alert", Value(alert)},
                   {"notification_id", Value(id)},
                   {"svl:gf:campaign_id", Value("C")},
                   {"svl:gf:campaign_revision_no", Value(2)},
                   {"svl:gf:step_id", Value("S")},
                   {"svl:gf:cycle_time", Value("Y")}};
    return {{"aps", Value(aps)}};
}

std::string entryJson(const std::string& id, std::int64_t ts) {
    return R"({"id":")" + id + R"(","type":"KAKAOTALK","timestamp":)" + std::to_string(ts) +
           R"(,"contents":{"title":"k"},"campaign_id":"C","campaign_revision_no":1,)"
           R"("step_id":"S","cycle_time":"Y","action_group":"G"})";
}

class FacadeHistoryTest : public FacadeTest {};

TEST_F(FacadeHistoryTest, InboxRoundOverLoopback) {
    start();
    kv().login("inbox-user");
    const std::int64_t past = 1000;  // older than any push stored now
    server_->history().addEntry("inbox-user", entryJson("srv-1", past));
    server_->history().addEntry("inbox-user", entryJson("srv-2", past + 1));

    kv().insertPushData(push(42, "first"));
    kv().insertPushData(push(42, "second"));  // replaces the first
    kv().insertPushData(push(43, "other"));

    Answers fetched;
    kv().fetchActionHistoryByUserId(std::string("app-token"), kTypes, fetched.completion());
    const auto list = fetched.await();
    ASSERT_TRUE(list.isSucceeded());
    EXPECT_EQ(historyIds(list), (std::vector<std::string>{"srv-1", "srv-2"}));

    Answers deleted;
    kv().deleteActionHistory(std::string("app-token"), "srv-1", past, deleted.completion());
    EXPECT_TRUE(deleted.await().isSucceeded());
    EXPECT_EQ(server_->history().entries("inbox-user").size(), 1u);

    Answers read;
    kv().getAllActionHistory(kTypes, read.completion());
    const auto inbox = read.await();
    ASSERT_TRUE(inbox.isSucceeded());
    EXPECT_EQ(historyIds(inbox),
              (std::vector<std::string>{"PUSH_IOS::42", "PUSH_IOS::43", "srv-2"}));
    for (const auto& e : *inbox.getData()) {
        if (e->historyId == "PUSH_IOS::42") {
            EXPECT_EQ(e->content.title, "second");
            EXPECT_EQ(e->content.deeplinkJson,
                      (std::map<std::string, std::string>{{"to", "inbox"}}));
        }
    }
    Answers page;
    kv().getActionHistory(0, 1, kTypes, page.completion());
    ASSERT_EQ(page.await().getData()->size(), 1u);

    Answers cleared;
    kv().clearSyncedActionHistoryInLocalDB(cleared.completion());
    EXPECT_TRUE(cleared.await().isSucceeded());
    Answers after;
    kv().getAllActionHistory(kTypes, after.completion());
    EXPECT_EQ(historyIds(after.await()),
              (std::vector<std::string>{"PUSH_IOS::42", "PUSH_IOS::43"}));
    EXPECT_FALSE(logs_.contains("app-token"));

    // Logout clears the whole local history.
    kv().logout();
    EXPECT_TRUE(waitForLine("clearAllActionHistoryInLocalDB() :: success"));
    Answers empty;
    kv().getAllActionHistory(kTypes, empty.completion());
    EXPECT_TRUE(empty.await().getData()->empty());
}

// Calls made before the SDK is ready are held like any other, then answered
// from the store in the order they were made: none fails for being early.
TEST_F(FacadeHistoryTest, CallsBeforeTheStartAreHeldAndAnsweredOnceItIsReady) {
    kv().insertPushData(push(5, "before init"));  // not held: straight to the store
    Answers early;
    kv().getAllActionHistory(kTypes, early.completion());
    kv().initSorvel(kAppKey, kSecretKey);
    kv().getActionHistory(0, 10, kTypes, early.completion());
    ASSERT_TRUE(DiContainer::shared().drain());
    EXPECT_EQ(early.count(), 0u) << "answered before the app first became active";

    SorvelHost::applicationDidBecomeActive();
    for (std::size_t n = 1; n <= 2; ++n) {
        const auto result = early.await(n);
        ASSERT_TRUE(result.isSucceeded()) << n << ": " << result.getError()->localizedDescription();
        EXPECT_EQ(historyIds(result), (std::vector<std::string>{"PUSH_IOS::5"}));
        EXPECT_EQ(early.labels[n - 1], "FvnActionHistoryDispatchQueue");
    }

    // A start that ends disabled answers what it held with that.
    relaunch();
    Answers refused;
    kv().getAllActionHistory(kTypes, refused.completion());
    start("short key", kSecretKey);
    const auto result = refused.await();
    ASSERT_FALSE(result.isSucceeded());
    EXPECT_EQ(result.getError()->actionHistoryError(), ActionHistoryError::SDKDisabledStateError);
}

TEST_F(FacadeHistoryTest, DisabledFacadeAnswersEachCompletionOnceBeforeReturning) {
    start();
    kv().gdprForgetMe();
    ASSERT_TRUE(waitForLine("이유는 = GDPR FORGET ME"));
    EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());

    Answers a;
    const std::size_t calls = 8;
    kv().fetchActionHistoryByUserId(std::nullopt, kTypes, a.completion());
    kv().fetchActionHistoryByAdid(std::string("t"), kTypes, a.completion());
    kv().getActionHistory(0, 10, kTypes, a.completion());
    kv().getAllActionHistory(kTypes, a.completion());
    kv().deleteAllActionHistoryByUserId(std::nullopt, a.completion());
    kv().deleteAllActionHistoryByAdid(std::nullopt, a.completion());
    kv().deleteActionHistory(std::nullopt, "id", 1, a.completion());
    kv().clearSyncedActionHistoryInLocalDB(a.completion());
    ASSERT_EQ(a.count(), calls);  // all answered before their calls returned
    for (std::size_t i = 0; i < calls; ++i) {
        const auto& r = a.results[i];
        EXPECT_FALSE(r.isSucceeded());
        EXPECT_FALSE(r.getData());
        ASSERT_TRUE(r.getError());
        EXPECT_EQ(r.getError()->actionHistoryError(), ActionHistoryError::SDKDisabledStateError);
        EXPECT_EQ(r.getError()->localizedDescription(),
                  "Disabled된 SVL SDK의 Method가 호출되었습니다.");
        EXPECT_EQ(a.threads[i], std::this_thread::get_id());
    }
    // Nothing stored, nothing thrown; empty and throwing completions are fine.
    kv().insertPushData(push(7, "x"));
    kv().getAllActionHistory(kTypes, nullptr);
    kv().getAllActionHistory(kTypes, [](const ActionHistoryResult&) { throw 1; });
    EXPECT_EQ(a.count(), calls);
    EXPECT_EQ(server_->requests(Endpoint::HISTORY_LIST).size(), 0u);
}

TEST_F(FacadeHistoryTest, BadInputGetsAnAnswerAndKeepsGoodRows) {
    start();
    kv().insertPushData(push(1, "good"));
    kv().insertPushData(push(2, std::string(1 << 20, 't')));
    static constexpr char kRaw[] = "a\0b'\"; DROP TABLE ActionHistory; --\xff";
    const std::string nul(kRaw, sizeof kRaw - 1);
    Answers a;
    kv().deleteActionHistory(nul, nul, INT64_MIN, a.completion());
    kv().getActionHistory(INT64_MIN, INT64_MAX, {nul, "PUSH_IOS"}, a.completion());
    kv().getActionHistory(INT64_MAX, INT64_MIN, {}, a.completion());
    kv().insertPushData({{"aps", Value(std::string(1 << 20, 'x'))}});
    // Answers the list never promised: not JSON, wrong types, huge.
    server_->script(Endpoint::HISTORY_LIST, {200, "<html>", {}, false, "text/html"});
    server_->script(Endpoint::HISTORY_LIST, {200, R"({"histories":{"id":1}})"});
    std::string huge = R"({"histories":[)";
    for (int i = 0; i < 100000; ++i) {
        huge += (i ? "," : "") + std::string(R"({"id":)") + std::to_string(i) + "}";
    }
    huge += "]}";
    server_->script(Endpoint::HISTORY_LIST, {200, huge});
    for (int i = 0; i < 3; ++i) {
        kv().fetchActionHistoryByAdid(std::string("token \"'"), kTypes, a.completion());
    }
    // The local delete matched nothing; a token no header can carry is
    // refused before anything is sent.
    const auto deleted = a.await(1);
    ASSERT_TRUE(deleted.getError());
    EXPECT_EQ(deleted.getError()->domain(), "ApiConnectionError");
    EXPECT_TRUE(waitForLine("malformed header \"Authorization\""));
    EXPECT_EQ(historyIds(a.await(2)), (std::vector<std::string>{"PUSH_IOS::1", "PUSH_IOS::2"}));
    EXPECT_TRUE(a.await(3).getData()->empty());
    EXPECT_FALSE(a.await(4).isSucceeded());
    EXPECT_FALSE(a.await(5).isSucceeded());
    // 100,000 refused entries, each logged: well past ten seconds under a
    // sanitizer on a loaded machine.
    const auto hugeList = a.await(6, std::chrono::minutes(2));
    EXPECT_TRUE(hugeList.isSucceeded());  // every entry lacks its keys: none kept
    EXPECT_TRUE(hugeList.getData()->empty());
    Answers all;
    kv().getAllActionHistory(kTypes, all.completion());
    const auto kept = all.await();
    EXPECT_EQ(historyIds(kept), (std::vector<std::string>{"PUSH_IOS::1", "PUSH_IOS::2"}));
    EXPECT_EQ(a.count(), 6u);
}

}  // namespace
}  // namespace sorvel::facadetest
