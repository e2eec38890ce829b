#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/ISVLContext.h"
#include "Core/MessageType.h"
#include "Data/Repository/IActionHistoryOperations.h"
#include "Event/LogEventParameter.h"
#include "sorvel/ActionHistoryResult.h"
#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/Value.h"

namespace sorvel {

// The single road from the facade into the SDK core. Every operation may be
// called from any thread; unless stated otherwise it submits one message.
// Of the message-history operations (last), insertPushData is not queued and
// not routed through the context: the push is stored at once, whatever the
// state.
class ISVLContextController : public IActionHistoryOperations {
  public:
    virtual ~ISVLContextController() = default;

    virtual void changeContext(std::shared_ptr<ISVLContext> context) = 0;
    // Switches to the disabled state with the reason, unless already disabled.
    virtual void disableSDK(const std::string& reason) = 0;
    virtual void initialize(const std::string& appKey, const std::string& secretKey) = 0;
    virtual void saveUserProperty(const Value::Map& properties, bool isCi) = 0;
    virtual void saveUserPropertyWithoutEvent(const Value::Map& properties, bool isCi) = 0;
    virtual void clearUserProperty() = 0;
    // The parameter is taken by value and moved into the message, so a caller
    // that hands over its own copy pays for no other.
    virtual void logEvent(LogEventParameter parameter) = 0;
    // The products are taken by value and moved into the message: the pages
    // are built later on the controller queue from this copy.
    virtual void logSameEventWithPaging(std::vector<SorvelKvCommerceProductModel> products,
                                        const std::string& eventName, Value::Map attributes) = 0;
    virtual void didBecomeActive() = 0;
    virtual void willResignActive() = 0;
    // The absolute text of the URL the app was opened with.
    virtual void deeplink(const std::string& url) = 0;
    virtual void gdprForgetMe() = 0;
    virtual void deleteUserDataAndStopSDK(const std::string& userId,
                                          CompletionCallback completion) = 0;
    virtual void restartSDK(const std::string& userId, CompletionCallback completion) = 0;
    // The one entry of the message queue.
    virtual void submitMessage(Message message) = 0;
    // Not queued: the current context triggers "<group>:<eventName>" on the
    // caller's thread.
    virtual void triggerInAppMessage(const std::string& eventName, const std::string& group) = 0;
};

}  // namespace sorvel
