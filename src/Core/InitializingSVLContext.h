#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Common/DataRegistry.h"
#include "Core/ISVLContext.h"
#include "Core/ISVLContextController.h"
#include "Core/SVLContextError.h"
#include "Data/DataProviders/IDataProvider.h"
#include "Data/Repository/IRepository.h"

namespace sorvel {

// The state the controller starts in, and returns to after a completed
// restart: it initialises the SDK with the app's keys. Every other call is
// ignored with a warning; a message-history completion is answered with a
// failure carrying CalledBeforeInitError.
class InitializingSVLContext final : public ISVLContext {
  public:
    // The controller is asked for when a key is refused, not before: the
    // controller builds its first context while it is itself being built.
    using ControllerProvider = std::function<std::shared_ptr<ISVLContextController>()>;

    InitializingSVLContext(std::shared_ptr<DataRegistry> dataRegistry,
                           std::shared_ptr<IRepository> repository,
                           std::shared_ptr<IDataProvider> deviceStaticDataProvider,
                           std::shared_ptr<IDataProvider> deviceRealtimeDataProvider,
                           ControllerProvider controller);

    SVLContextState contextState() const override { return SVLContextState::INITIALIZING; }

    // Checks and stores the keys, loads and synchronises the configuration,
    // refreshes the device data, then calls the completion once on the calling
    // thread: SUCCESS, or FAILURE when the SDK is disabled (forget-me, pause,
    // a delete state, or the remote all-stop flag stored by an earlier run).
    // A refused key disables the SDK instead, and the completion is not called.
    void initialize(const std::string& appKey, const std::string& secretKey,
                    CompletionCallback completion) override;
    // Both keys must be exactly 22 user-perceived characters; true when both
    // were, and then both are stored.
    bool validateKeys(const std::string& appKey, const std::string& secretKey);
    // Installs a disabled state whose reason is the error's description.
    void onInitializeError(SVLContextError error);

    void saveUserProperty(const Value::Map& properties, bool isCi) override;
    bool saveUserPropertyWithoutEvent(const Value::Map& properties, bool isCi) override;
    void logEvent(LogEventParameter parameter) override;
    void logSameEventWithPaging(const std::vector<SorvelKvCommerceProductModel>& products,
                                const std::string& eventName,
                                const Value::Map& attributes) override;
    void flushAtIntervals() override {}
    void didBecomeActive() override;
    void willResignActive() override;
    void deeplink(const std::string& urlString) override;
    void clearUserProperty() override;
    void deleteUserData(const std::string& userId, CompletionCallback completion) override;
    void restartSDK(const std::string& userId, CompletionCallback completion) override;
    void triggerInAppMessage(const std::string& event) override;
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

  private:
    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<IRepository> repository_;
    const std::shared_ptr<IDataProvider> deviceStaticDataProvider_;
    const std::shared_ptr<IDataProvider> deviceRealtimeDataProvider_;
    const ControllerProvider controller_;
};

}  // namespace sorvel
