#include "View/InAppMessage/CountDownTimer.h"

#include "Platform/Dispatch.h"

namespace sorvel {

using platform::MutexLock;

std::shared_ptr<CountDownTimer> CountDownTimer::make(int count, Block onFire, Block onFinish,
                                                     platform::Millis interval) {
    auto timer = std::make_shared<CountDownTimer>(Token{}, count, std::move(onFire),
                                                  std::move(onFinish), interval);
    timer->start();
    return timer;
}

CountDownTimer::CountDownTimer(Token, int count, Block onFire, Block onFinish,
                               platform::Millis interval)
    : count_(count),
      onFireBlock_(std::move(onFire)),
      onTimerFinish_(std::move(onFinish)),
      interval_(interval),
      loop_(std::make_shared<platform::RunLoop>()) {}

CountDownTimer::~CountDownTimer() {
    // The worker holds the object while its loop runs, so nothing is left to
    // end here but a timer that was never started.
    std::shared_ptr<platform::Timer> timer;
    {
        MutexLock lock(mu_);
        timer = std::move(timer_);
    }
    if (timer) {
        timer->invalidate();
    }
}

void CountDownTimer::start() {
    std::shared_ptr<CountDownTimer> self = shared_from_this();
    platform::DispatchQueue::global().async([self] {
        std::weak_ptr<CountDownTimer> weak = self;
        {
            MutexLock lock(self->mu_);
            if (self->stopped_) {
                return;
            }
            self->timer_ =
                platform::Timer::scheduleRepeating(*self->loop_, self->interval_, [weak] {
                    if (auto t = weak.lock()) {
                        t->onFire();
                    }
                });
        }
        // Serves the timer (and the ticks fire() queued) until stop().
        self->loop_->run();
    });
}

void CountDownTimer::fire() {
    std::weak_ptr<CountDownTimer> weak = weak_from_this();
    loop_->perform([weak] {
        if (auto t = weak.lock()) {
            t->onFire();
        }
    });
}

void CountDownTimer::stop() {
    std::shared_ptr<platform::Timer> timer;
    {
        MutexLock lock(mu_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        timer = std::move(timer_);
    }
    if (timer) {
        timer->invalidate();
    }
    loop_->stop();
}

void CountDownTimer::onFire() {
    bool tick = false;
    {
        MutexLock lock(mu_);
        if (stopped_) {
            return;
        }
        if (currentCount_ < count_) {
            ++currentCount_;
            tick = true;
        }
    }
    if (tick) {
        if (onFireBlock_) {
            onFireBlock_();
        }
        return;
    }
    if (onTimerFinish_) {
        onTimerFinish_();
    }
    stop();
}

int CountDownTimer::currentCount() const {
    MutexLock lock(mu_);
    return currentCount_;
}

bool CountDownTimer::isScheduled() const {
    MutexLock lock(mu_);
    return timer_ != nullptr;
}

bool CountDownTimer::isStopped() const {
    MutexLock lock(mu_);
    return stopped_;
}

}  // namespace sorvel
