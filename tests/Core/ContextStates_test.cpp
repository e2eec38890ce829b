#include <gtest/gtest.h>

#include <atomic>

#include "Core/ActiveSVLContext.h"
#include "Core/DisabledSVLContext.h"
#include "Core/InitializingSVLContext.h"
#include "CoreFakes.h"

namespace sorvel::coretest {
namespace {

using ::testing::_;
using ::testing::InSequence;
using testing::LogCapture;
using ::testing::NiceMock;

class CountingProvider : public IDataProvider {
  public:
    void refreshData() override { refreshes.fetch_add(1); }
    std::atomic<int> refreshes{0};
};

// The real initialising and disabled states behind a real controller; the
// active state is a fake that records what reaches it.
class RealStatesFactory : public ISVLContextFactory {
  public:
    std::shared_ptr<ISVLContext> makeInitializingContext() override {
        return std::make_shared<InitializingSVLContext>(
            registry, repository, staticData, realtimeData,
            [this]() -> std::shared_ptr<ISVLContextController> { return controller.lock(); });
    }
    std::shared_ptr<ISVLContext> makeActiveContext() override {
        return std::make_shared<FakeContext>(SVLContextState::ACTIVE, 1, "", log, script);
    }
    std::shared_ptr<ISVLContext> makeDisabledContext(const std::string& reason) override {
        return std::make_shared<DisabledSVLContext>(reason, repository);
    }

    std::shared_ptr<DataRegistry> registry;
    std::shared_ptr<IRepository> repository;
    std::shared_ptr<CountingProvider> staticData = std::make_shared<CountingProvider>();
    std::shared_ptr<CountingProvider> realtimeData = std::make_shared<CountingProvider>();
    std::weak_ptr<ISVLContextController> controller;
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    std::shared_ptr<Script> script = std::make_shared<Script>();
};

class ContextStatesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
        SvlLog::initQaMode(registry_.get());
        factory_->registry = registry_;
        factory_->repository = repository_;
        controller_ = DefaultSVLContextController::create(registry_, repository_, factory_,
                                                          [this] { resets_.fetch_add(1); });
        factory_->controller = controller_;
    }

    // Submits INITIALIZE and the first activation and waits until both ran.
    void start(const std::string& appKey, const std::string& secretKey) {
        controller_->initialize(appKey, secretKey);
        controller_->didBecomeActive();
        controller_->waitForDispatched();
    }
    SVLContextState state() const { return controller_->currentContext()->contextState(); }
    bool logged(const std::string& text) { return capture_.contains(text); }

    static constexpr const char* kKey = "APPKEY_0123456789ABCDE";
    static constexpr const char* kSecret = "SECRET_0123456789ABCDE";

    testing::FreshSdk sdk_;
    LogCapture capture_;
    std::shared_ptr<DataRegistry> registry_ =
        std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    std::shared_ptr<NiceMock<MockRepository>> repository_ =
        std::make_shared<NiceMock<MockRepository>>();
    std::shared_ptr<RealStatesFactory> factory_ = std::make_shared<RealStatesFactory>();
    std::shared_ptr<DefaultSVLContextController> controller_;
    std::atomic<int> resets_{0};
};

TEST_F(ContextStatesTest, ValidKeysAreStoredThenConfigurationThenDeviceDataThenActive) {
    {
        InSequence order;
        EXPECT_CALL(*repository_, initDefaultConfigValue());
        EXPECT_CALL(*repository_, syncApplicationConfigure());
    }
    // 22 user-perceived characters: the accented letter is two code points.
    const std::string appKey = "APPKEY_0123456789ABCDe\u0301";
    start(appKey, kSecret);
    EXPECT_EQ(state(), SVLContextState::ACTIVE);
    EXPECT_EQ(registry_->getStringOrNil(DataRegistryKey::STRING_APPKEY, std::nullopt), appKey);
    EXPECT_EQ(registry_->getStringOrNil(DataRegistryKey::STRING_SECRETKEY, std::nullopt), kSecret);
    EXPECT_EQ(factory_->staticData->refreshes.load(), 1);
    EXPECT_EQ(factory_->realtimeData->refreshes.load(), 1);
    EXPECT_TRUE(logged("Trying to initialize Sorvel Kelvaned SDK"));
    EXPECT_TRUE(logged("Both AppKey and SecretKey are valid"));
    EXPECT_TRUE(logged("Result of initializing Sorvel SDK : Success"));
    // The held activation reached the active state.
    EXPECT_EQ(factory_->log->entries(), (std::vector<std::string>{"A1 didBecomeActive"}));
}

