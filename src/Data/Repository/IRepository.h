#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Common/GdprForgetMe.h"
#include "Data/Repository/CompletionCallback.h"
#include "Data/Repository/IActionHistoryOperations.h"
#include "Event/IAutoEventRepository.h"
#include "Event/LogEventParameter.h"
#include "sorvel/ActionHistoryResult.h"
#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/Value.h"

namespace sorvel {

// The data layer the use cases call: properties, configuration, GDPR, events,
// in-app messages, delete/restart synchronisation and the message history.
// Every completion is called exactly once. The message-history operations
// follow the others; the automatic events see only the few calls they make
// (IAutoEventRepository).
class IRepository : public IActionHistoryOperations, public IAutoEventRepository {
  public:
    virtual ~IRepository() = default;

    virtual bool saveUserProperty(const Value::Map& properties) = 0;
    virtual bool saveCiProperty(const Value::Map& properties) = 0;
    virtual void clearUserProperty() = 0;
    virtual void initDefaultConfigValue() = 0;
    void syncApplicationConfigure() override = 0;
    // `done` runs once the erasure request is finished for good: answered, or
    // failed after its last retry (GdprForgetMe::Done).
    virtual void requestGdprForgetMe(GdprForgetMe::Done done) = 0;
    virtual void saveUnsentEvents() = 0;
    virtual void logEvent(LogEventParameter parameter) = 0;
    virtual void logSameEventWithPaging(const std::vector<SorvelKvCommerceProductModel>& products,
                                        const std::string& eventName,
                                        const Value::Map& eventParam) = 0;
    virtual void flushAllNow() = 0;
    virtual void flushAtIntervals() = 0;
    void resetInAppMessageSessionFrequency() override = 0;
    virtual void getInAppMessage(const std::string& eventName) = 0;
    void fetchInAppMessages() override = 0;
    virtual void requestDeleteUserData(const std::string& userId,
                                       CompletionCallback completion) = 0;
    virtual void restartSDK(const std::string& userId, CompletionCallback completion) = 0;
};

}  // namespace sorvel
