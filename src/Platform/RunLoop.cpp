#include "Platform/RunLoop.h"

#include <algorithm>
#include <deque>

#include "Platform/ProcessState.h"
#include "Platform/Scheduler.h"

namespace sorvel::platform {

struct RunLoop::State {
    void post(Block block) {
        MutexLock lock(mu);
        blocks.push_back(std::move(block));
        cv.signal();
    }

    Mutex mu;
    CondVar cv{&mu};
    std::deque<Block> blocks GUARDED_BY(mu);
    bool stopRequested GUARDED_BY(mu) = false;
};

namespace {
constexpr std::string_view kWhere = "a run loop";
// How often runUntil re-checks a condition that no block of its own changes.
constexpr Millis kPredicatePoll{5};
}  // namespace

RunLoop::RunLoop() : state_(std::make_shared<State>()) {}

RunLoop::~RunLoop() = default;

RunLoop& RunLoop::main() {
    detail::noteFirstUse();
    // Other threads post to it until the very end of the process.
    static NoDestructor<RunLoop> loop;
    return loop.get();
}

RunLoop& RunLoop::current() {
    if (isMainThread()) {
        return main();
    }
    thread_local RunLoop loop;
    return loop;
}

void RunLoop::markIfMain() {
    if (this == &main()) {
        detail::markMainRunLoopThread();
    }
}

void RunLoop::run() {
    markIfMain();
    State& s = *state_;
    for (;;) {
        Block block;  // destroyed outside the lock
        {
            MutexLock lock(s.mu);
            while (s.blocks.empty() && !s.stopRequested) {
                detail::waitOn(s.cv, s.mu);
            }
            if (s.stopRequested) {
                s.stopRequested = false;
                return;
            }
            block = std::move(s.blocks.front());
            s.blocks.pop_front();
        }
        detail::performBlock(block, kWhere);
    }
}

bool RunLoop::runUntilIdle() {
    markIfMain();
    // Delayed work already due may still sit with the scheduler thread.
    detail::Scheduler::instance().runDue(true);
    std::deque<Block> batch;
    {
        MutexLock lock(state_->mu);
        batch.swap(state_->blocks);
    }
    for (auto& block : batch) {
        detail::performBlock(block, kWhere);
        block = nullptr;
    }
    return !batch.empty();
}

bool RunLoop::runUntil(const std::function<bool()>& pred, Millis deadline) {
    markIfMain();
    auto end = std::chrono::steady_clock::now() + detail::clampDelay(deadline);
    State& s = *state_;
    for (;;) {
        if (pred()) {
            return true;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= end) {
            return pred();
        }
        Block block;  // destroyed outside the lock
        {
            MutexLock lock(s.mu);
            if (s.blocks.empty()) {
                detail::waitOnUntil(s.cv, s.mu, std::min(end, now + kPredicatePoll));
            }
            if (!s.blocks.empty()) {
                block = std::move(s.blocks.front());
                s.blocks.pop_front();
            }
        }
        if (block) {
            detail::performBlock(block, kWhere);
        }
    }
}

void RunLoop::stop() {
    MutexLock lock(state_->mu);
    state_->stopRequested = true;
    state_->cv.signal();
}

void RunLoop::perform(Block block) {
    state_->post(std::move(block));
}

Timer::Timer(Millis interval, std::function<void()> fire)
    : interval_(std::max(detail::clampDelay(interval), Millis(1))), fire_(std::move(fire)) {}

std::shared_ptr<Timer> Timer::scheduleRepeating(RunLoop& loop, Millis interval,
                                                std::function<void()> fire) {
    auto timer = std::make_shared<Timer>(interval, std::move(fire));
    std::weak_ptr<RunLoop::State> weakLoop = loop.state_;
    timer->schedulerId_ = detail::Scheduler::instance().every(
        timer->interval_, [timer, weakLoop] { return timer->isValid() && !weakLoop.expired(); },
        [timer, weakLoop] { timer->handOff(weakLoop); });
    return timer;
}

void Timer::invalidate() {
    valid_ = false;
    detail::Scheduler::instance().cancel(schedulerId_.load());
}

void Timer::handOff(const std::weak_ptr<RunLoop::State>& weakLoop) {
    auto loop = weakLoop.lock();
    if (!loop || !isValid() || firePending_.exchange(true)) {
        return;
    }
    loop->post([self = shared_from_this()] {
        self->firePending_ = false;
        // Checked here, on the run loop, so an invalidate() that came after the
        // hand-off still stops this fire.
        if (self->isValid()) {
            self->fire_();
        }
    });
}

}  // namespace sorvel::platform
