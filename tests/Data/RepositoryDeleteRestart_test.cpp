// Delete-user-data and restart synchronisation: the request bodies by state,
// the stored outcome of every answer and what a delete wipes.
#include <gtest/gtest.h>

#include "Network/Model/DRModel.h"
#include "RepositoryFixture.h"
#include "Common/RegistryStates.h"

namespace sorvel::repotest {
namespace {

using tools::Endpoint;
using tools::ScriptedAnswer;

class RepositoryDeleteRestartTest : public RepositoryFixture {
  protected:
    // Stores the flags of a state (NORMAL: none).
    void setState(DRState state) {
        if (state == DRState::NORMAL) {
            registry->removeAll();
            registry->putString(std::string(nettest::kSecretKey),
                                DataRegistryKey::STRING_SECRETKEY);
            registry->putString(std::string(nettest::kAppKey), DataRegistryKey::STRING_APPKEY);
            return;
        }
        const bool stopped = state == DRState::DELETE_SYNCED || state == DRState::DELETE_NOT_SYNCED;
        const bool sync =
            state == DRState::DELETE_SYNCED || state == DRState::INIT_RESTART_NOT_SYNCED;
        registry->putBool(stopped, DataRegistryKey::BOOL_IS_SDK_STOPPED);
        registry->putBool(sync, DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC);
    }
    DRState state() const { return std::get<DRState>(FvnUtil::getDRState(*registry)); }

    // Runs a delete or a restart answered with `status`; the completion's value.
    int run(bool isDelete, int status) {
        server.script(Endpoint::DRWORKS, ScriptedAnswer{status, "{}"});
        int answers = 0;
        int answer = -1;
        auto completion = [&](Completion c) {
            ++answers;
            answer = static_cast<int>(c);
        };
        if (isDelete) {
            repository->requestDeleteUserData("user-1", completion);
        } else {
            repository->restartSDK("user-1", completion);
        }
        // Not retried: answered when the call returns.
        EXPECT_EQ(answers, 1);
        return answer;
    }

    Value::Map lastDRBody() const {
        auto requests = server.requests(Endpoint::DRWORKS);
        if (requests.empty()) {
            ADD_FAILURE() << "no delete/restart request";
            return {};
        }
        auto body = Value::fromJson(requests.back().decodedBody);
        return body && body->isMap() ? *body->getMap() : Value::Map{};
    }

