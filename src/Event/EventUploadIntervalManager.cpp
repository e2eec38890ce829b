#include "Event/EventUploadIntervalManager.h"

#include <chrono>
#include <cmath>

#include "Common/SdkState.h"
#include "Common/SvlLog.h"
#include "Platform/Dispatch.h"

namespace sorvel {

struct EventUploadIntervalPart : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::uploadInterval;

    explicit EventUploadIntervalPart(std::shared_ptr<EventUploadIntervalManager> made)
        : manager(std::move(made)) {
        TimerManager::shared().addTimerManager(manager);
    }
    void retire() override { manager->reset(); }

    const std::shared_ptr<EventUploadIntervalManager> manager;
};

std::shared_ptr<EventUploadIntervalManager> EventUploadIntervalManager::sharedPtr() {
    return SdkState::shared()
        .part<EventUploadIntervalPart>([] {
            return std::make_unique<EventUploadIntervalPart>(
                std::make_shared<EventUploadIntervalManager>(PassKey{}));
        })
        .manager;
}

EventUploadIntervalManager& EventUploadIntervalManager::shared() {
    return *sharedPtr();
}

EventUploadIntervalManager::EventUploadIntervalManager(PassKey) {}

EventUploadIntervalManager::~EventUploadIntervalManager() {
    stopTimer();
}

bool EventUploadIntervalManager::isTimerRunning() const {
    platform::MutexLock lock(mu_);
    return timer_ != nullptr;
}

void EventUploadIntervalManager::setCountInterval(std::int64_t count) {
    if (count <= 0) {
        SvlLog::warning("EventUploadIntervalManager :: upload count interval " +
                            std::to_string(count) + " ignored : it must be positive",
                        true);
        return;
    }
    countInterval_ = count;
}

void EventUploadIntervalManager::setTimeInterval(double seconds) {
    if (!(seconds > 0.0) || !std::isfinite(seconds)) {
        SvlLog::warning("EventUploadIntervalManager :: upload time interval " +
                            std::to_string(seconds) + " ignored : it must be positive",
                        true);
        return;
    }
    timeInterval_ = seconds;
    stopTimer();
    startTimer();
}

void EventUploadIntervalManager::checkCountInterval(std::int64_t queueCount,
                                                    const std::function<void()>& action) {
    startTimer();
    checkEventQueueSize(action, queueCount);
}

bool EventUploadIntervalManager::countRuleHolds(std::int64_t queueCount) const {
    return queueCount >= countInterval_.load() / 10;
}

void EventUploadIntervalManager::checkEventQueueSize(const std::function<void()>& action,
                                                     std::int64_t queueCount) {
    if (countRuleHolds(queueCount)) {
        SvlLog::debug("EventQueue size : " + std::to_string(queueCount), true);
        if (action) {
            action();
        }
    }
}

void EventUploadIntervalManager::startTimer() {
    const auto period = std::chrono::duration_cast<platform::Millis>(
        std::chrono::duration<double>(timeInterval_.load()));
    platform::MutexLock lock(mu_);
    if (timer_) {
        return;
    }
    // Scheduling only registers the timer: nothing of ours is called under the lock.
    timer_ = platform::Timer::scheduleRepeating(platform::RunLoop::main(), period,
                                                [this] { notifyObserverObjc(); });
}

void EventUploadIntervalManager::notifyObserverObjc() {
    platform::DispatchQueue::global().async([this] {
        SvlLog::debug("EventUploadIntervalManager : time expired, notify observer", true);
        std::vector<std::shared_ptr<IObserver<NoValue>>> observers;
        {
            platform::MutexLock lock(mu_);
            observers = observerArrayList_;
        }
        for (const auto& observer : observers) {
            observer->update(NoValue{});
        }
    });
}

void EventUploadIntervalManager::stopTimer() {
    std::shared_ptr<platform::Timer> timer;
    {
        platform::MutexLock lock(mu_);
        timer.swap(timer_);
    }
    if (timer) {
        timer->invalidate();
    }
}

void EventUploadIntervalManager::addObserver(std::shared_ptr<IObserver<NoValue>> observer) {
    if (!observer) {
        return;
    }
    platform::MutexLock lock(mu_);
    observerArrayList_.push_back(std::move(observer));
}

void EventUploadIntervalManager::removeObserver(
    const std::shared_ptr<IObserver<NoValue>>& observer) {
    std::vector<std::shared_ptr<IObserver<NoValue>>> removed;
    {
        platform::MutexLock lock(mu_);
        std::vector<std::shared_ptr<IObserver<NoValue>>> kept;
        for (auto& o : observerArrayList_) {
            (o == observer ? removed : kept).push_back(std::move(o));
        }
        observerArrayList_.swap(kept);
    }
    // `removed` may hold the last references: released after the lock.
}

void EventUploadIntervalManager::reset() {
    stopTimer();
    std::vector<std::shared_ptr<IObserver<NoValue>>> observers;
    {
        platform::MutexLock lock(mu_);
        observers.swap(observerArrayList_);
    }
    countInterval_ = DEFAULT_COUNT_INTERVAL;
    timeInterval_ = DEFAULT_TIME_INTERVAL;
}

}  // namespace sorvel
