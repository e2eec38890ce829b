#pragma once

#include <memory>

#include "InAppMessage/InAppMessage.h"

namespace sorvel {

// What the in-app road needs of the screen: the interface orientation, and a
// place for a message's view.
class IInAppMessageDisplay {
  public:
    virtual ~IInAppMessageDisplay() = default;
    // True when the interface is in portrait (upside down included). Called
    // on the in-app queue: it answers from any thread without waiting for the
    // main one.
    virtual bool isPortrait() = 0;
    // On the main thread: builds the message's view (InAppMessage::makeView
    // with the sink) and lays it over the app's window.
    virtual void display(std::shared_ptr<const InAppMessage> message, InAppLogEvent logEvent) = 0;
};

// The display of the SDK: the message's own view; a type and layout without
// one is logged ("Unknown InAppMessage Type or Layout, ...") and nothing is
// shown.
class DefaultInAppMessageDisplay final : public IInAppMessageDisplay {
  public:
    bool isPortrait() override;
    void display(std::shared_ptr<const InAppMessage> message, InAppLogEvent logEvent) override;
};

}  // namespace sorvel
