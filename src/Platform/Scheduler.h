#pragma once

// Internal to the platform layer: the one scheduler behind asyncAfter and
// timers, plus the small pieces the dispatch, run loop and clock code share.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/Mutex.h"

namespace sorvel::platform::detail {

// CondVar carries no annotation (the analysis cannot tie its bound mutex to
// the caller's); these waits name the caller's mutex so a caller that does
// not hold it still fails the build.
inline void waitOn(CondVar& cv, [[maybe_unused]] Mutex& mu)
    EXCLUSIVE_LOCKS_REQUIRED(mu) NO_THREAD_SAFETY_ANALYSIS {
    cv.wait();
}
template <typename C, typename D>
bool waitOnUntil(CondVar& cv, [[maybe_unused]] Mutex& mu, const std::chrono::time_point<C, D>& t)
    EXCLUSIVE_LOCKS_REQUIRED(mu) NO_THREAD_SAFETY_ANALYSIS {
    return cv.waitUntil(t);
}

// Records the thread that first used the platform layer (the main thread until
// a main run loop runs).
void noteFirstUse();
// The thread now running the main run loop becomes the main thread.
void markMainRunLoopThread();

// Names the calling thread (what `top -H` and /proc show; at most 15 bytes
// are kept), so the SDK's threads can be told apart in a profile.
void nameThisThread(std::string_view name) noexcept;

// Runs a block; an exception escaping it is logged and swallowed so one bad
// block cannot take a queue's thread (and the process) down.
void performBlock(const std::function<void()>& block, std::string_view where) noexcept;

// Upper bound for delays and intervals, far beyond any real use, so due-time
// arithmetic in nanoseconds cannot overflow.
inline constexpr Millis kMaxDelay = std::chrono::hours(24 * 365 * 50);
Millis clampDelay(Millis d);

// Hands work to its target queue or run loop when it falls due on the current
// clock. With a real clock one internal thread waits for the earliest due time;
// with a manual clock nothing fires by itself: whoever makes an item due
// (ManualClock::advance, host::setClock, scheduling something already due) hands it
// off on its own thread. The same thread also waits for input on the file
// descriptors given to watchInput(), so the platform keeps no thread of its
// own for a socket that is quiet nearly all the time.
class Scheduler {
  public:
    using Id = std::uint64_t;
    using HandOff = std::function<void()>;

    static Scheduler& instance();

    // handOff runs once, delay after now. It must only post work (not block).
    Id after(Millis delay, HandOff handOff);
    // handOff runs every period (first after one period) while alive() holds.
    // Fires missed because the clock jumped are skipped: one hand-off, then the
    // next due time after now on the original grid. alive() runs under the
    // scheduler's lock: it must be cheap and call nothing that locks.
    Id every(Millis period, std::function<bool()> alive, HandOff handOff);
    // Forgets an item (no-op when it already fired or is unknown).
    void cancel(Id id);

    // Watches fd for input on the scheduler's thread, whatever the clock:
    // onInput runs there each time fd is readable (or failed), and returning
    // false ends the watch (the caller then owns fd again, and may close it
    // inside onInput). Once input came and then none for `quiet` of real
    // time, onQuiet runs there. Both must be short and must not block; an
    // exception escaping onInput is logged and ends the watch.
    void watchInput(int fd, Millis quiet, std::function<bool()> onInput,
                    std::function<void()> onQuiet);

    // Hands off every item due now, in due order (FIFO for equal due times).
    // With waitForOthers, also waits until hand-offs other threads are in the
    // middle of have finished, so that everything due is posted on return.
    void runDue(bool waitForOthers);

    // Called by a manual clock after it moved.
    void clockAdvanced(const IClock* clock);
    // Called by host::setClock with the clock lock held: re-expresses every pending
    // due time on the new clock, keeping the time that was left.
    void clockChanged(std::shared_ptr<IClock> clock);
    Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

  private:
    struct Item {
        Id id = 0;
        Millis period{0};  // zero for one-shot items
        std::function<bool()> alive;
        HandOff handOff;
    };
    // Due time, then insertion order.
    using Key = std::pair<MonoTime, std::uint64_t>;
    struct InputWatch {
        int fd = -1;
        Millis quiet{0};
        std::function<bool()> onInput;
        std::function<void()> onQuiet;
        // Only the scheduler's thread reads or sets it.
        std::optional<std::chrono::steady_clock::time_point> quietAt;
    };

    Id insert(Millis delay, Millis period, std::function<bool()> alive, HandOff handOff);
    void threadMain();
    // Waits for the next due item, input or wake-up; runs the watches.
    void waitAndWatch();
    bool hasDueLocked() EXCLUSIVE_LOCKS_REQUIRED(mu_);
    // The scheduler thread: a new earliest item, a new clock or a new watch.
    void wakeThread();

    // An eventfd that ends the thread's wait; -1 when none could be made (the
    // thread then looks again every few milliseconds).
    int wakeFd_ = -1;
    Mutex mu_;
    CondVar handedOff_{&mu_};  // runDue(true) callers: a hand-off finished
    std::vector<std::shared_ptr<InputWatch>> watches_ GUARDED_BY(mu_);
    std::shared_ptr<IClock> clock_ GUARDED_BY(mu_);
    std::map<Key, Item> items_ GUARDED_BY(mu_);
    std::uint64_t nextSeq_ GUARDED_BY(mu_) = 1;
    int handing_ GUARDED_BY(mu_) = 0;
};

}  // namespace sorvel::platform::detail
