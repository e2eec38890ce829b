#include "Data/Repository/InAppMessageDisplay.h"

#include "Platform/UI/View.h"
#include "View/InAppMessage/InAppDisplay.h"

namespace sorvel {

bool DefaultInAppMessageDisplay::isPortrait() {
    // The status bar's orientation is readable from any thread here, so the
    // in-app queue does not wait for the main one.
    return platform::isPortrait(platform::Application::shared().statusBarOrientation());
}

void DefaultInAppMessageDisplay::display(std::shared_ptr<const InAppMessage> message,
                                         InAppLogEvent logEvent) {
    // The views log an unknown type or layout themselves.
    displayInAppMessage(message, std::move(logEvent));
}

}  // namespace sorvel
