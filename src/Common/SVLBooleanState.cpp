#include "Common/SVLBooleanState.h"

#include "Platform/ProcessState.h"

namespace sorvel {
namespace {

struct Flags {
    AtomicBool appActive{false};
    AtomicBool inAppMessageShowing{false};
    AtomicBool sessionStarted{false};
    AtomicBool wrongAppKey{false};
    AtomicBool stopGettingIDFA{true};

    Flags() {
        platform::registerResetHook([] { SVLBooleanState::reset(); });
    }
};

Flags& flags() {
    // Never destroyed: threads of the SDK may still use it while the process exits.
    static platform::NoDestructor<Flags> f;
    return f.get();
}

}  // namespace

AtomicBool& SVLBooleanState::isAppActive() {
    return flags().appActive;
}
AtomicBool& SVLBooleanState::isInAppMessageShowing() {
    return flags().inAppMessageShowing;
}
AtomicBool& SVLBooleanState::isSessionStarted() {
    return flags().sessionStarted;
}
AtomicBool& SVLBooleanState::isWrongAppKey() {
    return flags().wrongAppKey;
}
AtomicBool& SVLBooleanState::isStopGettingIDFA() {
    return flags().stopGettingIDFA;
}

void SVLBooleanState::reset() {
    auto& f = flags();
    f.appActive.set(false);
    f.inAppMessageShowing.set(false);
    f.sessionStarted.set(false);
    f.wrongAppKey.set(false);
    f.stopGettingIDFA.set(true);
}

}  // namespace sorvel
