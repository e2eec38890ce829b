#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Core/MessageType.h"
#include "Event/LogEventParameter.h"
#include "sorvel/ActionHistoryResult.h"
#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/Value.h"

namespace sorvel {

// The data layer the use cases call: properties, configuration, GDPR, events,
// in-app messages, delete/restart synchronisation and the message history.
// Every completion is called exactly once. A history token that is absent
// sends the request without an "Authorization" header.
class IRepository {
  public:
    virtual ~IRepository() = default;

    virtual bool saveUserProperty(const Value::Map& properties) = 0;
    virtual bool saveCiProperty(const Value::Map& properties) = 0;
    virtual void clearUserProperty() = 0;
    virtual void initDefaultConfigValue() = 0;
    virtual void syncApplicationConfigure() = 0;
    virtual void requestGdprForgetMe() = 0;
    virtual void saveUnsentEvents() = 0;
    virtual void logEvent(const LogEventParameter& parameter) = 0;
    virtual void logSameEventWithPaging(const std::vector<SorvelKvCommerceProductModel>& products,
                                        const std::string& eventName,
                                        const Value::Map& eventParam) = 0;
    virtual void flushAllNow() = 0;
    virtual void flushAtIntervals() = 0;
    virtual void resetInAppMessageSessionFrequency() = 0;
    virtual void getInAppMessage(const std::string& eventName) = 0;
    virtual void fetchInAppMessages() = 0;
    virtual void requestDeleteUserData(const std::string& userId,
                                       CompletionCallback completion) = 0;
    virtual void restartSDK(const std::string& userId, CompletionCallback completion) = 0;
    virtual void fetchActionHistoryFromServer(const std::optional<std::string>& token,
                                              ActionHistoryIdType idType,
                                              const std::vector<std::string>& actionType,
                                              ActionHistoryCompletion completion) = 0;
    virtual void insertPushData(const Value::Map& pushJsonDic) = 0;
    virtual void getActionHistory(std::int64_t skip, std::int64_t limit,
                                  const std::vector<std::string>& actionType,
                                  ActionHistoryCompletion completion) = 0;
    virtual void getAllActionHistory(const std::vector<std::string>& actionType,
                                     ActionHistoryCompletion completion) = 0;
    virtual void deleteAllActionHistory(const std::optional<std::string>& token,
                                        ActionHistoryIdType idType,
                                        ActionHistoryCompletion completion) = 0;
    virtual void deleteActionHistory(const std::optional<std::string>& token,
                                     const std::string& historyId, std::int64_t timeStamp,
                                     ActionHistoryCompletion completion) = 0;
    virtual void clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion completion) = 0;
    virtual void clearAllActionHistoryInLocalDB() = 0;
};

}  // namespace sorvel
