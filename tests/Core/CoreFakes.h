#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "Core/DefaultSVLContextController.h"
#include "Data/Repository/IRepository.h"
#include "Platform/Dispatch.h"
#include "Platform/Host.h"
#include "support/TestSupport.h"
#include "Common/GdprForgetMe.h"

namespace sorvel::coretest {

class MockRepository : public IRepository {
  public:
    MOCK_METHOD(bool, saveUserProperty, (const Value::Map&), (override));
    MOCK_METHOD(bool, saveCiProperty, (const Value::Map&), (override));
    MOCK_METHOD(void, clearUserProperty, (), (override));
    MOCK_METHOD(void, initDefaultConfigValue, (), (override));
    MOCK_METHOD(void, syncApplicationConfigure, (), (override));
    MOCK_METHOD(void, requestGdprForgetMe, (GdprForgetMe::Done), (override));
    MOCK_METHOD(void, saveUnsentEvents, (), (override));
    MOCK_METHOD(void, logEvent, (LogEventParameter), (override));
    MOCK_METHOD(void, logSameEventWithPaging,
                (const std::vector<SorvelKvCommerceProductModel>&, const std::string&,
                 const Value::Map&),
                (override));
    MOCK_METHOD(void, flushAllNow, (), (override));
    MOCK_METHOD(void, flushAtIntervals, (), (override));
    MOCK_METHOD(void, resetInAppMessageSessionFrequency, (), (override));
    MOCK_METHOD(void, getInAppMessage, (const std::string&), (override));
    MOCK_METHOD(void, fetchInAppMessages, (), (override));
    MOCK_METHOD(void, requestDeleteUserData, (const std::string&, CompletionCallback), (override));
    MOCK_METHOD(void, restartSDK, (const std::string&, CompletionCallback), (override));
    MOCK_METHOD(void, fetchActionHistoryFromServer,
                (const std::optional<std::string>&, ActionHistoryIdType,
                 const std::vector<std::string>&, ActionHistoryCompletion),
                (override));
    MOCK_METHOD(void, insertPushData, (const Value::Map&), (override));
    MOCK_METHOD(void, getActionHistory,
                (std::int64_t, std::int64_t, const std::vector<std::string>&,
                 ActionHistoryCompletion),
                (override));
    MOCK_METHOD(void, getAllActionHistory,
                (const std::vector<std::string>&, ActionHistoryCompletion), (override));
    MOCK_METHOD(void, deleteAllActionHistory,
                (const std::optional<std::string>&, ActionHistoryIdType, ActionHistoryCompletion),
                (override));
    MOCK_METHOD(void, deleteActionHistory,
                (const std::optional<std::string>&, const std::string&, std::int64_t,
                 ActionHistoryCompletion),
                (override));
    MOCK_METHOD(void, clearSyncedActionHistoryInLocalDB, (ActionHistoryCompletion), (override));
    MOCK_METHOD(void, clearAllActionHistoryInLocalDB, (), (override));
};

// What the fake contexts did, shared by all contexts of one controller. Each
// entry is "<state letter><context number> <operation>[ <detail>]", e.g.
// "A2 logEvent e1".
class CallLog {
  public:
    void add(std::string entry) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            entries_.push_back(std::move(entry));
        }
        testing::notifyWaiters();
    }
    std::vector<std::string> entries(bool withFlushes = false) const {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<std::string> out;
        for (const auto& e : entries_) {
            if (withFlushes || e.find(" flushAtIntervals") == std::string::npos) {
                out.push_back(e);
            }
        }
        return out;
    }
    std::size_t count(const std::string& needle) const {
        std::lock_guard<std::mutex> lock(mu_);
        std::size_t n = 0;
        for (const auto& e : entries_) {
            n += e.find(needle) != std::string::npos ? 1 : 0;
        }
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mu_);
        entries_.clear();
    }

  private:
    mutable std::mutex mu_;
    std::vector<std::string> entries_;
};

// How the fake initialising state answers initialize.
enum class InitAnswer {
    AtOnce,           // success, synchronously, like the real state
    FromOtherThread,  // success, later, from a global-queue thread
    Held,             // kept in Script::heldInit for the test to fire
};

// Behaviour and observations shared by the contexts of one controller.
struct Script {
    InitAnswer initAnswer = InitAnswer::AtOnce;
    // Runs inside initialize before it answers (e.g. a disable meanwhile).
    std::function<void()> duringInitialize;

    std::mutex mu;
    std::vector<CompletionCallback> heldInit;
    std::vector<CompletionCallback> heldDeletes;
    std::vector<CompletionCallback> heldRestarts;
    std::vector<LogEventParameter> loggedEvents;
    std::vector<std::optional<std::string>> tokens;
    std::vector<std::thread::id> triggerThreads;

