#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Common/SVLBooleanState.h"
#include "Core/CoreFakes.h"

namespace sorvel::coretest {
namespace {

using ::testing::ElementsAre;

// A kind can be built from exactly the arguments it takes. Each line is a
// request the controller once had to catch at run time with a cast error;
// now it does not compile.
template <class Kind, class... Args>
constexpr bool buildsFrom = requires(Args&&... args) {
    Kind{std::forward<Args>(args)...};
};

using Map = Value::Map;
using Names = std::vector<std::string>;
using Products = std::vector<SorvelKvCommerceProductModel>;
static_assert(buildsFrom<msg::SaveUserProperty, Map, bool>);
static_assert(!buildsFrom<msg::SaveUserProperty, Map, std::string>);
static_assert(!buildsFrom<msg::SaveUserPropertyWithoutEvent, std::string, bool>);
static_assert(buildsFrom<msg::LogEvent, LogEventParameter>);
static_assert(!buildsFrom<msg::LogEvent, Value::Map>);
static_assert(!buildsFrom<msg::LogSameEventWithPaging, std::string, std::string, Map>);
static_assert(!buildsFrom<msg::Deeplink, int>);
static_assert(!buildsFrom<msg::DeleteUserDataAndStopSDK, std::string, std::function<void(int*)>>);
static_assert(!buildsFrom<msg::RestartSDK, int, CompletionCallback>);
static_assert(buildsFrom<msg::FetchActionHistoryFromServer, std::optional<std::string>,
                         ActionHistoryIdType, Names, ActionHistoryCompletion>);
static_assert(!buildsFrom<msg::FetchActionHistoryFromServer, int, ActionHistoryIdType, Names,
                          ActionHistoryCompletion>);
static_assert(!buildsFrom<msg::InsertPushData, Value>);
static_assert(!buildsFrom<msg::GetAllActionHistory, Value::Array, ActionHistoryCompletion>);
static_assert(!buildsFrom<msg::DeleteAllActionHistory, std::optional<std::string>, std::int64_t,
                          ActionHistoryCompletion>);
static_assert(!buildsFrom<msg::DeleteActionHistory, std::string, std::string, std::string,
                          ActionHistoryCompletion>);
static_assert(!buildsFrom<msg::ClearSyncedActionHistoryInLocalDB, CompletionCallback>);
static_assert(!buildsFrom<msg::Initialize, std::string, int>);
static_assert(!buildsFrom<msg::ClearUserProperty, bool>);

TEST(MessageDispatchTest, EveryKindKeepsItsNameAndMessagesBuiltDirectlyReachTheContext) {
    const std::vector<std::pair<Message, std::string>> kinds{
        {msg::Initialize{}, "INITIALIZE"},
        {msg::SaveUserProperty{}, "SAVE_USER_PROPERTY"},
        {msg::SaveUserPropertyWithoutEvent{}, "SAVE_USER_PROPERTY_WITHOUT_EVENT"},
        {msg::ClearUserProperty{}, "CLEAR_USER_PROPERTY"},
        {msg::LogEvent{}, "LOG_EVENT"},
        {msg::LogSameEventWithPaging{}, "LOG_SAME_EVENT_WITH_PAGING"},
        {msg::DidBecomeActive{}, "DID_BECOME_ACTIVE"},
        {msg::WillResignActive{}, "WILL_RESIGN_ACTIVE"},
        {msg::Deeplink{}, "DEEPLINK"},
        {msg::GdprForgetMe{}, "GDPR_FORGET_ME"},
        {msg::DeleteUserDataAndStopSDK{}, "DELETE_USER_DATA_AND_STOP_SDK"},
        {msg::RestartSDK{}, "RESTART_SDK"},
        {msg::FetchActionHistoryFromServer{}, "FETCH_ACTION_HISTORY_FROM_SERVER"},
        {msg::InsertPushData{}, "INSERT_PUSH_DATA"},
        {msg::GetActionHistory{}, "GET_ACTION_HISTORY"},
        {msg::GetAllActionHistory{}, "GET_ALL_ACTION_HISTORY"},
        {msg::DeleteAllActionHistory{}, "DELETE_ALL_ACTION_HISTORY"},
        {msg::DeleteActionHistory{}, "DELETE_ACTION_HISTORY"},
        {msg::ClearSyncedActionHistoryInLocalDB{}, "CLEAR_SYNCED_ACTION_HISTORY_IN_LOCAL_DB"},
        {msg::ClearAllActionHistoryInLocalDB{}, "CLEAR_ALL_ACTION_HISTORY_IN_LOCAL_DB"},
    };
    ASSERT_EQ(kinds.size(), kMessageTypeCount);
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(messageTypeOf(kinds[i].first)), i);
        EXPECT_EQ(messageTypeName(messageTypeOf(kinds[i].first)), kinds[i].second);
    }