    static std::shared_ptr<DRModel> asDR(const std::shared_ptr<IApiModel>& model) {
        auto dr = std::dynamic_pointer_cast<DRModel>(model);
        EXPECT_TRUE(dr) << "not a delete/restart model";
        return dr;
    }
};

TEST_F(RepositoryDeleteRestartTest, EveryAnswerStoresItsRowOfTheFlagTable) {
    // Delete answered with success, from NORMAL.
    EXPECT_EQ(run(true, 200), 0);
    EXPECT_EQ(state(), DRState::DELETE_SYNCED);
    EXPECT_EQ(text(lastDRBody(), "operation_type"), "delete");
    EXPECT_EQ(text(lastDRBody(), "user_id"), "user-1");
    EXPECT_EQ(server.requests(Endpoint::DRWORKS).back().signature, "valid");

    // Restart after the delete fails: "initialize" with an init-restart event.
    EXPECT_EQ(run(false, 500), 1);
    EXPECT_FALSE(registry->getBool(DataRegistryKey::BOOL_IS_SDK_STOPPED, true));
    EXPECT_TRUE(registry->getBool(DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC, false));
    EXPECT_EQ(state(), DRState::INIT_RESTART_NOT_SYNCED);
    const Value::Map first = lastDRBody();
    EXPECT_EQ(text(first, "operation_type"), "initialize");
    const Value::Map firstEvent = mapAt(first, "event");
    EXPECT_EQ(text(firstEvent, "event_name"), "init_restart");
    EXPECT_EQ(text(firstEvent, "group"), "svl");
    // The device data wiped by the delete is back in the common block.
    EXPECT_NE(text(mapAt(mapAt(first, "common"), "identity"), "adid"), "<none>");
    EXPECT_NE(text(mapAt(mapAt(first, "common"), "device"), "model"), "<none>");

    // A second failure changes nothing; the next attempt resends the same event.
    EXPECT_EQ(run(false, 500), 1);
    EXPECT_TRUE(logged("Restart API failed again!"));
    EXPECT_EQ(state(), DRState::INIT_RESTART_NOT_SYNCED);
    const Value::Map resent = mapAt(lastDRBody(), "event");
    EXPECT_EQ(text(resent, "log_id"), text(firstEvent, "log_id"));
    EXPECT_EQ(text(resent, "event_datetime"), text(firstEvent, "event_datetime"));
    EXPECT_EQ(text(resent, "prev_id"), text(firstEvent, "prev_id"));

    // Then it succeeds: the stored event goes.
    EXPECT_EQ(run(false, 200), 0);
    EXPECT_EQ(state(), DRState::INIT_RESTART_SYNCED);
    EXPECT_FALSE(registry->getStringOrNil(DataRegistryKey::STRING_INIT_RESTART_EVENT_DATETIME,
                                          std::nullopt));
    EXPECT_FALSE(
        registry->getStringOrNil(DataRegistryKey::STRING_INIT_RESTART_EVENT_ID, std::nullopt));

    // From NORMAL a restart is a plain "restart" without an event.
    setState(DRState::NORMAL);
    EXPECT_EQ(run(false, 200), 0);
    EXPECT_EQ(text(lastDRBody(), "operation_type"), "restart");
    EXPECT_EQ(lastDRBody().count("event"), 0u);
    EXPECT_EQ(state(), DRState::INIT_RESTART_SYNCED);

    // A failed delete, then another: the second leaves everything as it was.
    setState(DRState::NORMAL);
    EXPECT_EQ(run(true, 500), 1);
    EXPECT_EQ(state(), DRState::DELETE_NOT_SYNCED);
    registry->putString(std::string("kept"), DataRegistryKey::STRING_LAST_OPEN_ID);
    EXPECT_EQ(run(true, 503), 1);
    EXPECT_TRUE(logged("Delete API failed again!"));
    EXPECT_EQ(state(), DRState::DELETE_NOT_SYNCED);
    EXPECT_EQ(registry->getString(DataRegistryKey::STRING_LAST_OPEN_ID, ""), "kept");

    // Without the keys nothing is wiped, and the app still hears back.
    setState(DRState::NORMAL);
    registry->putString(std::nullopt, DataRegistryKey::STRING_SECRETKEY);
    EXPECT_EQ(run(true, 500), 1);
    EXPECT_TRUE(logged("onDeleteComplete : appkey or secretKey is nil"));
    EXPECT_EQ(state(), DRState::NORMAL);
}

TEST_F(RepositoryDeleteRestartTest, ADeleteAnswerLeavesOnlyTheTwoKeysAndTheTwoFlags) {
    // Data of every kind: properties, events queued and stored, device data.
    ASSERT_TRUE(repository->saveUserProperty({{"svl:user_id", Value("u-9")}}));
    ASSERT_TRUE(repository->saveCiProperty({{"tier", Value("gold")}}));
    for (int i = 0; i < 12; ++i) {
        auto p = LogEventParameter::initWithEventName("custom", "before", {});
        p.eventId = "old-" + std::to_string(i);
        repository->logEvent(p);
    }
    repository->saveUnsentEvents();
    buffer->waitUntilIdle();
    realtime->refreshData();
    const std::string oldAdid = registry->getString(DataRegistryKey::STRING_ADID, "");
    ASSERT_FALSE(oldAdid.empty());
    ASSERT_GT(storedKeys().size(), 10u);

    std::set<std::string> atAnswer;
    std::optional<Value> unsentAtAnswer;
    repository->requestDeleteUserData("u-9", [&](Completion c) {
        EXPECT_EQ(c, Completion::SUCCESS);
        atAnswer = storedKeys();
        unsentAtAnswer = registry->getValue(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
    });
    // The pipeline may already have stored its empty list of unsent events.
    const std::string unsentKey(rawValue(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES));
    if (atAnswer.erase(unsentKey) != 0) {
        ASSERT_TRUE(unsentAtAnswer && unsentAtAnswer->isBytes());
        EXPECT_EQ(
            std::string(unsentAtAnswer->getBytes()->begin(), unsentAtAnswer->getBytes()->end()),
            "[]");
    }
    EXPECT_EQ(atAnswer, (std::set<std::string>{"svlPrefKey_appKey", "svlPrefKey_secretKey",
                                               "svlPrefKey_isSDKStopped",
                                               "svlPrefKey_isSDKStoppedServerSync"}));
    EXPECT_EQ(registry->getString(DataRegistryKey::STRING_APPKEY, ""), nettest::kAppKey);
    EXPECT_EQ(registry->getString(DataRegistryKey::STRING_SECRETKEY, ""), nettest::kSecretKey);
    EXPECT_EQ(state(), DRState::DELETE_SYNCED);

    // The device id is gone from the keychain and is not brought back.
    EXPECT_TRUE(std::holds_alternative<KeyChainError>(Util_keychain::shared()->getAdid()));
    EXPECT_TRUE(logged("delete keychain success"));
    realtime->refreshData();
    const std::string newAdid = registry->getString(DataRegistryKey::STRING_ADID, "");
    EXPECT_FALSE(newAdid.empty());
    EXPECT_NE(newAdid, oldAdid);

    // Nothing of before comes back: not the properties, not the events.
    EXPECT_TRUE(userProperties->userPropertyDic().empty());
    EXPECT_TRUE(userProperties->ciPropertyDic().empty());
    setState(DRState::INIT_RESTART_SYNCED);  // as after a restart: sending allowed
    auto p = LogEventParameter::initWithEventName("custom", "after", {});
    p.eventId = "new-1";
    repository->logEvent(p);
    auto events = storedEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(text(events[0], "log_id"), "new-1");
    EXPECT_TRUE(mapAt(events[0], "user_properties").empty());
    EXPECT_TRUE(mapAt(events[0], "ci").empty());
    repository->flushAllNow();
    buffer->waitUntilIdle();
    std::vector<std::string> uploaded = uploadedLogIds();
    EXPECT_EQ(uploaded, std::vector<std::string>{"new-1"});
}

TEST_F(RepositoryDeleteRestartTest, TheRestartBodyFollowsTheState) {
    struct Case {
        DRState state;
        DROperationType expected;
        bool event;
    };
    for (const Case& c : {Case{DRState::NORMAL, DROperationType::RESTART, false},
                          Case{DRState::INIT_RESTART_SYNCED, DROperationType::INITIALIZE, true},
                          Case{DRState::DELETE_NOT_SYNCED, DROperationType::INITIALIZE, true},
                          Case{DRState::DELETE_SYNCED, DROperationType::INITIALIZE, true}}) {
        SCOPED_TRACE(drStateName(c.state));
        setState(c.state);
        auto first = asDR(repository->buildDRModel("u"));
        ASSERT_TRUE(first);
        EXPECT_EQ(first->operationType, c.expected);
        EXPECT_EQ(first->userId, "u");
        EXPECT_EQ(first->getUrl(), Constants::fill(Constants::DRWORKS_URL(), {nettest::kAppKey}));
        ASSERT_EQ(first->event.has_value(), c.event);
        if (!c.event) {
            continue;
        }
        // A new event each time, and the last one is the one stored.
        auto second = asDR(repository->buildDRModel("u"));
        ASSERT_TRUE(second && second->event);
        EXPECT_NE(text(*first->event, "log_id"), text(*second->event, "log_id"));
        EXPECT_EQ(registry->getString(DataRegistryKey::STRING_INIT_RESTART_EVENT_ID, ""),
                  text(*second->event, "log_id"));
        EXPECT_EQ(registry->getString(DataRegistryKey::STRING_INIT_RESTART_EVENT_DATETIME, ""),
                  text(*second->event, "event_datetime"));
    }

    // Not synced: the stored event again, its previous id included.
    setState(DRState::DELETE_SYNCED);
    auto made = asDR(repository->buildDRModel("u"));
    ASSERT_TRUE(made && made->event);
    setState(DRState::INIT_RESTART_NOT_SYNCED);
    buffer->eventCounters()->setPrevId("later-event");
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto resent = asDR(repository->buildDRModel("u"));
        ASSERT_TRUE(resent && resent->event);
        EXPECT_EQ(resent->operationType, DROperationType::INITIALIZE);
        EXPECT_EQ(text(*resent->event, "log_id"), text(*made->event, "log_id"));
        EXPECT_EQ(text(*resent->event, "event_datetime"), text(*made->event, "event_datetime"));
        EXPECT_EQ(text(*resent->event, "prev_id"), text(*made->event, "prev_id"));
    }

    // Nothing stored to resend: a new event, with a line saying so.
    registry->putString(std::nullopt, DataRegistryKey::STRING_INIT_RESTART_EVENT_ID);
    auto fresh = asDR(repository->buildDRModel("u"));
    ASSERT_TRUE(fresh && fresh->event);
    EXPECT_NE(text(*fresh->event, "log_id"), text(*made->event, "log_id"));
    EXPECT_TRUE(logged("no stored init-restart event to resend"));
}

}  // namespace
}  // namespace sorvel::repotest