    template <class T>
    void keep(std::vector<T>& list, T value) {
        std::lock_guard<std::mutex> lock(mu);
        list.push_back(std::move(value));
    }
    // Takes the first held completion of the list, or nothing.
    std::optional<CompletionCallback> take(std::vector<CompletionCallback>& list) {
        std::lock_guard<std::mutex> lock(mu);
        if (list.empty()) {
            return std::nullopt;
        }
        auto c = std::move(list.front());
        list.erase(list.begin());
        return c;
    }
};

// Calls the completion from a global-queue thread, as a network answer would.
inline void answerFromOtherThread(CompletionCallback completion, Completion result) {
    platform::DispatchQueue::global().async(
        [completion = std::move(completion), result] { completion(result); });
}

class FakeContext : public ISVLContext {
  public:
    FakeContext(SVLContextState state, int number, std::string reason, std::shared_ptr<CallLog> log,
                std::shared_ptr<Script> script)
        : state_(state),
          tag_(std::string(state == SVLContextState::INITIALIZING ? "I"
                           : state == SVLContextState::ACTIVE     ? "A"
                                                                  : "D") +
               std::to_string(number)),
          reason_(std::move(reason)),
          log_(std::move(log)),
          script_(std::move(script)) {}

    const std::string& reason() const { return reason_; }
    const std::string& tag() const { return tag_; }

    SVLContextState contextState() const override { return state_; }

    void initialize(const std::string& appKey, const std::string& secretKey,
                    CompletionCallback completion) override {
        record("initialize " + appKey + "/" + secretKey);
        if (state_ != SVLContextState::INITIALIZING) {
            return;
        }
        if (script_->duringInitialize) {
            script_->duringInitialize();
        }
        switch (script_->initAnswer) {
            case InitAnswer::AtOnce:
                completion(Completion::SUCCESS);
                break;
            case InitAnswer::FromOtherThread:
                answerFromOtherThread(std::move(completion), Completion::SUCCESS);
                break;
            case InitAnswer::Held:
                script_->keep(script_->heldInit, std::move(completion));
                break;
        }
    }
    void saveUserProperty(const Value::Map& properties, bool isCi) override {
        record("saveUserProperty " + std::to_string(properties.size()) + (isCi ? " ci" : ""));
    }
    bool saveUserPropertyWithoutEvent(const Value::Map& properties, bool isCi) override {
        record("saveUserPropertyWithoutEvent " + std::to_string(properties.size()) +
               (isCi ? " ci" : ""));
        return true;
    }
    void logEvent(LogEventParameter parameter) override {
        record("logEvent " + parameter.eventName);
        script_->keep(script_->loggedEvents, parameter);
    }
    void logSameEventWithPaging(const std::vector<SorvelKvCommerceProductModel>& products,
                                const std::string& eventName, const Value::Map&) override {
        record("logSameEventWithPaging " + eventName + " " + std::to_string(products.size()));
    }
    void flushAtIntervals() override { record("flushAtIntervals"); }
    void didBecomeActive() override { record("didBecomeActive"); }
    void willResignActive() override { record("willResignActive"); }
    void deeplink(const std::string& urlString) override { record("deeplink " + urlString); }
    void clearUserProperty() override { record("clearUserProperty"); }
    void deleteUserData(const std::string& userId, CompletionCallback completion) override {
        record("deleteUserData " + userId);
        if (state_ != SVLContextState::INITIALIZING) {
            script_->keep(script_->heldDeletes, std::move(completion));
        }
    }
    void restartSDK(const std::string& userId, CompletionCallback completion) override {
        record("restartSDK " + userId);
        if (state_ != SVLContextState::INITIALIZING) {
            script_->keep(script_->heldRestarts, std::move(completion));
        }
    }
    void triggerInAppMessage(const std::string& event) override {
        record("triggerInAppMessage " + event);
        script_->keep(script_->triggerThreads, std::this_thread::get_id());
    }
    void fetchActionHistoryFromServer(const std::optional<std::string>& token, ActionHistoryIdType,
                                      const std::vector<std::string>&,
                                      ActionHistoryCompletion) override {
        record("fetchActionHistoryFromServer");
        script_->keep(script_->tokens, token);
    }
    void insertPushData(const Value::Map&) override { record("insertPushData"); }
    void getActionHistory(std::int64_t skip, std::int64_t limit, const std::vector<std::string>&,
                          ActionHistoryCompletion) override {
        record("getActionHistory " + std::to_string(skip) + "/" + std::to_string(limit));
    }
    void getAllActionHistory(const std::vector<std::string>&, ActionHistoryCompletion) override {
        record("getAllActionHistory");
    }
    void deleteAllActionHistory(const std::optional<std::string>& token, ActionHistoryIdType,
                                ActionHistoryCompletion) override {
        record("deleteAllActionHistory");
        script_->keep(script_->tokens, token);
    }
    void deleteActionHistory(const std::optional<std::string>& token, const std::string& historyId,
                             std::int64_t, ActionHistoryCompletion) override {
        record("deleteActionHistory " + historyId);
        script_->keep(script_->tokens, token);
    }
    void clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion) override {
        record("clearSyncedActionHistoryInLocalDB");
    }
    void clearAllActionHistoryInLocalDB() override { record("clearAllActionHistoryInLocalDB"); }

  private:
    void record(const std::string& what) { log_->add(tag_ + " " + what); }

    const SVLContextState state_;
    const std::string tag_;
    const std::string reason_;
    const std::shared_ptr<CallLog> log_;
    const std::shared_ptr<Script> script_;
};

