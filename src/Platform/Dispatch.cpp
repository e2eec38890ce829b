#include "Platform/Dispatch.h"

#include <pthread.h>

#include <atomic>
#include <cassert>
#include <deque>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Platform/ProcessState.h"
#include "Platform/RunLoop.h"
#include "Platform/Scheduler.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform {
namespace {

// Which queue the calling thread works for. Serial and pool threads set it
// once: they run nothing but their queue's blocks.
struct CurrentQueue {
    const void* id = nullptr;
    const std::string* label = nullptr;
};

CurrentQueue& currentQueue() {
    thread_local CurrentQueue current;
    return current;
}

struct MainThread {
    const std::thread::id firstUser = std::this_thread::get_id();
    std::atomic<std::thread::id> runLoopThread{};
};

MainThread& mainThread() {
    static NoDestructor<MainThread> m;
    return m.get();
}

void reportMisuse(const char* what) {
    SystemLog::write(std::string("Dispatch: programming error: ") + what);
    assert(false && "sync onto the queue the caller is running on deadlocks");
}

class SerialQueue final : public DispatchQueue {
  public:
    explicit SerialQueue(const std::string& label)
        : DispatchQueue(label), state_(std::make_shared<State>(label)) {
        worker_ = std::thread([s = state_] { s->work(); });
    }

    ~SerialQueue() override {
        state_->close();
        if (worker_.get_id() == std::this_thread::get_id()) {
            // The last reference went inside one of our own blocks: the worker
            // drains the rest and ends by itself.
            worker_.detach();
        } else {
            worker_.join();
        }
    }

    void async(Block block) override { state_->push(std::move(block)); }

    bool isCurrent() const override { return currentQueue().id == state_.get(); }

  protected:
    std::function<void(Block)> deferredTarget() override {
        return [weak = std::weak_ptr<State>(state_)](Block block) {
            if (auto s = weak.lock()) {
                s->push(std::move(block));
            }
        };
    }

  private:
    // Shared with the worker, which may outlive the queue object (see above).
    struct State {
        explicit State(std::string l) : label(std::move(l)) {}

        void push(Block block) {
            Block dropped;  // destroyed after unlocking: it may own anything
            MutexLock lock(mu);
            if (finished) {
                dropped = std::move(block);
                return;
            }
            blocks.push_back(std::move(block));
            if (idle) {
                idle = false;
                cv.signal();
            }
        }

        void close() {
            MutexLock lock(mu);
            closing = true;
            cv.signal();
        }

        void work() {
            detail::nameThisThread(label);
            currentQueue() = CurrentQueue{this, &label};
            std::vector<Block> batch;
            for (;;) {
                {
                    MutexLock lock(mu);
                    while (blocks.empty() && !closing) {
                        idle = true;
                        detail::waitOn(cv, mu);
                    }
                    if (blocks.empty()) {
                        finished = true;
                        return;
                    }
                    batch.swap(blocks);
                }
                for (auto& block : batch) {
                    detail::performBlock(block, label);
                    block = nullptr;  // release captures before the next block runs
                }
                batch.clear();
            }
        }

        const std::string label;
        Mutex mu;
        CondVar cv{&mu};
        std::vector<Block> blocks GUARDED_BY(mu);
        bool idle GUARDED_BY(mu) = false;
        bool closing GUARDED_BY(mu) = false;
        bool finished GUARDED_BY(mu) = false;
    };

    std::shared_ptr<State> state_;
    std::thread worker_;
};

// Elastic pool: a block goes to an idle thread, or to a new thread when none
// is idle, so blocks that wait (60 s network time-outs) never hold up others.
// Threads idle for a while exit, down to a small reserve.
class GlobalQueue final : public DispatchQueue {
  public:
    GlobalQueue() : DispatchQueue("global-default") {}

    void async(Block block) override {
        bool spawn = false;
        {
            MutexLock lock(mu_);
            jobs_.push_back(std::move(block));
            if (static_cast<std::size_t>(idle_) >= jobs_.size()) {
                cv_.signal();
            } else if (threads_ < kMaxThreads) {
                ++threads_;
                spawn = true;
            }
        }
        if (spawn) {
            startThread();
        }
    }

    bool isCurrent() const override { return currentQueue().id == this; }

  protected:
    // A pool thread waiting in sync is busy, so the pool starts another one
    // for the block.
    bool syncWouldDeadlock() const override { return false; }

    std::function<void(Block)> deferredTarget() override {
        return [this](Block block) { async(std::move(block)); };
    }

  private:
    static constexpr int kMaxThreads = 512;
    static constexpr int kMinThreads = 2;
    static constexpr auto kIdleExit = std::chrono::seconds(30);

