#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Common/DataRegistry.h"
#include "Core/ISVLContext.h"
#include "Data/Repository/IRepository.h"
#include "Event/AutoEvent.h"

namespace sorvel {

class SessionAutoEventGenerator;
class DeeplinkAutoEventGenerator;
class DailyFirstOpenAutoEventGenerator;

// The state of an initialised, running SDK: each operation runs its use case
// against the repository; the life-cycle and deeplink operations drive the
// session, daily-first-open and deeplink-open generators, each built on the
// first operation that needs it (on the controller queue, which is the only
// place the operations run, so no lock guards them). A second initialise is
// refused with a warning.
class ActiveSVLContext final : public ISVLContext,
                               public std::enable_shared_from_this<ActiveSVLContext> {
  public:
    // How the generators are made; each is handed the action through which
    // it logs its events (this context's logEvent, while the context lives).
    struct Generators {
        std::function<std::shared_ptr<SessionAutoEventGenerator>(LogEventAction)> session;
        std::function<std::shared_ptr<DeeplinkAutoEventGenerator>(LogEventAction)> deeplink;
        std::function<std::shared_ptr<DailyFirstOpenAutoEventGenerator>(LogEventAction)>
            dailyFirstOpen;
    };

    // Flushes the buffered events when the network is connected.
    ActiveSVLContext(std::shared_ptr<DataRegistry> dataRegistry,
                     std::shared_ptr<IRepository> repository, Generators generators);
    ~ActiveSVLContext() override;

    SVLContextState contextState() const override { return SVLContextState::ACTIVE; }

    void initialize(const std::string& appKey, const std::string& secretKey,
                    CompletionCallback completion) override;
    // Saves; when anything changed, logs "user_property_changed".
    void saveUserProperty(const Value::Map& properties, bool isCi) override;
    bool saveUserPropertyWithoutEvent(const Value::Map& properties, bool isCi) override;
    void logEvent(LogEventParameter parameter) override;
    void logSameEventWithPaging(const std::vector<SorvelKvCommerceProductModel>& products,
                                const std::string& eventName,
                                const Value::Map& attributes) override;
    void flushAtIntervals() override;
    // The session first, then the daily-first-open timer.
    void didBecomeActive() override;
    // The session end is recorded, the buffer flushed (network permitting),
    // then the unsent packages saved whatever the network.
    void willResignActive() override;
    void deeplink(const std::string& urlString) override;
    void clearUserProperty() override;
    void deleteUserData(const std::string& userId, CompletionCallback completion) override;
    void restartSDK(const std::string& userId, CompletionCallback completion) override;
    void triggerInAppMessage(const std::string& event) override;
    // Nothing, not even the key, while in-app messages are off.
    void triggerInAppMessageFor(const std::string& group, const std::string& eventName) override;
    void fetchActionHistoryFromServer(const std::optional<std::string>& token,
                                      ActionHistoryIdType idType,
                                      const std::vector<std::string>& actionType,
                                      ActionHistoryCompletion completion) override;
    void insertPushData(const Value::Map& pushJsonDic) override;
    void getActionHistory(std::int64_t skip, std::int64_t limit,
                          const std::vector<std::string>& actionType,
                          ActionHistoryCompletion completion) override;
    void getAllActionHistory(const std::vector<std::string>& actionType,
                             ActionHistoryCompletion completion) override;
    void deleteAllActionHistory(const std::optional<std::string>& token, ActionHistoryIdType idType,
                                ActionHistoryCompletion completion) override;
    void deleteActionHistory(const std::optional<std::string>& token, const std::string& historyId,
                             std::int64_t timeStamp, ActionHistoryCompletion completion) override;
    void clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion completion) override;
    void clearAllActionHistoryInLocalDB() override;

    // The generators, built on first use.
    std::shared_ptr<SessionAutoEventGenerator> sessionAutoEventGenerator();
    std::shared_ptr<DeeplinkAutoEventGenerator> deeplinkAutoEventGenerator();
    std::shared_ptr<DailyFirstOpenAutoEventGenerator> dailyFirstOpenAutoEventGenerator();

  private:
    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<IRepository> repository_;
    const Generators generators_;
    std::shared_ptr<SessionAutoEventGenerator> session_;
    std::shared_ptr<DeeplinkAutoEventGenerator> deeplink_;
    std::shared_ptr<DailyFirstOpenAutoEventGenerator> dailyFirstOpen_;
};

}  // namespace sorvel
