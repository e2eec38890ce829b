#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Common/FvnUtil.h"
#include "Common/SVLBooleanState.h"
#include "Core/CoreFakes.h"

namespace sorvel::coretest {
namespace {

using ::testing::ElementsAre;

// Counts the answers of one history completion and keeps the last error.
struct HistoryAnswers {
    std::shared_ptr<std::atomic<int>> count = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::optional<ActionHistoryError>> lastError =
        std::make_shared<std::optional<ActionHistoryError>>();
    ActionHistoryCompletion completion() const {
        return [count = count, lastError = lastError](const ActionHistoryResult& r) {
            EXPECT_FALSE(r.isSucceeded());
            *lastError = r.getError() ? r.getError()->actionHistoryError() : std::nullopt;
            count->fetch_add(1);
        };
    }
};

struct CastCase {
    MessageType type;
    MessageArgs args;
    std::string text;
    bool answersHistoryCompletion;
};

TEST(MessageDispatchTest, MistypedArgumentsAreDroppedWithTheKindsCastErrorAndNoFlush) {
    ControllerHarness h;
    h.release();
    HistoryAnswers answers;
    auto history = answers.completion();
    std::vector<std::string> types{"PUSH_IOS"};
    CompletionCallback done = [](Completion) { ADD_FAILURE() << "completion of a cast error"; };
    std::function<void(int)> wrongCallback = [](int) {};
    std::any noToken;

    const std::vector<CastCase> cases{
        {MessageType::SAVE_USER_PROPERTY,
         {Value::Map{}, std::string("yes")},
         "processMessage : Cast Error in SAVE_USER_PROPERTY",
         false},
        {MessageType::SAVE_USER_PROPERTY_WITHOUT_EVENT,
         {std::string("not a map"), true},
         "processMessage : Cast Error in SAVE_USER_PROPERTY",
         false},
        {MessageType::LOG_EVENT,
         {std::string("e")},
         "processMessage : Cast Error in LOG_EVENT",
         false},
        // A list shorter than the kind's layout: the missing element is absent.
        {MessageType::LOG_SAME_EVENT_WITH_PAGING,
         {std::vector<SorvelKvCommerceProductModel>{}, std::string("purchase")},
         "processMessage : Cast Error in LOG_EVENT",
         false},
        {MessageType::DEEPLINK, {}, "processMessage : Cast Error in DEEPLINK", false},
        {MessageType::DELETE_USER_DATA_AND_STOP_SDK,
         {std::string("u"), wrongCallback},
         "processMessage : Cast Error in DELETE_USER_DATA_AND_STOP_SDK",
         false},
        {MessageType::RESTART_SDK, {5, done}, "processMessage : Cast Error in RESTART_SDK", false},
        {MessageType::FETCH_ACTION_HISTORY_FROM_SERVER,
         {7, ActionHistoryIdType::ADID, types, history},
         "processMessage : Cast Error in FETCH_ACTION_HISTORY_FROM_SERVER",
         true},
        // A Value holding a map is not a map.
        {MessageType::INSERT_PUSH_DATA,
         {Value(Value::Map{})},
         "processMessage : Cast Error in INSERT_PUSH_DATA",
         false},
        {MessageType::GET_ACTION_HISTORY,
         {0, std::int64_t{10}, types, history},
         "processMessage : Cast Error in GET_ACTION_HISTORY",
         true},
        {MessageType::GET_ALL_ACTION_HISTORY,
         {Value::Array{Value("PUSH_IOS")}, history},
         "processMessage : Cast Error in GET_ALL_ACTION_HISTORY",
         true},
        {MessageType::DELETE_ALL_ACTION_HISTORY,
         {noToken, std::int64_t{1}, history},
         "processMessage : Cast Error in DELETE_ALL_ACTION_HISTORY",
         true},
        {MessageType::DELETE_ACTION_HISTORY,
         {std::string("token"), std::string("id"), 5, history},
         "processMessage : Cast Error in DELETE_ACTION_HISTORY",
         true},
        {MessageType::CLEAR_SYNCED_ACTION_HISTORY_IN_LOCAL_DB,
         {done},
         "processMessage : Cast Error in CLEAR_ACTION_HISTORY_IN_LOCAL_DB",
         false},
        // Last: it disables the SDK.
        {MessageType::INITIALIZE,
         {std::string("k"), 5},
         "processMessage : Cast Error in INITIALIZE",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(messageTypeName(c.type));
        testing::LogCapture capture;
        int answeredBefore = answers.count->load();
        h.controller->submitMessage(c.type, c.args);
        h.drain();
        SvlLog::flush();
        EXPECT_TRUE(capture.contains(c.text));
        EXPECT_TRUE(h.log->entries(true).empty()) << "no action and no flush";
        EXPECT_EQ(answers.count->load() - answeredBefore, c.answersHistoryCompletion ? 1 : 0);
        if (c.answersHistoryCompletion) {
            EXPECT_EQ(*answers.lastError, ActionHistoryError::NoValueError);
        }
    }
    EXPECT_EQ(h.state(), SVLContextState::DISABLED);
    EXPECT_EQ(h.reason(), "Cast Error in INITIALIZE");
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
    EXPECT_TRUE(std::regex_match(*filled.event_datetime,
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << *filled.event_datetime;
    EXPECT_TRUE(std::regex_match(*filled.eventId, std::regex(R"(\d+:[0-9A-F-]{36})")))
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
    SvlLog::flush();
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
    SvlLog::flush();
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