    void startThread() {
        try {
            // Detached: the pool lives as long as the process and exit must not
            // wait for a block stuck on the network.
            std::thread([this] { work(); }).detach();
        } catch (const std::system_error& e) {
            SystemLog::write(std::string("Dispatch: cannot start a global queue thread: ") +
                             e.what());
            MutexLock lock(mu_);
            --threads_;
        }
    }

    void work() {
        detail::nameThisThread("sorvel-global");
        currentQueue() = CurrentQueue{this, &label()};
        mu_.lock();
        for (;;) {
            if (!jobs_.empty()) {
                Block block = std::move(jobs_.front());
                jobs_.pop_front();
                mu_.unlock();
                detail::performBlock(block, label());
                block = nullptr;
                mu_.lock();
                continue;
            }
            ++idle_;
            bool woken =
                detail::waitOnUntil(cv_, mu_, std::chrono::steady_clock::now() + kIdleExit);
            --idle_;
            if (!woken && jobs_.empty() && threads_ > kMinThreads) {
                --threads_;
                break;
            }
        }
        mu_.unlock();
    }

    Mutex mu_;
    CondVar cv_{&mu_};
    std::deque<Block> jobs_ GUARDED_BY(mu_);
    int threads_ GUARDED_BY(mu_) = 0;
    int idle_ GUARDED_BY(mu_) = 0;
};

class MainQueue final : public DispatchQueue {
  public:
    MainQueue() : DispatchQueue("main-thread") {}

    void async(Block block) override { RunLoop::main().perform(std::move(block)); }

    bool isCurrent() const override { return isMainThread(); }

  protected:
    std::function<void(Block)> deferredTarget() override {
        return [this](Block block) { async(std::move(block)); };
    }
};

}  // namespace

namespace detail {

void noteFirstUse() {
    (void)mainThread();
}

void nameThisThread(std::string_view name) noexcept {
    char buffer[16] = {};
    name.copy(buffer, sizeof buffer - 1);
    pthread_setname_np(pthread_self(), buffer);
}

void markMainRunLoopThread() {
    mainThread().runLoopThread.store(std::this_thread::get_id(), std::memory_order_release);
}

}  // namespace detail

bool isMainThread() {
    auto& m = mainThread();
    std::thread::id runner = m.runLoopThread.load(std::memory_order_acquire);
    return (runner == std::thread::id() ? m.firstUser : runner) == std::this_thread::get_id();
}

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerial(const std::string& label) {
    detail::noteFirstUse();
    return std::make_shared<SerialQueue>(label);
}

DispatchQueue& DispatchQueue::main() {
    detail::noteFirstUse();
    static NoDestructor<MainQueue> queue;
    return queue.get();
}

DispatchQueue& DispatchQueue::global() {
    detail::noteFirstUse();
    static NoDestructor<GlobalQueue> queue;
    return queue.get();
}

void DispatchQueue::sync(const Block& block) {
    if (syncWouldDeadlock()) {
        reportMisuse(("sync onto queue " + label() + " from its own thread").c_str());
        detail::performBlock(block, label());
        return;
    }
    DispatchSemaphore done;
    async([&] {
        detail::performBlock(block, label());
        done.signal();
    });
    done.wait();
}

void DispatchQueue::asyncAfter(Millis delay, Block block) {
    detail::Scheduler::instance().after(
        delay, [target = deferredTarget(), block = std::move(block)]() mutable {
            target(std::move(block));
        });
}

std::string DispatchQueue::currentLabel() {
    const auto& current = currentQueue();
    if (current.label != nullptr) {
        return *current.label;
    }
    return isMainThread() ? main().label() : std::string();
}

DispatchSemaphore::DispatchSemaphore(long value) : value_(value) {}

void DispatchSemaphore::signal() {
    // Signalled under the lock: a waiter may destroy the semaphore as soon as
    // it gets through.
    MutexLock lock(mu_);
    ++value_;
    cv_.signal();
}

void DispatchSemaphore::wait() {
    MutexLock lock(mu_);
    while (value_ <= 0) {
        detail::waitOn(cv_, mu_);
    }
    --value_;
}

bool DispatchSemaphore::waitFor(Millis timeout) {
    auto end = std::chrono::steady_clock::now() + detail::clampDelay(timeout);
    MutexLock lock(mu_);
    while (value_ <= 0) {
        if (!detail::waitOnUntil(cv_, mu_, end) && value_ <= 0) {
            return false;
        }
    }
    --value_;
    return true;
}

}  // namespace sorvel::platform
