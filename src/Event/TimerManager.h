#pragma once

#include <memory>
#include <vector>

#include "Platform/Mutex.h"

namespace sorvel {

// An object that owns a timer, so that every timer can be stopped at once when
// the SDK is disabled.
class ITimerManager {
  public:
    virtual ~ITimerManager() = default;
    // Invalidates the owner's timer and forgets it.
    virtual void stopTimer() = 0;
};

// The process-wide registry of timer owners. Owners are held weakly: one that
// is gone simply drops out, so a registry that lives as long as the process
// never keeps an owner alive.
class TimerManager : public ITimerManager {
  public:
    static TimerManager& shared();

    void addTimerManager(const std::shared_ptr<ITimerManager>& owner);
    // Stops every registered owner's timer, in registration order.
    void stopTimer() override;

  private:
    platform::Mutex mu_;
    std::vector<std::weak_ptr<ITimerManager>> timerManagers_ GUARDED_BY(mu_);
};

}  // namespace sorvel
