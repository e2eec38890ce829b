#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "Platform/Dispatch.h"

namespace sorvel::platform {

// A run loop: a thread that performs posted blocks and timer fires until
// stopped. The main run loop is owned by the host (the sample app's main, or a
// test that pumps it until a condition holds).
class RunLoop {
  public:
    // Running it (run, runUntilIdle, runUntil) makes the calling thread the
    // main thread.
    static RunLoop& main();
    // The run loop of the calling thread (created on first use); on the main
    // thread, the main run loop.
    static RunLoop& current();

    // Runs until stop() is called.
    void run();
    // Performs the blocks already queued (and delayed work already due) and
    // returns; true when it did any work. Blocks those blocks post wait for the
    // next call.
    bool runUntilIdle();
    // Runs until pred() holds or the real-time deadline passes; true if pred
    // held. Sleeps between blocks; pred is checked after every block and every
    // few milliseconds, so a condition other threads make true is noticed too.
    bool runUntil(const std::function<bool()>& pred, Millis deadline);
    // Makes the current (or, when none is running, the next) run() return.
    void stop();
    // Queues a block to be performed by this run loop.
    void perform(Block block);

    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

  private:
    struct State;
    void markIfMain();

    std::shared_ptr<State> state_;
    friend class Timer;
};

// A repeating timer on a run loop, due on the current clock. It stays
// scheduled until invalidated (dropping the last reference
// does not stop it) or until its run loop is gone; it holds the run loop only
// weakly. invalidate() from any thread takes effect before the next fire.
class Timer : public std::enable_shared_from_this<Timer> {
  public:
    // First fire one interval from now; then every interval on the same grid.
    // A fire waiting on a busy run loop absorbs the next ones (no burst), and
    // fires a jump of the clock passed over are skipped.
    static std::shared_ptr<Timer> scheduleRepeating(RunLoop& loop, Millis interval,
                                                    std::function<void()> fire);
    void invalidate();
    bool isValid() const { return valid_.load(); }
    Millis interval() const { return interval_; }

    Timer(Millis interval, std::function<void()> fire);

  private:
    void handOff(const std::weak_ptr<RunLoop::State>& loop);

    Millis interval_;
    std::function<void()> fire_;
    std::atomic<bool> valid_{true};
    std::atomic<bool> firePending_{false};
    std::atomic<std::uint64_t> schedulerId_{0};
};

}  // namespace sorvel::platform