TEST_F(ContextStatesTest, AKeyOfAnotherLengthDisablesWithoutStoringOrConfiguring) {
    EXPECT_CALL(*repository_, initDefaultConfigValue()).Times(0);
    EXPECT_CALL(*repository_, syncApplicationConfigure()).Times(0);
    start("APPKEY_0123456789ABCD", kSecret);  // 21 characters
    EXPECT_EQ(state(), SVLContextState::DISABLED);
    EXPECT_TRUE(logged("AppKey가 길이 22의 문자열이 아닙니다."));
    EXPECT_TRUE(logged("SVL SDK가 Disabled 되었습니다. 이유는 = Invalid AppKey"));
    EXPECT_FALSE(registry_->getStringOrNil(DataRegistryKey::STRING_APPKEY, std::nullopt));
    // Installed directly, not through disableSDK: no container reset.
    EXPECT_EQ(resets_.load(), 0);
    // The held activation met the disabled state.
    EXPECT_TRUE(logged(DisabledSVLContext::WARNING_FOR_DISABLED_CONTEXT));
}

TEST_F(ContextStatesTest, AValidAppKeyWithABadSecretKeyStoresNeither) {
    start(kKey, "SECRET_0123456789ABCDEF");  // 23 characters
    EXPECT_EQ(state(), SVLContextState::DISABLED);
    EXPECT_TRUE(logged("SecretKey가 길이 22의 문자열이 아닙니다."));
    EXPECT_TRUE(logged("이유는 = Invalid SecretKey"));
    EXPECT_FALSE(logged("AppKey가 길이 22의"));
    EXPECT_FALSE(registry_->getStringOrNil(DataRegistryKey::STRING_APPKEY, std::nullopt));
}

// A flag stored by an earlier run, before the controller (and its listeners)
// exists.
class StoredFlagTest : public ContextStatesTest,
                       public ::testing::WithParamInterface<DataRegistryKey> {
  protected:
    void SetUp() override {
        registry_->putBool(true, GetParam());
        registry_->putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);
        ContextStatesTest::SetUp();
    }
};

TEST_P(StoredFlagTest, FailsInitialisationAfterTheConfigurationRan) {
    EXPECT_CALL(*repository_, syncApplicationConfigure());
    start(kKey, kSecret);
    EXPECT_EQ(state(), SVLContextState::DISABLED);
    EXPECT_EQ(resets_.load(), 1);
    EXPECT_TRUE(logged("이유는 = Initializing Failed"));
    EXPECT_EQ(factory_->staticData->refreshes.load(), 0);
    EXPECT_EQ(factory_->realtimeData->refreshes.load(), 0);
    // The keys were stored before the check.
    EXPECT_EQ(registry_->getStringOrNil(DataRegistryKey::STRING_APPKEY, std::nullopt), kKey);
}

INSTANTIATE_TEST_SUITE_P(ForgetMeAndAllStop, StoredFlagTest,
                         ::testing::Values(DataRegistryKey::BOOL_GDPR_FORGET_ME,
                                           DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP));

TEST_F(ContextStatesTest, EarlyCallsAreIgnoredAndHistoryCompletionsFailOnce) {
    auto context = factory_->makeInitializingContext();
    int answers = 0;
    std::optional<ActionHistoryError> error;
    context->getActionHistory(0, 10, {}, [&](const ActionHistoryResult& r) {
        ++answers;
        error = r.getError()->actionHistoryError();
    });
    EXPECT_EQ(answers, 1);
    EXPECT_EQ(error, ActionHistoryError::CalledBeforeInitError);
    bool called = false;
    context->deleteUserData("u", [&](Completion) { called = true; });
    context->restartSDK("u", [&](Completion) { called = true; });
    EXPECT_FALSE(called);
    EXPECT_FALSE(context->saveUserPropertyWithoutEvent({{"k", Value(1)}}, false));
    context->deleteActionHistory(std::nullopt, "h", 1, [](const ActionHistoryResult&) {});
    EXPECT_TRUE(
        logged("초기화전에 getActionHistory 함수가 호출되었습니다. 해당 호출은 무시됩니다."));
    EXPECT_TRUE(logged("초기화전에 deleteUserData 함수가 호출되었습니다. 해당 호출은 무시됩니다."));
    EXPECT_TRUE(
        logged("초기화전에 deleteActionHistory(token:historyId:timeStamp:completion:) 함수가 "
               "호출되었습니다."));
}