class FakeContextFactory : public ISVLContextFactory {
  public:
    FakeContextFactory(std::shared_ptr<CallLog> log, std::shared_ptr<Script> script)
        : log_(std::move(log)), script_(std::move(script)) {}

    std::shared_ptr<ISVLContext> makeInitializingContext() override {
        return make(SVLContextState::INITIALIZING, "");
    }
    std::shared_ptr<ISVLContext> makeActiveContext() override {
        return make(SVLContextState::ACTIVE, "");
    }
    std::shared_ptr<ISVLContext> makeDisabledContext(const std::string& reason) override {
        return make(SVLContextState::DISABLED, reason);
    }

    int made(SVLContextState state) const {
        std::lock_guard<std::mutex> lock(mu_);
        int n = 0;
        for (auto s : made_) {
            n += s == state ? 1 : 0;
        }
        return n;
    }

  private:
    std::shared_ptr<ISVLContext> make(SVLContextState state, const std::string& reason) {
        int number = 0;
        {
            std::lock_guard<std::mutex> lock(mu_);
            made_.push_back(state);
            number = static_cast<int>(made_.size());
        }
        return std::make_shared<FakeContext>(state, number, reason, log_, script_);
    }

    mutable std::mutex mu_;
    std::vector<SVLContextState> made_;
    std::shared_ptr<CallLog> log_;
    std::shared_ptr<Script> script_;
};

// A controller over the real registry in a fresh app home, with fake contexts
// and a mock repository.
class ControllerHarness {
  public:
    ControllerHarness() {
        platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
        SvlLog::initQaMode(registry.get());
        rebuild();
    }

    // A new controller on the same registry, repository and script; with a
    // sequence, its queue runs on the sequence's thread.
    void rebuild(std::shared_ptr<platform::DispatchQueue> sequence = nullptr) {
        controller.reset();
        log = std::make_shared<CallLog>();
        factory = std::make_shared<FakeContextFactory>(log, script);
        resets = std::make_shared<std::atomic<int>>(0);
        controller = DefaultSVLContextController::create(
            registry, repository, factory, [resets = resets] { resets->fetch_add(1); },
            std::move(sequence));
    }

    // Waits until every message dispatched so far has run.
    void drain() const { controller->waitForDispatched(); }

    // INITIALIZE and the first activation, run and forgotten.
    void release() {
        controller->initialize(kAppKey, kSecretKey);
        controller->didBecomeActive();
        drain();
        // The controller swaps its context without telling the test.
        ASSERT_TRUE(testing::pollUntil([&] { return state() == SVLContextState::ACTIVE; }));
        log->clear();
    }

    SVLContextState state() const { return controller->currentContext()->contextState(); }
    std::string reason() const {
        return static_cast<FakeContext&>(*controller->currentContext()).reason();
    }
    std::string tag() const {
        return static_cast<FakeContext&>(*controller->currentContext()).tag();
    }

    static constexpr const char* kAppKey = "APPKEY_0123456789ABCDE";
    static constexpr const char* kSecretKey = "SECRET_0123456789ABCDE";

    testing::FreshSdk sdk;
    std::shared_ptr<DataRegistry> registry =
        std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    std::shared_ptr<::testing::NiceMock<MockRepository>> repository =
        std::make_shared<::testing::NiceMock<MockRepository>>();
    std::shared_ptr<Script> script = std::make_shared<Script>();
    std::shared_ptr<CallLog> log;
    std::shared_ptr<FakeContextFactory> factory;
    std::shared_ptr<std::atomic<int>> resets;
    std::shared_ptr<DefaultSVLContextController> controller;
};

inline LogEventParameter event(const std::string& name) {
    LogEventParameter p;
    p.group = "custom";
    p.eventName = name;
    return p;
}

}  // namespace sorvel::coretest
