#pragma once

#include "Common/Atomic.h"

namespace sorvel {

// Process-wide flags shared by the facade, the controller, the session logic,
// the connection manager and the in-app views.
class SVLBooleanState {
  public:
    // True between the controller's did-become-active and will-resign-active.
    static AtomicBool& isAppActive();
    // True while an in-app message view is on screen.
    static AtomicBool& isInAppMessageShowing();
    // True from a session start until its end.
    static AtomicBool& isSessionStarted();
    // Raised by the connection manager after a wrong-app-key answer.
    static AtomicBool& isWrongAppKey();
    // While true the advertising identifier is not read; true at process start.
    static AtomicBool& isStopGettingIDFA();

    // Back to the values of a fresh process.
    static void reset();
};

}  // namespace sorvel