TEST_F(ContextStatesTest, DisabledRefusesEverythingButDeleteAndRestart) {
    DisabledSVLContext context("Sorvel Pause", repository_);
    EXPECT_TRUE(logged("SVL SDK가 Disabled 되었습니다. 이유는 = Sorvel Pause"));
    capture_.clear();

    int answers = 0;
    context.getAllActionHistory({}, [&](const ActionHistoryResult& r) {
        ++answers;
        EXPECT_FALSE(r.isSucceeded());
        EXPECT_EQ(r.getError()->actionHistoryError(), ActionHistoryError::SDKDisabledStateError);
        EXPECT_EQ(r.getError()->localizedDescription(),
                  DisabledSVLContext::WARNING_FOR_DISABLED_CONTEXT);
    });
    EXPECT_EQ(answers, 1);
    EXPECT_FALSE(context.saveUserPropertyWithoutEvent({{"k", Value(1)}}, false));
    EXPECT_CALL(*repository_, logEvent(_)).Times(0);
    context.logEvent(event("e"));

    // Delete and restart reach the repository with the app's completion.
    std::vector<Completion> outcomes;
    EXPECT_CALL(*repository_, requestDeleteUserData("u1", _))
        .WillOnce([](const std::string&, CompletionCallback c) { c(Completion::SUCCESS); });
    EXPECT_CALL(*repository_, restartSDK("u2", _))
        .WillOnce([](const std::string&, CompletionCallback c) { c(Completion::FAILURE); });
    context.deleteUserData("u1", [&](Completion c) { outcomes.push_back(c); });
    context.restartSDK("u2", [&](Completion c) { outcomes.push_back(c); });
    EXPECT_EQ(outcomes, (std::vector<Completion>{Completion::SUCCESS, Completion::FAILURE}));
    EXPECT_TRUE(logged("Delete user data api called"));
    EXPECT_TRUE(logged("Restart SDK api called!"));
    SvlLog::flush();
    int warnings = 0;
    for (const auto& line : capture_.lines()) {
        warnings +=
            line.find(DisabledSVLContext::WARNING_FOR_DISABLED_CONTEXT) != std::string::npos;
    }
    EXPECT_EQ(warnings, 3);  // the history call, the save, the event
}

// The controller hands every event's in-app key over in pieces; the running
// state joins them only for a lookup the repository would make.
TEST_F(ContextStatesTest, TheRunningStateAsksForInAppMessagesOnlyWhileTheyAreOn) {
    auto active =
        std::make_shared<ActiveSVLContext>(registry_, repository_, ActiveSVLContext::Generators{});
    EXPECT_CALL(*repository_, getInAppMessage(_)).Times(0);
    active->triggerInAppMessageFor("custom", "purchase");
    registry_->putBool(false, DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE);
    active->triggerInAppMessageFor("svl", "login");
    ::testing::Mock::VerifyAndClearExpectations(repository_.get());

    registry_->putBool(true, DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE);
    {
        InSequence inOrder;
        EXPECT_CALL(*repository_, getInAppMessage("custom:a_name_past_the_short_text_size"));
        EXPECT_CALL(*repository_, getInAppMessage("svl:login"));
        EXPECT_CALL(*repository_, getInAppMessage("custom:"));
        EXPECT_CALL(*repository_, getInAppMessage("svl:purchase"));
    }
    active->triggerInAppMessageFor("custom", "a_name_past_the_short_text_size");
    active->triggerInAppMessageFor("svl", "login");
    active->triggerInAppMessageFor("custom", "");
    // The joined key as it was always handed down.
    active->triggerInAppMessage("svl:purchase");
    ::testing::Mock::VerifyAndClearExpectations(repository_.get());

    // An event recorded from inside a lookup (a log listener's, say) joins
    // its own key and leaves the outer one whole.
    std::string outerSeen;
    EXPECT_CALL(*repository_, getInAppMessage("svl:inner"));
    EXPECT_CALL(*repository_, getInAppMessage("custom:an_outer_event_with_a_long_name"))
        .WillOnce([&](const std::string& key) {
            active->triggerInAppMessageFor("svl", "inner");
            outerSeen = key;
        });
    active->triggerInAppMessageFor("custom", "an_outer_event_with_a_long_name");
    EXPECT_EQ(outerSeen, "custom:an_outer_event_with_a_long_name");
    ::testing::Mock::VerifyAndClearExpectations(repository_.get());

    // Switched off again: nothing more is asked.
    EXPECT_CALL(*repository_, getInAppMessage(_)).Times(0);
    registry_->putBool(false, DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE);
    active->triggerInAppMessageFor("custom", "purchase");
}

}  // namespace
}  // namespace sorvel::coretest
