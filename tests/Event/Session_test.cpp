#include <gtest/gtest.h>

#include "Common/RegistryStates.h"
#include "Event/DeeplinkPostingObservable.h"
#include "Event/StartSessionType.h"
#include "PipelineHarness.h"
#include "Platform/RunLoop.h"

namespace sorvel::autotest {
namespace {

using tools::Endpoint;

constexpr std::int64_t kHour = 60 * 60 * 1000;

class SessionTest : public PipelineTest {
  protected:
    // The first open of the installation, done.
    void completeFirstOpen() {
        launch->becomeActive();
        ASSERT_EQ(namesOnceUploaded(1), std::vector<std::string>{"start_session"});
        ASSERT_FALSE(FvnUtil::isBeforeFirstOpen(*registry));
    }
    void advance(std::int64_t ms) { clock().advance(platform::Millis(ms)); }
    std::optional<std::string> stored(DataRegistryKey key) {
        return registry->getStringOrNil(key, std::nullopt);
    }
    std::string trackingUrl(const std::string& path) {
        return "app://shop/" + path + "?svl_tid=ncpi:" + std::to_string(nowMs() - kHour) +
               "&svl_tracker_id=t-" + path;
    }
    std::shared_ptr<StringSink> sinkOf(IObservable<std::string>& observable) {
        auto sink = std::make_shared<StringSink>();
        observable.addObserver(sink);
        return sink;
    }
};

TEST_F(SessionTest, FirstLaunchRaisesTheFirstOpenSessionAndPostsTheDeferredDeeplinkOnce) {
    auto deferred = sinkOf(DeferredDeeplinkPostingObservable::shared());
    server.script(Endpoint::DEFERRED_DEEPLINK, {200, R"({"deeplink":"app://promo/1"})"});

    // Without network the first open waits: no session, no request.
    setNetwork(false);
    launch->becomeActive();
    EXPECT_FALSE(SVLBooleanState::isSessionStarted().get());
    EXPECT_TRUE(FvnUtil::isBeforeFirstOpen(*registry));
    EXPECT_EQ(server.requests(Endpoint::DEFERRED_DEEPLINK).size(), 0u);

    setNetwork(true);
    launch->becomeActive();
    ASSERT_EQ(namesOnceUploaded(1), std::vector<std::string>{"start_session"});
    const Uploaded start = uploaded()[0];
    EXPECT_EQ(start.text("group"), "svl");
    EXPECT_EQ(start.param("svl:open_type"), "string:first_open");
    EXPECT_EQ(start.param("svl:app_first_open"), "long:" + std::to_string(nowMs() / 1000));
    EXPECT_EQ(start.param("svl:searchads_response"), "string:");
    EXPECT_EQ(start.param("svl:apple_searchads_attr_token"), "string:");
    EXPECT_EQ(start.number("session_interval"), 0);
    EXPECT_EQ(start.number("session_length"), 0);
    EXPECT_EQ(start.text("log_id"), stored(DataRegistryKey::STRING_LAST_FIRSTOPEN_ID));
    EXPECT_EQ(start.text("log_id"), stored(DataRegistryKey::STRING_LAST_OPEN_ID));
    EXPECT_EQ(start.text("session_id"), stored(DataRegistryKey::STRING_LAST_CREATED_SESSION_ID));
    EXPECT_NE(start.text("log_id"), start.text("session_id"));
    EXPECT_EQ(repository->frequencyResets.load(), 1);
    EXPECT_EQ(repository->inAppFetches.load(), 1);  // no campaign list stored yet

    // The deferred deeplink was asked for once and posted once.
    EXPECT_EQ(deferred->values(), std::vector<std::string>{"app://promo/1"});
    EXPECT_EQ(server.requests(Endpoint::DEFERRED_DEEPLINK).size(), 1u);

    // Later activations, in this launch and the next, never ask again.
    launch->becomeActive();
    relaunch();
    launch->becomeActive();
    EXPECT_EQ(namesOnceUploaded(3),
              (std::vector<std::string>{"start_session", "end_session", "start_session"}));
    EXPECT_EQ(uploaded()[2].param("svl:open_type"), "string:basic_open");
    EXPECT_EQ(server.requests(Endpoint::DEFERRED_DEEPLINK).size(), 1u);
    EXPECT_EQ(deferred->count(), 1u);
}

TEST_F(SessionTest, ReturningWithinTheWindowContinuesTheSessionAndLaterStartsANewOne) {
    completeFirstOpen();
    const std::int64_t start = nowMs();
    advance(10'000);
    launch->resignActive();
    advance(59'999);
    launch->becomeActive();  // back within the window: the session goes on
    advance(5'000);
    launch->resignActive();
    const std::int64_t lastResign = nowMs();
    advance(60'000);
    launch->becomeActive();
    ASSERT_EQ(namesOnceUploaded(3),
              (std::vector<std::string>{"start_session", "end_session", "start_session"}));
    const auto events = uploaded();
    // The length runs to the last resign, not to the moment it is sent.
    EXPECT_EQ(events[1].number("session_length"), lastResign - start);
    EXPECT_EQ(events[1].number("session_interval"), 0);
    EXPECT_EQ(events[1].text("session_id"), events[0].text("session_id"));
    EXPECT_EQ(events[2].number("session_interval"), 60'000);
    EXPECT_EQ(events[2].param("svl:open_type"), "string:basic_open");
    EXPECT_NE(events[2].text("session_id"), events[0].text("session_id"));
    EXPECT_EQ(launch->container->counters()->current().sessionOrderNo, 1u);
    EXPECT_EQ(repository->frequencyResets.load(), 2);
}

TEST_F(SessionTest, AKillWithoutResignGivesTheSessionLengthZero) {
    completeFirstOpen();
    advance(5'000);
    launch->resignActive();
    advance(120'000);
    launch->becomeActive();  // a second session starts after the first resign
    ASSERT_EQ(namesOnceUploaded(3).size(), 3u);
    EXPECT_EQ(uploaded()[1].number("session_length"), 5'000);

    // Killed without resigning: the stored end is older than the session.
    advance(30'000);
    relaunch();
    launch->becomeActive();
    ASSERT_EQ(namesOnceUploaded(5).size(), 5u);
    auto events = uploaded();
    EXPECT_EQ(events[3].name, "end_session");
    EXPECT_EQ(events[3].number("session_length"), 0);
    EXPECT_EQ(events[4].name, "start_session");
    EXPECT_EQ(events[4].number("session_interval"), 150'000);

    // A second activation without resign, with that old end: the running
    // session ends (length 0 again) and a new one starts.
    launch->becomeActive();
    ASSERT_EQ(namesOnceUploaded(7).size(), 7u);
    events = uploaded();
    EXPECT_EQ(events[5].name, "end_session");
    EXPECT_EQ(events[5].number("session_length"), 0);

    // An end already sent is not sent again, even for a pending id.
    registry->putBool(true, DataRegistryKey::BOOL_IS_END_SESSION_SENT_LAST);
    relaunch();
    launch->becomeActive();
    ASSERT_EQ(namesOnceUploaded(8).size(), 8u);
    EXPECT_EQ(uploaded()[7].name, "start_session");
}

TEST_F(SessionTest, DeeplinkOpensAreRaisedOnceWhetherASessionStartsOrGoesOn) {
    completeFirstOpen();
    auto posted = sinkOf(DeeplinkPostingObservable::shared());

    // The link waits for the next session start, which takes it.
    const std::string first = trackingUrl("a");
    registry->putString(first, DataRegistryKey::STRING_DEEPLINK_URL);
    launch->resignActive();
    advance(60'000);
    launch->becomeActive();
    launch->deeplink->handleDeeplink();  // its message finds the URL taken
    ASSERT_EQ(namesOnceUploaded(3).size(), 3u);
    auto events = uploaded();
    EXPECT_EQ(events[2].param("svl:open_type"), "string:deeplink_open");
    EXPECT_EQ(events[2].param("svl:deeplink_payload"), "string:" + first);
    EXPECT_EQ(events[2].param("svl:svl_tracker_id"), "string:t-a");
    EXPECT_EQ(events[2].text("log_id"), stored(DataRegistryKey::STRING_LAST_DEEPLINK_ID));
    EXPECT_EQ(events[2].text("log_id"), stored(DataRegistryKey::STRING_LAST_OPEN_ID));
    EXPECT_EQ(posted->values(), std::vector<std::string>{first});

    // Within the live session a deeplink message raises "deeplink_open".
    const std::string second = trackingUrl("b");
    registry->putString(second, DataRegistryKey::STRING_DEEPLINK_URL);
    launch->deeplink->handleDeeplink();
    ASSERT_EQ(namesOnceUploaded(4).size(), 4u);
    events = uploaded();
    EXPECT_EQ(events[3].name, "deeplink_open");
    EXPECT_EQ(events[3].param("svl:deeplink_payload"), "string:" + second);
    EXPECT_EQ(events[3].text("session_id"), events[2].text("session_id"));

    // A link without the SDK's query items, or one already used, opens a
    // plain session and is not posted.
    for (const std::string& url : {std::string("app://shop/c?x=1"), first}) {
        registry->putString(url, DataRegistryKey::STRING_DEEPLINK_URL);
        launch->resignActive();
        advance(60'000);
        launch->becomeActive();
    }
    ASSERT_EQ(namesOnceUploaded(8).size(), 8u);
    events = uploaded();
    EXPECT_EQ(events[5].param("svl:open_type"), "string:basic_open");
    EXPECT_EQ(events[7].param("svl:open_type"), "string:basic_open");
    EXPECT_EQ(posted->values(), (std::vector<std::string>{first, second}));
}

TEST_F(SessionTest, APushOpenStartsTheNextSessionUnlessADeeplinkDoes) {
    completeFirstOpen();
    PushOpenMonitor::shared().mark({{"svl:gf:campaign_id", Value("c-7")}});
    registry->putString(trackingUrl("p"), DataRegistryKey::STRING_DEEPLINK_URL);
    launch->resignActive();
    advance(60'000);
    launch->becomeActive();  // the deeplink wins; the push open waits
    EXPECT_TRUE(PushOpenMonitor::shared().isOpendByPush());
    launch->resignActive();
    advance(60'000);
    launch->becomeActive();
    ASSERT_EQ(namesOnceUploaded(5).size(), 5u);
    const auto events = uploaded();
    EXPECT_EQ(events[2].param("svl:open_type"), "string:deeplink_open");
    EXPECT_EQ(events[4].param("svl:open_type"), "string:push_open");
    EXPECT_EQ(events[4].param("svl:gf:campaign_id"), "string:c-7");
    EXPECT_FALSE(PushOpenMonitor::shared().isOpendByPush());
    EXPECT_FALSE(PushOpenMonitor::shared().pushOpenEventParam());
}

TEST_F(SessionTest, TheOpenTypeDecidesTheSamplingKeyOfTheSessionStart) {
    // Every device drops "svl:basic_open" and "svl:start_session"; the first
    // open is never sampled.
    registry->putDictionary(
        {{"type", Value(std::int64_t{0})},
         {"eventProbabilities", Value(Value::Map{{"svl:basic_open", Value(std::int64_t{0})},
                                                 {"svl:start_session", Value(std::int64_t{0})},
                                                 {"svl:first_open", Value(std::int64_t{0})}})}},
        DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA);
    completeFirstOpen();
    launch->resignActive();
    advance(60'000);
    launch->becomeActive();
    launch->buffer->flushAllNow();
    ASSERT_EQ(namesOnceUploaded(2), (std::vector<std::string>{"start_session", "end_session"}));
    launch->buffer->waitUntilIdle();
    EXPECT_EQ(uploaded().size(), 2u);
    EXPECT_EQ(rawValue(StartSessionType::PUSH_OPEN), std::string("push_open"));
    EXPECT_EQ(startSessionTypeFromRawValue("deeplink_open"), StartSessionType::DEEPLINK_OPEN);
    EXPECT_FALSE(startSessionTypeFromRawValue("Basic_open"));
}

TEST_F(SessionTest, DailyFirstOpenReachesTheServerOncePerLocalDay) {
    setWallUtc(23, 59, 30);
    completeFirstOpen();
    registry->putString(std::string("20300517"),
                        DataRegistryKey::STRING_DAILY_FIRST_OPEN_PREV_DATE);
    launch->daily->startTimer();
    ASSERT_TRUE(
        platform::RunLoop::main().runUntil([&] { return launch->daily->isTimerRunning(); }, 10s));
    advance(60'000);
    // Ticks at midnight run alongside two more from elsewhere.
    launch->daily->doTask();
    launch->daily->doTask();
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return uploaded().size() >= 2; }, 10s));
    launch->buffer->waitUntilIdle();
    setLocalZone(-5);  // still the 17th in New York: a different day string
    advance(60'000);
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return uploaded().size() >= 3; }, 10s));
    launch->daily->doTask();
    advance(60'000);
    platform::RunLoop::main().runUntilIdle();
    launch->buffer->waitUntilIdle();
    EXPECT_EQ(uploadedNames(),
              (std::vector<std::string>{"start_session", "daily_first_open", "daily_first_open"}));
    EXPECT_EQ(repository->configSyncs.load(), 2);
}

}  // namespace
}  // namespace sorvel::autotest
