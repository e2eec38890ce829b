#include "Data/Repository/InAppMessageDisplay.h"

#include "Common/SvlLog.h"

namespace sorvel {

bool DefaultInAppMessageDisplay::isPortrait() {
    // The screen keeps no orientation of its own yet: a phone held upright.
    return true;
}

void DefaultInAppMessageDisplay::display(std::shared_ptr<const InAppMessage> message,
                                         InAppLogEvent logEvent) {
    auto view = message->makeView(std::move(logEvent));
    if (!view) {
        SvlLog::error("Unknown InAppMessage Type or Layout, Type = " + message->type +
                          ", Layout = " + message->layout,
                      true);
        return;
    }
    // Laying the view over the window belongs to the in-app views.
}

}  // namespace sorvel
