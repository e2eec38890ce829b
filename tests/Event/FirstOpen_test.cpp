#include <gtest/gtest.h>

#include <thread>

#include "AutoEventFixture.h"
#include "Event/DeeplinkPostingObservable.h"
#include "Event/FirstOpenAutoEventGenerator.h"
#include "Network/ApiConnectionManager.h"
#include "Platform/Dispatch.h"

namespace sorvel::autotest {
namespace {

using tools::Endpoint;
using tools::ScriptedAnswer;

ScriptedAnswer answer(int status, std::string body) {
    ScriptedAnswer a;
    a.status = status;
    a.body = std::move(body);
    return a;
}

// A platform with attribution: a token, and details answered later from
// another thread, as the OS would.
class FakeAttribution : public IAttributionProvider {
  public:
    StatusOr<std::string, Error> attributionToken() override {
        ++tokenCalls;
        return token;
    }
    bool canRequestAttributionDetails() override { return true; }
    void requestAttributionDetails(DetailsCallback callback) override {
        ++detailsCalls;
        std::lock_guard<std::mutex> lock(mu);
        pending = std::move(callback);
    }
    void answer(std::optional<Value::Map> details, std::optional<Error> error) {
        DetailsCallback callback;
        {
            std::lock_guard<std::mutex> lock(mu);
            callback = std::move(pending);
        }
        ASSERT_TRUE(callback);
        std::thread([&] { callback(std::move(details), std::move(error)); }).join();
    }

    StatusOr<std::string, Error> token = std::string("tok-123");
    std::atomic<int> tokenCalls{0};
    std::atomic<int> detailsCalls{0};
    std::mutex mu;
    DetailsCallback pending;
};

class FirstOpenTest : public AutoEventTest {
  protected:
    std::optional<Value::Map> firstOpenParameters(FirstOpenAutoEventGenerator& generator) {
        std::optional<Value::Map> out;
        generator.getFirstOpenParameter([&](const Value::Map& p) { out = p; });
        return out;
    }
    std::shared_ptr<StringSink> deferredSink() {
        auto sink = std::make_shared<StringSink>();
        DeferredDeeplinkPostingObservable::shared().addObserver(sink);
        return sink;
    }
    testing::LogCapture logs;
};

TEST_F(FirstOpenTest, LinuxHasNoAttributionAndTheFourInstallTimesAreOneReading) {
    FirstOpenAutoEventGenerator generator(registry);
    setNetwork(false);
    EXPECT_FALSE(firstOpenParameters(generator));
    setNetwork(true);
    auto p = firstOpenParameters(generator);
    ASSERT_TRUE(p);
    const Value seconds(nowMs() / 1000);
    EXPECT_EQ(*p, (Value::Map{{"svl:searchads_response", Value("")},
                              {"svl:apple_searchads_attr_token", Value("")},
                              {"svl:market_install_btn_clicked", seconds},
                              {"svl:app_install_start", seconds},
                              {"svl:app_install_completed", seconds},
                              {"svl:app_first_open", seconds}}));
    EXPECT_TRUE(logs.contains("getFirstOpenParameter :  network is not connected"));
    EXPECT_TRUE(logs.contains("Cannot get attributionToken : unavailable"));
}

TEST_F(FirstOpenTest, AttributionDetailsArriveLaterAndServeTheNextCall) {
    auto attribution = std::make_shared<FakeAttribution>();
    FirstOpenAutoEventGenerator generator(registry, attribution);

    auto first = firstOpenParameters(generator);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->at("svl:apple_searchads_attr_token"), Value("tok-123"));
    EXPECT_EQ(first->at("svl:searchads_response"), Value(""));

    // Errors and empty answers store nothing.
    attribution->answer(std::nullopt, IAttributionProvider::Error{"no network"});
    firstOpenParameters(generator);
    attribution->answer(Value::Map{}, std::nullopt);
    firstOpenParameters(generator);
    attribution->answer(std::nullopt, std::nullopt);
    EXPECT_TRUE(generator.searchAdsResponseData().empty());

    // Only map entries are stored; the last one visited is kept.
    firstOpenParameters(generator);
    const Value::Map row{{"iad-attribution", Value("true")}, {"iad-org-id", Value("42")}};
    attribution->answer(Value::Map{{"Version3.1", Value(row)}, {"count", Value(std::int64_t{2})}},
                        std::nullopt);
    EXPECT_EQ(generator.searchAdsResponseData(), row);

