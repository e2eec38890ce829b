#pragma once

#include <memory>
#include <string>

#include "Core/ISVLContext.h"
#include "Data/Repository/IRepository.h"

namespace sorvel {

// The state of a stopped SDK. Every call is refused with one warning, and a
// message-history completion is answered with a failure carrying
// SDKDisabledStateError. Delete-user-data and restart still run: a completed
// restart is the way out of this state.
class DisabledSVLContext final : public ISVLContext {
  public:
    static constexpr const char* WARNING_FOR_DISABLED_CONTEXT =
        "Disabled된 SVL SDK의 Method가 호출되었습니다.";

    // Logs the reason once; it is not kept.
    DisabledSVLContext(const std::string& reason, std::shared_ptr<IRepository> repository);

    SVLContextState contextState() const override { return SVLContextState::DISABLED; }

    void initialize(const std::string& appKey, const std::string& secretKey,
                    CompletionCallback completion) override;
    void saveUserProperty(const Value::Map& properties, bool isCi) override;
    bool saveUserPropertyWithoutEvent(const Value::Map& properties, bool isCi) override;
    void logEvent(LogEventParameter parameter) override;
    void logSameEventWithPaging(const std::vector<SorvelKvCommerceProductModel>& products,
                                const std::string& eventName,
                                const Value::Map& attributes) override;
    void flushAtIntervals() override;
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
    void refuse() const;
    void refuse(const ActionHistoryCompletion& completion) const;

    const std::shared_ptr<IRepository> repository_;
};

}  // namespace sorvel
