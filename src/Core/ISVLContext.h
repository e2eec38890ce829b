#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Core/MessageType.h"
#include "Data/Repository/IActionHistoryOperations.h"
#include "Event/LogEventParameter.h"
#include "sorvel/ActionHistoryResult.h"
#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/Value.h"

namespace sorvel {

// Which of the three states a context is.
enum class SVLContextState {
    INITIALIZING,
    ACTIVE,
    DISABLED,
};

// One state of the SDK: the controller calls exactly one operation per
// processed message, on its serial queue (triggerInAppMessage on the caller's
// thread). Each operation runs synchronously and returns; completions may
// arrive later on another thread. The message-history operations follow the
// others.
class ISVLContext : public IActionHistoryOperations {
  public:
    virtual ~ISVLContext() = default;

    virtual SVLContextState contextState() const = 0;

    virtual void initialize(const std::string& appKey, const std::string& secretKey,
                            CompletionCallback completion) = 0;
    virtual void saveUserProperty(const Value::Map& properties, bool isCi) = 0;
    virtual bool saveUserPropertyWithoutEvent(const Value::Map& properties, bool isCi) = 0;
    virtual void logEvent(LogEventParameter parameter) = 0;
    virtual void logSameEventWithPaging(const std::vector<SorvelKvCommerceProductModel>& products,
                                        const std::string& eventName,
                                        const Value::Map& attributes) = 0;
    virtual void flushAtIntervals() = 0;
    virtual void didBecomeActive() = 0;
    virtual void willResignActive() = 0;
    virtual void deeplink(const std::string& urlString) = 0;
    virtual void clearUserProperty() = 0;
    virtual void deleteUserData(const std::string& userId, CompletionCallback completion) = 0;
    virtual void restartSDK(const std::string& userId, CompletionCallback completion) = 0;
    // The text group, ":", event name.
    virtual void triggerInAppMessage(const std::string& event) = 0;
    // The same with the key in its pieces, as the controller hands it over for
    // every event: a state that can tell no lookup would run skips building
    // the key. By default the key is joined.
    virtual void triggerInAppMessageFor(const std::string& group, const std::string& eventName) {
        triggerInAppMessage(group + ":" + eventName);
    }
};

}  // namespace sorvel
