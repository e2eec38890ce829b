#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <variant>
#include <vector>

#include "Common/Observable.h"
#include "Event/TimerManager.h"
#include "Platform/Mutex.h"
#include "Platform/RunLoop.h"

namespace sorvel {

// The notification of the upload timer carries no value.
using NoValue = std::monostate;

// When queued packages are uploaded besides no-wait events and explicit
// flushes: once enough packages wait (the count rule, checked after every
// controller message), and every time a repeating timer on the main run loop
// fires (its observers, the event buffer, are told on the global queue).
// One per SDK lifetime; the intervals may be set from any thread.
class EventUploadIntervalManager : public IObservable<NoValue>, public ITimerManager {
    struct PassKey {};

  public:
    static constexpr std::int64_t DEFAULT_COUNT_INTERVAL = 30;
    static constexpr double DEFAULT_TIME_INTERVAL = 60.0;

    static EventUploadIntervalManager& shared();
    // The shared instance as the timer registry holds it.
    static std::shared_ptr<EventUploadIntervalManager> sharedPtr();

    explicit EventUploadIntervalManager(PassKey);
    ~EventUploadIntervalManager() override;

    std::int64_t countInterval() const { return countInterval_.load(); }
    double timeInterval() const { return timeInterval_.load(); }
    bool isTimerRunning() const;

    // The app's setters. A value that is not positive is refused with a
    // warning: a zero time interval would spin the timer.
    void setCountInterval(std::int64_t count);
    // Restarts the timer with the new period.
    void setTimeInterval(double seconds);

    // Starts the timer if none runs, then applies the count rule.
    void checkCountInterval(std::int64_t queueCount, const std::function<void()>& action);
    // Runs the action on the calling thread when queueCount reaches
    // countInterval / 10 (integer division: 3 packages with 30).
    void checkEventQueueSize(const std::function<void()>& action, std::int64_t queueCount);
    // Whether that rule holds for queueCount now; no log line, no action.
    bool countRuleHolds(std::int64_t queueCount) const;
    // Creates the repeating timer unless one runs; at most one ever runs.
    void startTimer();
    // The timer's action: tells every observer, on the global queue.
    void notifyObserverObjc();
    void stopTimer() override;

    void addObserver(std::shared_ptr<IObserver<NoValue>> observer) override;
    // Removes every entry that is this same object.
    void removeObserver(const std::shared_ptr<IObserver<NoValue>>& observer) override;

  private:
    friend struct EventUploadIntervalPart;
    // Stops the timer and forgets the observers and intervals, when its SDK
    // is retired (test support).
    void reset();

    std::atomic<std::int64_t> countInterval_{DEFAULT_COUNT_INTERVAL};
    std::atomic<double> timeInterval_{DEFAULT_TIME_INTERVAL};
    mutable platform::Mutex mu_;
    std::shared_ptr<platform::Timer> timer_ GUARDED_BY(mu_);
    std::vector<std::shared_ptr<IObserver<NoValue>>> observerArrayList_ GUARDED_BY(mu_);
};

}  // namespace sorvel
