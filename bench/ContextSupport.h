#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/DefaultSVLContextController.h"
#include "Core/ISVLContext.h"

namespace sorvel::bench {

// A context state that answers initialise with success (while initialising)
// and does nothing else; a benchmark overrides what its road needs.
class IdleContext : public ISVLContext {
  public:
    explicit IdleContext(SVLContextState state) : state_(state) {}
    SVLContextState contextState() const override { return state_; }
    void initialize(const std::string&, const std::string&, CompletionCallback c) override {
        if (state_ == SVLContextState::INITIALIZING) {
            c(Completion::SUCCESS);
        }
    }
    void saveUserProperty(const Value::Map&, bool) override {}
    bool saveUserPropertyWithoutEvent(const Value::Map&, bool) override { return false; }
    void logEvent(LogEventParameter) override {}
    void logSameEventWithPaging(const std::vector<SorvelKvCommerceProductModel>&,
                                const std::string&, const Value::Map&) override {}
    void flushAtIntervals() override {}
    void didBecomeActive() override {}
    void willResignActive() override {}
    void deeplink(const std::string&) override {}
    void clearUserProperty() override {}
    void deleteUserData(const std::string&, CompletionCallback) override {}
    void restartSDK(const std::string&, CompletionCallback) override {}
    void triggerInAppMessage(const std::string&) override {}
    void fetchActionHistoryFromServer(const std::optional<std::string>&, ActionHistoryIdType,
                                      const std::vector<std::string>&,
                                      ActionHistoryCompletion) override {}
    void insertPushData(const Value::Map&) override {}
    void getActionHistory(std::int64_t, std::int64_t, const std::vector<std::string>&,
                          ActionHistoryCompletion) override {}
    void getAllActionHistory(const std::vector<std::string>&, ActionHistoryCompletion) override {}
    void deleteAllActionHistory(const std::optional<std::string>&, ActionHistoryIdType,
                                ActionHistoryCompletion) override {}
    void deleteActionHistory(const std::optional<std::string>&, const std::string&, std::int64_t,
                             ActionHistoryCompletion) override {}
    void clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion) override {}
    void clearAllActionHistoryInLocalDB() override {}

  protected:
    bool isActive() const { return state_ == SVLContextState::ACTIVE; }

  private:
    const SVLContextState state_;
};

// Makes each state with one function of the state.
class StateFactory final : public ISVLContextFactory {
  public:
    using Make = std::function<std::shared_ptr<ISVLContext>(SVLContextState)>;
    explicit StateFactory(Make make) : make_(std::move(make)) {}
    std::shared_ptr<ISVLContext> makeInitializingContext() override {
        return make_(SVLContextState::INITIALIZING);
    }
    std::shared_ptr<ISVLContext> makeActiveContext() override {
        return make_(SVLContextState::ACTIVE);
    }
    std::shared_ptr<ISVLContext> makeDisabledContext(const std::string&) override {
        return make_(SVLContextState::DISABLED);
    }

  private:
    const Make make_;
};

}  // namespace sorvel::bench
