#include "Event/TimerManager.h"

#include "Common/SdkState.h"

namespace sorvel {

TimerManager& TimerManager::shared() {
    return SdkState::shared().part<SdkValuePart<TimerManager, SdkSlot::timers>>().value;
}

void TimerManager::addTimerManager(const std::shared_ptr<ITimerManager>& owner) {
    if (!owner) {
        return;
    }
    platform::MutexLock lock(mu_);
    std::erase_if(timerManagers_, [](const auto& weak) { return weak.expired(); });
    timerManagers_.push_back(owner);
}

void TimerManager::stopTimer() {
    std::vector<std::weak_ptr<ITimerManager>> snapshot;
    {
        platform::MutexLock lock(mu_);
        snapshot = timerManagers_;
    }
    // Called without the lock: an owner's stop may register or stop others.
    for (const auto& weak : snapshot) {
        if (auto owner = weak.lock()) {
            owner->stopTimer();
        }
    }
}

}  // namespace sorvel
