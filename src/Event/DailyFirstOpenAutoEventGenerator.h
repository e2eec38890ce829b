#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Event/AutoEvent.h"
#include "Event/TimerManager.h"
#include "Platform/Clock.h"
#include "Platform/Mutex.h"

namespace sorvel {

class DataRegistry;
class IAutoEventRepository;

namespace platform {
class Timer;
}

// Raises one "daily_first_open" on the first minute tick of each new local
// calendar day on which the app is active. A repeating 60-second timer on the
// main run loop hands each tick to the global queue; a tick that finds a new
// day also clears the stored notification id and synchronises the remote
// configuration, and every tick refreshes the in-app campaigns once their
// stored list has expired.
class DailyFirstOpenAutoEventGenerator
    : public ITimerManager,
      public std::enable_shared_from_this<DailyFirstOpenAutoEventGenerator> {
    struct PassKey {};

  public:
    static constexpr platform::Millis TICK_INTERVAL = platform::Millis(60 * 1000);

    // Also registers the generator with the timer registry, so disabling the
    // SDK stops its timer.
    static std::shared_ptr<DailyFirstOpenAutoEventGenerator> create(
        std::shared_ptr<DataRegistry> dataRegistry, LogEventAction logEventAction,
        std::shared_ptr<IAutoEventRepository> repository);
    DailyFirstOpenAutoEventGenerator(PassKey, std::shared_ptr<DataRegistry> dataRegistry,
                                     LogEventAction logEventAction,
                                     std::shared_ptr<IAutoEventRepository> repository);
    ~DailyFirstOpenAutoEventGenerator() override;

    // Schedules the timer from the main queue unless one runs; the first tick
    // comes one interval later.
    void startTimer();
    // The timer's action: queues one tick on the global queue.
    void doTask();
    // Invalidates the timer; a tick already under way raises nothing more.
    void stopTimer() override;
    void resetNotificationId();

    bool isTimerRunning() const;

  private:
    void tick(std::uint64_t generation);
    // Whether the timer was stopped since the tick of this generation began.
    bool isStopped(std::uint64_t generation) const;

    const std::shared_ptr<DataRegistry> dataRegistry_;
    const LogEventAction logEventAction_;
    const std::shared_ptr<IAutoEventRepository> repository_;
    mutable platform::Mutex mu_;
    std::shared_ptr<platform::Timer> timer_ GUARDED_BY(mu_);
    // Counts the stops: a tick carries the count of its start and drops its
    // event when a stop came in between.
    std::uint64_t generation_ GUARDED_BY(mu_) = 0;
    // The day the last raised event was claimed for: overlapping ticks (one
    // may wait on a slow configuration request) raise each day once.
    std::string claimedDay_ GUARDED_BY(mu_);
};

}  // namespace sorvel