    auto later = firstOpenParameters(generator);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->at("svl:searchads_response"), Value(row));
    // Both were kept: neither is asked for again.
    EXPECT_EQ(attribution->tokenCalls.load(), 1);
    EXPECT_EQ(attribution->detailsCalls.load(), 4);
    EXPECT_TRUE(logs.contains("Failed to get SearchAds data, Error = no network"));
    EXPECT_TRUE(logs.contains("Failed to get SearchAds data, responseData keys count = 0"));
}

TEST_F(FirstOpenTest, ATokenErrorLeavesTheTokenEmptyAndIsAskedAgain) {
    auto attribution = std::make_shared<FakeAttribution>();
    attribution->token = IAttributionProvider::Error{"denied"};
    FirstOpenAutoEventGenerator generator(registry, attribution);
    EXPECT_EQ(firstOpenParameters(generator)->at("svl:apple_searchads_attr_token"), Value(""));
    attribution->token = std::string("t2");
    EXPECT_EQ(firstOpenParameters(generator)->at("svl:apple_searchads_attr_token"), Value("t2"));
    EXPECT_EQ(attribution->tokenCalls.load(), 2);
}

TEST_F(FirstOpenTest, DeferredDeeplinkIsRequestedWithTheDeviceIdAndPostedOnce) {
    auto sink = deferredSink();
    FirstOpenAutoEventGenerator generator(registry);

    generator.runDeferredDeeplinkProcess();  // no device id: nothing sent
    EXPECT_EQ(server.requests(Endpoint::DEFERRED_DEEPLINK).size(), 0u);

    registry->putString(std::string(kAdid), DataRegistryKey::STRING_ADID);
    server.script(Endpoint::DEFERRED_DEEPLINK, answer(200, R"({"deeplink":"app://promo/7"})"));
    generator.runDeferredDeeplinkProcess();
    // The first attempt is answered before the call returns.
    EXPECT_EQ(sink->values(), std::vector<std::string>{"app://promo/7"});
    auto requests = server.requests(Endpoint::DEFERRED_DEEPLINK);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].signature, "valid");
    EXPECT_EQ(requests[0].appKey, kAppKey);
    auto body = Value::fromJson(requests[0].decodedBody);
    ASSERT_TRUE(body && body->getMap());
    EXPECT_EQ(body->getMap()->at("device_id"), Value(kAdid));
    EXPECT_EQ(body->getMap()->at("platform"), Value("ios"));

    // Answers without a deeplink string, and a failure, post nothing.
    server.script(Endpoint::DEFERRED_DEEPLINK, answer(200, R"({"deeplink":17})"));
    generator.runDeferredDeeplinkProcess();
    server.script(Endpoint::DEFERRED_DEEPLINK, answer(500, "{}"));
    generator.runDeferredDeeplinkProcess();
    EXPECT_EQ(sink->count(), 1u);
    EXPECT_TRUE(logs.contains("runDeferredDeeplinkProcess Error :: no adid in dataRegistry"));
    EXPECT_TRUE(logs.contains("API getDeferredDeeplink connectSuccess !! {\"deeplink\":17})"));
    EXPECT_TRUE(logs.contains("DeferredDeeplink responseCode : 500"));
}

TEST_F(FirstOpenTest, ARetriedDeferredDeeplinkIsPostedFromTheRetryOnce) {
    auto sink = deferredSink();
    registry->putString(std::string(kAdid), DataRegistryKey::STRING_ADID);
    FirstOpenAutoEventGenerator generator(registry);
    server.script(Endpoint::DEFERRED_DEEPLINK, answer(503, "{}"));
    server.script(Endpoint::DEFERRED_DEEPLINK, answer(200, R"({"deeplink":null})"));
    server.script(Endpoint::DEFERRED_DEEPLINK, answer(200, R"({"deeplink":"app://late"})"));
    generator.runDeferredDeeplinkProcess();
    EXPECT_EQ(sink->count(), 0u);
    for (std::size_t n = 2; n <= 3; ++n) {
        // Each retry is due 10 s later on the manual clock.
        // The manager schedules its retry without telling anyone: polled.
        ASSERT_TRUE(testing::pollUntil([&] {
            clock().advance(ApiConnectionManager::RETRY_INTERVAL);
            return server.requests(Endpoint::DEFERRED_DEEPLINK).size() >= n;
        }));
    }
    ASSERT_TRUE(testing::waitUntil([&] { return sink->count() == 1; }));
    EXPECT_EQ(sink->values(), std::vector<std::string>{"app://late"});
    EXPECT_EQ(server.requests(Endpoint::DEFERRED_DEEPLINK).size(), 3u);
}

}  // namespace
}  // namespace sorvel::autotest
