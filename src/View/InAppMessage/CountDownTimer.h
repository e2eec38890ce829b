#pragma once

#include <functional>
#include <memory>

#include "Platform/Clock.h"
#include "Platform/Mutex.h"
#include "Platform/RunLoop.h"

namespace sorvel {

// Calls onFire `count` times, one interval apart, then onFinish once at the
// next interval, and stops. It runs on a worker thread of the global queue
// that serves the timer's own run loop for the timer's life, so its ticks
// never wait for the main thread, and a tick may block (an image lookup may
// download).
//
// Every tick runs on the worker, also the one `fire` asks for. A `stop` that
// comes before the worker has scheduled the timer is remembered: no tick
// follows. Stopping ends the worker's run loop from any thread, and dropping
// the object never waits for the worker.
class CountDownTimer : public std::enable_shared_from_this<CountDownTimer> {
  public:
    using Block = std::function<void()>;

    static std::shared_ptr<CountDownTimer> make(int count, Block onFire, Block onFinish,
                                                platform::Millis interval);
    ~CountDownTimer();
    CountDownTimer(const CountDownTimer&) = delete;
    CountDownTimer& operator=(const CountDownTimer&) = delete;

    // One tick now, on the worker, besides the regular ones.
    void fire();
    // No tick or finish after this. Safe from any thread, also from a tick.
    void stop();

    int count() const { return count_; }
    int currentCount() const;
    // True once the worker has scheduled the timer and until it is stopped.
    bool isScheduled() const;
    bool isStopped() const;

  private:
    struct Token {};

  public:
    CountDownTimer(Token, int count, Block onFire, Block onFinish, platform::Millis interval);

  private:
    void start();
    void onFire();

    const int count_;
    const Block onFireBlock_;
    const Block onTimerFinish_;
    const platform::Millis interval_;
    const std::shared_ptr<platform::RunLoop> loop_;

    mutable platform::Mutex mu_;
    int currentCount_ GUARDED_BY(mu_) = 0;
    std::shared_ptr<platform::Timer> timer_ GUARDED_BY(mu_);
    bool stopped_ GUARDED_BY(mu_) = false;
};

}  // namespace sorvel
