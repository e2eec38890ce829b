#include "Platform/Clock.h"

#include "Platform/Scheduler.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform {
namespace {

struct ClockState {
    Mutex mu;
    const std::shared_ptr<IClock> system = std::make_shared<SystemClock>();
    std::shared_ptr<IClock> current GUARDED_BY(mu) = system;
};

ClockState& clockState() {
    // Delayed blocks and timers read the clock from threads that outlive static
    // destruction, so the state is never torn down.
    static detail::NoDestructor<ClockState> state;
    return state.get();
}

}  // namespace

ManualClock::ManualClock(WallTime start) : wall_(start), mono_(std::chrono::steady_clock::now()) {}

WallTime ManualClock::wallNow() const {
    MutexLock lock(mu_);
    return wall_;
}

MonoTime ManualClock::monoNow() const {
    MutexLock lock(mu_);
    return mono_;
}

void ManualClock::advance(Millis by) {
    if (by < Millis(0)) {
        SystemLog::write(
            "ManualClock: advance by a negative duration ignored; time only moves forward");
        return;
    }
    by = detail::clampDelay(by);
    {
        MutexLock lock(mu_);
        wall_ += by;
        mono_ += by;
    }
    detail::Scheduler::instance().clockAdvanced(this);
}

void ManualClock::setWall(WallTime t) {
    MutexLock lock(mu_);
    wall_ = t;
}

IClock& clock() {
    return *clockPtr();
}

std::shared_ptr<IClock> clockPtr() {
    detail::noteFirstUse();
    auto& s = clockState();
    MutexLock lock(s.mu);
    return s.current;
}

void setClock(std::shared_ptr<IClock> c) {
    detail::noteFirstUse();
    auto& s = clockState();
    // Built before taking the clock lock: its constructor reads the clock.
    auto& scheduler = detail::Scheduler::instance();
    if (!c) {
        c = s.system;
    }
    bool manual = c->isManual();
    {
        // Held across the rebase so that two racing setClock calls leave the
        // scheduler on the clock that ends up current.
        MutexLock lock(s.mu);
        s.current = c;
        scheduler.clockChanged(c);
    }
    if (manual) {
        // A manual clock never fires by itself: hand off what is due already.
        scheduler.runDue(true);
    }
}

std::int64_t wallMillis() {
    return std::chrono::duration_cast<Millis>(clock().wallNow().time_since_epoch()).count();
}

}  // namespace sorvel::platform