    // The kinds with no typed operation of their own on the controller arrive
    // whole, each followed by the flush.
    ControllerHarness h;
    h.release();
    auto answer = [](const ActionHistoryResult&) {};
    h.controller->submitMessage(msg::InsertPushData{Value::Map{{"a", Value(1)}}});
    h.controller->submitMessage(msg::GetAllActionHistory{{"PUSH_IOS"}, answer});
    h.controller->submitMessage(msg::ClearSyncedActionHistoryInLocalDB{answer});
    h.drain();
    EXPECT_THAT(h.log->entries(true),
                ElementsAre("A2 insertPushData", "A2 flushAtIntervals", "A2 getAllActionHistory",
                            "A2 flushAtIntervals", "A2 clearSyncedActionHistoryInLocalDB",
                            "A2 flushAtIntervals"));
}

TEST(MessageDispatchTest, ArgumentsReachTheContextAsGivenWithEventTimeAndIdFilledIn) {
    ControllerHarness h;
    h.release();
    auto& c = *h.controller;

    auto timed = event("timed");
    timed.eventId = "keep-id";
    timed.event_datetime = "2024-01-02T03:04:05.678Z";
    auto untimed = event("untimed");
    untimed.eventId = "replaced-id";
    c.logEvent(timed);
    c.logEvent(untimed);
    c.deeplink("https://example.com/open?svl_tid=1");
    c.deleteAllActionHistory(std::nullopt, ActionHistoryIdType::ADID, [](auto&) {});
    c.deleteActionHistory(std::string("tok"), "h1", 5, [](auto&) {});
    c.getActionHistory(2, 30, {"KAKAOTALK"}, [](auto&) {});
    c.saveUserPropertyWithoutEvent({{"a", Value(1)}}, true);
    h.drain();

    EXPECT_THAT(
        h.log->entries(true),
        ElementsAre("A2 logEvent timed", "A2 flushAtIntervals", "A2 logEvent untimed",
                    "A2 flushAtIntervals", "A2 deeplink https://example.com/open?svl_tid=1",
                    "A2 flushAtIntervals", "A2 deleteAllActionHistory", "A2 flushAtIntervals",
                    "A2 deleteActionHistory h1", "A2 flushAtIntervals", "A2 getActionHistory 2/30",
                    "A2 flushAtIntervals", "A2 saveUserPropertyWithoutEvent 1 ci",
                    "A2 flushAtIntervals"));
    ASSERT_EQ(h.script->loggedEvents.size(), 2u);
    EXPECT_EQ(h.script->loggedEvents[0].eventId, "keep-id");
    EXPECT_EQ(h.script->loggedEvents[0].event_datetime, "2024-01-02T03:04:05.678Z");
    const auto& filled = h.script->loggedEvents[1];
    ASSERT_TRUE(filled.event_datetime && filled.eventId);
    EXPECT_TRUE(std::regex_match(filled.event_datetime->str(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << *filled.event_datetime;
    EXPECT_TRUE(std::regex_match(filled.eventId->str(), std::regex(R"(\d+:[0-9A-F-]{36})")))
        << *filled.eventId;
    // An absent token travels as absent; a given one unchanged.
    EXPECT_THAT(h.script->tokens, ElementsAre(std::nullopt, std::optional<std::string>("tok")));
}

TEST(MessageDispatchTest, DeleteIsGuardedAndDisablesBeforeTheAppHearsOfIt) {
    ControllerHarness h;
    h.release();
    auto& c = *h.controller;
    std::atomic<int> firstAnswers{0};
    std::atomic<bool> disabledWhenAnswered{false};
    auto controller = h.controller;
    testing::LogCapture capture;
    c.deleteUserDataAndStopSDK("u1", [&](Completion r) {
        EXPECT_EQ(r, Completion::FAILURE);
        disabledWhenAnswered =
            controller->currentContext()->contextState() == SVLContextState::DISABLED;
        firstAnswers.fetch_add(1);
        testing::notifyWaiters();
    });
    c.deleteUserDataAndStopSDK("u2", [](Completion) { ADD_FAILURE() << "refused request"; });
    h.drain();
    EXPECT_TRUE(capture.contains("Delete API is already processing!"));
    EXPECT_THAT(h.log->entries(true), ElementsAre("A2 deleteUserData u1", "A2 flushAtIntervals"));

    auto held = h.script->take(h.script->heldDeletes);
    ASSERT_TRUE(held);
    answerFromOtherThread(*held, Completion::FAILURE);
    ASSERT_TRUE(testing::waitUntil([&] { return firstAnswers.load() == 1; }));
    EXPECT_TRUE(disabledWhenAnswered.load());
    EXPECT_EQ(h.reason(), "SDK STOPPED");
    EXPECT_EQ(h.resets->load(), 1);

    // The guard is down again: the disabled state carries out the next one.
    c.deleteUserDataAndStopSDK("u3", [](Completion) {});
    h.drain();
    EXPECT_EQ(h.log->count("D3 deleteUserData u3"), 1u);

    // Already synchronised: answered at once, nothing asked of the context,
    // no flush, and the state stays.
    h.rebuild();
    h.registry->putBool(true, DataRegistryKey::BOOL_IS_SDK_STOPPED);
    h.registry->putBool(true, DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC);
    h.release();
    std::atomic<int> syncedAnswer{-1};
    h.controller->deleteUserDataAndStopSDK(
        "u", [&](Completion r) { syncedAnswer = static_cast<int>(r); });
    h.drain();
    EXPECT_EQ(syncedAnswer.load(), 0);
    EXPECT_TRUE(h.log->entries(true).empty());
    EXPECT_EQ(h.state(), SVLContextState::ACTIVE);
}

TEST(MessageDispatchTest, RestartResultReinitialisesOnlyWhenDisabled) {
    ControllerHarness h;
    h.release();
    auto controller = h.controller;
    h.registry->putString(std::string(ControllerHarness::kAppKey), DataRegistryKey::STRING_APPKEY);
    h.registry->putString(std::string(ControllerHarness::kSecretKey),
                          DataRegistryKey::STRING_SECRETKEY);

    // While active a restart result changes nothing but the in-flight guard.
    std::atomic<int> answers{0};
    controller->restartSDK("u", [&](Completion) {
        answers.fetch_add(1);
        testing::notifyWaiters();
    });
    controller->restartSDK("again", [](Completion) { ADD_FAILURE() << "refused request"; });
    h.drain();
    auto held = h.script->take(h.script->heldRestarts);
    ASSERT_TRUE(held);
    answerFromOtherThread(*held, Completion::SUCCESS);
    ASSERT_TRUE(testing::waitUntil([&] { return answers.load() == 1; }));
    EXPECT_EQ(h.tag(), "A2");

    // While disabled: a new initialising state, INITIALIZE with the stored
    // keys and an activation, all before the app's completion.
    controller->disableSDK("GDPR FORGET ME");
    SVLBooleanState::isSessionStarted().set(true);
    std::atomic<bool> leftDisabled{false};
    controller->restartSDK("u", [&](Completion r) {
        EXPECT_EQ(r, Completion::FAILURE);
        leftDisabled = controller->currentContext()->contextState() != SVLContextState::DISABLED;
        answers.fetch_add(1);
        testing::notifyWaiters();
    });
    h.drain();
    held = h.script->take(h.script->heldRestarts);
    ASSERT_TRUE(held);
    answerFromOtherThread(*held, Completion::FAILURE);
    ASSERT_TRUE(testing::waitUntil([&] { return answers.load() == 2; }));
    EXPECT_TRUE(leftDisabled.load());
    EXPECT_FALSE(SVLBooleanState::isSessionStarted().get());
    ASSERT_TRUE(testing::waitUntil([&] { return h.log->count("A5 didBecomeActive") == 1; }));
    EXPECT_THAT(h.log->entries(),
                ElementsAre("A2 restartSDK u", "D3 restartSDK u",
                            "I4 initialize APPKEY_0123456789ABCDE/SECRET_0123456789ABCDE",
                            "A5 didBecomeActive"));

    // Without stored keys the SDK waits in the initialising state.
    h.registry->putString(std::nullopt, DataRegistryKey::STRING_APPKEY);
    controller->disableSDK("Sorvel All Stop");
    controller->restartSDK("u", [&](Completion) {
        answers.fetch_add(1);
        testing::notifyWaiters();
    });
    h.drain();
    held = h.script->take(h.script->heldRestarts);
    ASSERT_TRUE(held);
    testing::LogCapture capture;
    answerFromOtherThread(*held, Completion::SUCCESS);
    ASSERT_TRUE(testing::waitUntil([&] { return answers.load() == 3; }));
    EXPECT_TRUE(capture.contains("onRestartCompleted : appKey and secretKey is nil"));
    EXPECT_EQ(h.state(), SVLContextState::INITIALIZING);

    // A restart reaching the initialising state is not answered there, and
    // must not leave the in-flight guard up for the restarts after it.
    controller->restartSDK("lost", [](Completion) {});
    controller->initialize(ControllerHarness::kAppKey, ControllerHarness::kSecretKey);
    controller->restartSDK("served", [](Completion) {});
    h.drain();
    EXPECT_EQ(h.log->count("restartSDK lost"), 1u);
    EXPECT_EQ(h.log->count("restartSDK served"), 1u);

    // Synchronised already: answered 0 at once.
    h.registry->putBool(false, DataRegistryKey::BOOL_IS_SDK_STOPPED);
    h.registry->putBool(false, DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC);
    std::atomic<int> syncedAnswer{-1};
    controller->restartSDK("u", [&](Completion r) { syncedAnswer = static_cast<int>(r); });
    h.drain();
    EXPECT_EQ(syncedAnswer.load(), 0);
}

TEST(MessageDispatchTest, GdprForgetMeRunsItsRequestThenDisables) {
    ControllerHarness h;
    h.release();
    EXPECT_CALL(*h.repository, requestGdprForgetMe(::testing::_)).WillOnce([&](auto) {
        EXPECT_EQ(h.state(), SVLContextState::ACTIVE);
    });
    h.controller->gdprForgetMe();
    h.drain();
    EXPECT_EQ(h.reason(), "GDPR FORGET ME");
    EXPECT_EQ(h.resets->load(), 1);
    // The flush goes to the state current after the action.
    EXPECT_THAT(h.log->entries(true), ElementsAre("D3 flushAtIntervals"));
}

}  // namespace
}  // namespace sorvel::coretest
