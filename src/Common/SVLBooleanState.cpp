#include "Common/SVLBooleanState.h"

#include "Common/SdkState.h"

namespace sorvel {
namespace {

struct Flags : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::flags;

    AtomicBool appActive{false};
    AtomicBool inAppMessageShowing{false};
    AtomicBool sessionStarted{false};
    AtomicBool wrongAppKey{false};
    AtomicBool stopGettingIDFA{true};

    void clear() {
        appActive.set(false);
        inAppMessageShowing.set(false);
        sessionStarted.set(false);
        wrongAppKey.set(false);
        stopGettingIDFA.set(true);
    }
    // What the last SDK's threads still read is what a fresh one starts with.
    void retire() override { clear(); }
};

Flags& flags() {
    return SdkState::shared().part<Flags>();
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
    flags().clear();
}

}  // namespace sorvel
