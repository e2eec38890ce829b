#include "Network/ApiConnectionManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "Common/Constants.h"
#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "NetworkFixture.h"
#include "support/CommonSupport.h"

namespace sorvel::nettest {
namespace {

using tools::Endpoint;
using tools::ScriptedAnswer;

// Collects the completion calls of one request.
struct Outcome {
    std::mutex mu;
    std::vector<Result> results;
    std::vector<std::thread::id> threads;
    ApiConnectionManager::Completion completion() {
        return [this](const Result& r) {
            std::lock_guard<std::mutex> lock(mu);
            results.push_back(r);
            threads.push_back(std::this_thread::get_id());
            testing::notifyWaiters();
        };
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mu);
        return results.size();
    }
    Result first() {
        std::lock_guard<std::mutex> lock(mu);
        return results.at(0);
    }
};

class ApiConnectionManagerTest : public NetworkFixture {
  protected:
    std::shared_ptr<ApiConnection> post(Endpoint endpoint = Endpoint::DRWORKS) {
        std::string url = endpoint == Endpoint::DEFERRED_DEEPLINK
                              ? Constants::fill(Constants::DEFERRED_DEEPLINK_URL(), {kAppKey})
                              : Constants::fill(Constants::DRWORKS_URL(), {kAppKey});
        auto c = std::make_shared<ApiConnection>(registry);
        c->setPostRequest(FixedModel(url));
        return c;
    }
    // Waits until the manager scheduled its next retry, advances the manual
    // clock by one retry interval and waits for the retry to reach the server.
    void nextRetry(const ApiConnectionManager& manager, std::size_t expectedRequests) {
        ASSERT_TRUE(testing::pollUntil(
            [&] { return manager.attemptCount() == static_cast<int>(expectedRequests) - 1; }));
        sdk.clock()->advance(ApiConnectionManager::RETRY_INTERVAL);
        ASSERT_TRUE(server.waitForRequests(expectedRequests, std::chrono::seconds(10)));
    }
};

TEST_F(ApiConnectionManagerTest, SuccessCompletesOnTheSendingThreadBeforeReturning) {
    server.script(Endpoint::DRWORKS, answer(201, R"({"ok":true})"));
    Outcome out;
    ApiConnectionManager().request(post(), true, out.completion());
    ASSERT_EQ(out.count(), 1u);
    EXPECT_EQ(out.threads[0], std::this_thread::get_id());
    EXPECT_TRUE(out.first().isSuccess());
    EXPECT_EQ(out.first().statusCode(), 201);
    EXPECT_EQ(out.first().response(), R"({"ok":true})");

    // An empty body, or one that is not UTF-8 text, is a success without text.
    for (const std::string& body :
         {std::string(), std::string("\xC0\xAF"), std::string("ok\xE2\x82")}) {
        server.script(Endpoint::DRWORKS, answer(200, body));
        Result r = ApiConnectionManager().requestSync(post());
        EXPECT_TRUE(r.isSuccess());
        EXPECT_FALSE(r.response().has_value()) << *r.response();
    }
    server.script(Endpoint::DRWORKS, answer(200, "\xF0\x9F\x98\x80 \xED\x9F\xBF"));
    EXPECT_EQ(ApiConnectionManager().requestSync(post()).response(),
              "\xF0\x9F\x98\x80 \xED\x9F\xBF");
}

// A completion that holds only a pointer finds what it points to alive on
// every road (answered, unsendable, after a retry), and the
// manager lets go of it once the completion has run.
TEST_F(ApiConnectionManagerTest, TheOwnerLivesUntilTheCompletionHasRun) {
    struct Owned {
        std::atomic<int> answers{0};
        std::atomic<int> lastStatus{-1};
    };
    auto completionOf = [](Owned* owned) {
        return [owned](const Result& r) {
            owned->lastStatus = r.statusCode();
            ++owned->answers;
            testing::notifyWaiters();
        };
    };
    ApiConnectionManager manager;

    // Answered on the calling thread, then let go.
    auto owned = std::make_shared<Owned>();
    std::weak_ptr<Owned> weak = owned;
    Owned* raw = owned.get();
    manager.request(post(), false, completionOf(raw), std::move(owned));
    EXPECT_TRUE(weak.expired());

    // Unsendable: answered at once, with code 0, then let go.
    auto unsendable = std::make_shared<ApiConnection>(registry);
    owned = std::make_shared<Owned>();
    weak = owned;
    raw = owned.get();
    manager.request(unsendable, false, completionOf(raw), std::move(owned));
    EXPECT_TRUE(weak.expired());

    // Through a retry ten seconds later, the caller's own pointer gone.
    server.script(Endpoint::DRWORKS, answer(404));
    owned = std::make_shared<Owned>();
    weak = owned;
    raw = owned.get();
    auto keep = owned;  // read by the test once answered, dropped before the check
    manager.request(post(), true, completionOf(raw), std::move(owned));
    EXPECT_EQ(keep->answers.load(), 0);
    keep.reset();
    EXPECT_FALSE(weak.expired()) << "let go before its answer";
    nextRetry(manager, 2);
    // Let go right after the completion returned, which is what wakes waiters.
    ASSERT_TRUE(testing::pollUntil([&] { return weak.expired(); }))
        << "the retry's answer never let go of it";
}

TEST_F(ApiConnectionManagerTest, BadRequestDisablesTheSdkOnceWithoutRetry) {
    std::vector<std::string> reasons;
    ApiConnectionManager::setDisableSdkHook([&](const std::string& r) { reasons.push_back(r); });
    testing::LogCapture log;
    server.script(Endpoint::DRWORKS, answer(400, "bad key"));
    Outcome out;
    ApiConnectionManager manager;
    manager.request(post(), true, out.completion());
    ASSERT_EQ(out.count(), 1u);
    // A retry would have been counted before request() returned.
    EXPECT_EQ(manager.attemptCount(), 0);
    EXPECT_EQ(out.first().statusCode(), 400);
    EXPECT_FALSE(out.first().isSuccess());
    EXPECT_EQ(reasons, std::vector<std::string>{"SorvelAllStop"});

    sdk.clock()->advance(ApiConnectionManager::RETRY_INTERVAL * 4);
    EXPECT_EQ(server.requestCount(), 1u);

    server.script(Endpoint::DRWORKS, answer(400));
    EXPECT_EQ(ApiConnectionManager().requestSync(post()).statusCode(), 400);
    EXPECT_EQ(reasons.size(), 2u);
    EXPECT_TRUE(log.contains("Warning!! :: Appkey is not valid : bad key"));
}

TEST_F(ApiConnectionManagerTest, WrongAppKeyAnswersAreRetriedThreeTimesTenSecondsApart) {
    for (int code : {404, 503}) {
        SCOPED_TRACE(code);
        server.clearRequests();
        SVLBooleanState::isWrongAppKey().set(false);
        testing::LogCapture log;
        testing::DelegateLog delegate;
        server.setDefaultAnswer(Endpoint::DRWORKS, answer(code));
        Outcome out;
        ApiConnectionManager manager;
        manager.request(post(), true, out.completion());
        EXPECT_TRUE(SVLBooleanState::isWrongAppKey().get());
        EXPECT_EQ(out.count(), 0u);
        EXPECT_EQ(server.requestCount(), 1u);

        ASSERT_TRUE(testing::pollUntil([&] { return manager.attemptCount() == 1; }));
        sdk.clock()->advance(ApiConnectionManager::RETRY_INTERVAL - platform::Millis(1));
        EXPECT_EQ(server.requestCount(), 1u);
        sdk.clock()->advance(platform::Millis(1));
        ASSERT_TRUE(server.waitForRequests(2, std::chrono::seconds(10)));
        nextRetry(manager, 3);
        EXPECT_EQ(out.count(), 0u);
        nextRetry(manager, 4);
        ASSERT_TRUE(testing::waitUntil([&] { return out.count() == 1; }));
        EXPECT_EQ(out.first().statusCode(), code);
        EXPECT_FALSE(out.first().isSuccess());
        EXPECT_EQ(manager.attemptCount(), ApiConnectionManager::MAX_RETRY);

        // The retries resent the very same bytes and signature.
        auto sent = server.requests(Endpoint::DRWORKS);
        ASSERT_EQ(sent.size(), 4u);
        for (const auto& r : sent) {
            EXPECT_EQ(r.rawBody, sent[0].rawBody);
            EXPECT_EQ(r.header("svl-auth-cs"), sent[0].header("svl-auth-cs"));
            EXPECT_EQ(r.header("svl-auth-time"), sent[0].header("svl-auth-time"));
        }
        sdk.clock()->advance(ApiConnectionManager::RETRY_INTERVAL * 3);
        EXPECT_EQ(server.requestCount(), 4u);
        EXPECT_EQ(out.count(), 1u);
        // A wrong key is the developer's to fix: on stderr, delegate or not.
        // The retries running out (a deferred deeplink the server does not
        // have yet ends so too) is for quality assurance only.
        EXPECT_EQ(delegate.count("ApiConnectionManager retry failed. Skip retry uploading events."),
                  1);
        EXPECT_EQ(delegate.count("Warning!! :: wrong appkey : "), 4);
        EXPECT_FALSE(log.contains("retry failed"));
        EXPECT_TRUE(log.contains("svlkv [warning]: Warning!! :: wrong appkey : "));
    }
}

TEST_F(ApiConnectionManagerTest, WithoutRetriesWrongAppKeyFailsAtOnce) {
    server.script(Endpoint::DRWORKS, answer(404));
    Outcome out;
    ApiConnectionManager noRetry;
    noRetry.request(post(), false, out.completion());
    EXPECT_EQ(noRetry.attemptCount(), 0);
    ASSERT_EQ(out.count(), 1u);
    EXPECT_EQ(out.first().statusCode(), 404);
    EXPECT_TRUE(SVLBooleanState::isWrongAppKey().get());

    // 500 and other codes fail without the flag or a retry.
    SVLBooleanState::isWrongAppKey().set(false);
    for (int code : {500, 401}) {
        server.script(Endpoint::DRWORKS, answer(code));
        Outcome other;
        ApiConnectionManager manager;
        manager.request(post(), true, other.completion());
        EXPECT_EQ(manager.attemptCount(), 0);
        ASSERT_EQ(other.count(), 1u);
        EXPECT_EQ(other.first().statusCode(), code);
        EXPECT_FALSE(other.first().isSuccess());
    }
    EXPECT_FALSE(SVLBooleanState::isWrongAppKey().get());
    sdk.clock()->advance(ApiConnectionManager::RETRY_INTERVAL * 2);
    EXPECT_EQ(server.requestCount(), 3u);
}

TEST_F(ApiConnectionManagerTest, NullDeeplinkIsRetriedOnlyWhenRetriesAreAllowed) {
    const std::string nullDeeplink = R"({"deeplink":null})";
    server.script(Endpoint::DEFERRED_DEEPLINK, answer(200, nullDeeplink));
    Outcome once;
    ApiConnectionManager().request(post(Endpoint::DEFERRED_DEEPLINK), false, once.completion());
    ASSERT_EQ(once.count(), 1u);
    EXPECT_TRUE(once.first().isSuccess());
    EXPECT_EQ(once.first().response(), nullDeeplink);

    // With retries: the third retry brings the deeplink.
    server.clearRequests();
    for (const char* body : {R"({"deeplink":null})", R"({"deeplink":null})", R"({"deeplink":null})",
                             R"({"deeplink":"app://x"})"}) {
        server.script(Endpoint::DEFERRED_DEEPLINK, answer(200, body));
    }
    Outcome retried;
    ApiConnectionManager manager;
    manager.request(post(Endpoint::DEFERRED_DEEPLINK), true, retried.completion());
    EXPECT_EQ(retried.count(), 0u);
    nextRetry(manager, 2);
    nextRetry(manager, 3);
    nextRetry(manager, 4);
    ASSERT_TRUE(testing::waitUntil([&] { return retried.count() == 1; }));
    EXPECT_TRUE(retried.first().isSuccess());
    EXPECT_EQ(retried.first().response(), R"({"deeplink":"app://x"})");
    EXPECT_NE(retried.threads[0], std::this_thread::get_id());

    // Only that exact text is retried.
    server.script(Endpoint::DEFERRED_DEEPLINK, answer(200, R"({"deeplink": null})"));
    Outcome spaced;
    ApiConnectionManager().request(post(Endpoint::DEFERRED_DEEPLINK), true, spaced.completion());
    EXPECT_EQ(spaced.count(), 1u);
}

TEST_F(ApiConnectionManagerTest, RequestSyncNeverRetriesAndNoAnswerIsCodeZero) {
    server.setDefaultAnswer(Endpoint::DEFERRED_DEEPLINK, answer(200, R"({"deeplink":null})"));
    Result nullDeeplink = ApiConnectionManager().requestSync(post(Endpoint::DEFERRED_DEEPLINK));
    EXPECT_TRUE(nullDeeplink.isSuccess());
    server.script(Endpoint::DRWORKS, answer(503));
    Result failed = ApiConnectionManager().requestSync(post());
    EXPECT_EQ(failed.statusCode(), 503);
    EXPECT_TRUE(SVLBooleanState::isWrongAppKey().get());
    sdk.clock()->advance(ApiConnectionManager::RETRY_INTERVAL * 4);
    EXPECT_EQ(server.requestCount(), 2u);

    // Nobody listens any more: no answer at all. Each failure is an error
    // line for quality assurance: a shipped app offline would otherwise fill
    // its stderr with one per upload.
    server.stop();
    testing::LogCapture log;
    testing::DelegateLog delegate;
    Outcome refused;
    ApiConnectionManager().request(post(), true, refused.completion());
    ASSERT_EQ(refused.count(), 1u);
    EXPECT_EQ(refused.first().statusCode(), 0);
    EXPECT_EQ(ApiConnectionManager().requestSync(post()).statusCode(), 0);
    ASSERT_FALSE(SvlLog::isQaMode());
    const auto lines = delegate.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         testing::DelegateLog::Line{
                             SorvelLogLevel::LEVEL_ERROR,
                             "ApiConnectionManager :: request failed, responseCode : 0"}),
              2);
    EXPECT_FALSE(log.contains("request failed")) << ::testing::PrintToString(log.lines());
}

}  // namespace
}  // namespace sorvel::nettest
