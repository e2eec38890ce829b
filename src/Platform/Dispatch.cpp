#include "Platform/Dispatch.h"

#include <pthread.h>

#include <atomic>
#include <cassert>
#include <deque>
#include <optional>
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
    SystemLog::log(LogLevel::error, std::string("Dispatch: programming error: ") + what);
    assert(false && "sync onto the queue the caller is running on deadlocks");
}

// The serial worker whose thread this is (set once by that worker): blocks of
// every queue that targets it run here too.
const void*& currentRoot() {
    thread_local const void* root = nullptr;
    return root;
}

// A serial queue with a worker thread of its own, started by its first block
// and ended after a while without any.
// Queues made with it as their target hand it one drain block at a time.
class SerialQueue final : public DispatchQueue {
  public:
    // Shared with the worker, which may outlive the queue object (see the
    // destructor), and with the queues that target this one.
    class State : public std::enable_shared_from_this<State> {
      public:
        explicit State(std::string l) : label(std::move(l)) {}

        // hold > 0: the worker may wait that long (from the first such block)
        // for more blocks before it runs the ones it has.
        void push(Block block, Millis hold) {
            Block dropped;  // destroyed after unlocking: it may own anything
            MutexLock lock(mu);
            if (finished || (closing && !started)) {
                dropped = std::move(block);
                return;
            }
            blocks.push_back(std::move(block));
            if (hold > Millis(0)) {
                if (!holdUntil) {
                    holdUntil = std::chrono::steady_clock::now() + hold;
                }
            } else {
                unheld = true;
            }
            if (!started) {
                start();
            } else if (waiting == Wait::IDLE || (waiting == Wait::HOLD && unheld)) {
                waiting = Wait::NONE;
                cv.signal();
            }
        }

        // Ends a hold on the blocks waiting now.
        void endHold() {
            MutexLock lock(mu);
            if (blocks.empty() || unheld) {
                return;
            }
            unheld = true;
            if (waiting == Wait::HOLD) {
                waiting = Wait::NONE;
                cv.signal();
            }
        }

        // The worker, to be joined (not joinable when none was started).
        std::thread close() {
            MutexLock lock(mu);
            closing = true;
            if (waiting != Wait::NONE) {
                waiting = Wait::NONE;
                cv.signal();
            }
            return std::move(worker);
        }

        const std::string label;

      private:
        enum class Wait { NONE, IDLE, HOLD };
        // A queue that sees no work for this long keeps no thread.
        static constexpr auto kIdleExit = std::chrono::seconds(2);

        void start() EXCLUSIVE_LOCKS_REQUIRED(mu) {
            try {
                worker = std::thread([s = shared_from_this()] { s->work(); });
                started = true;
            } catch (const std::system_error& e) {
                // The blocks wait for the next one, which tries again.
                SystemLog::log(LogLevel::error, "Dispatch: cannot start the thread of queue " +
                                                    label + ": " + e.what());
            }
        }

        void work() {
            detail::nameThisThread(label);
            currentQueue() = CurrentQueue{this, &label};
            currentRoot() = this;
            std::vector<Block> batch;
            for (;;) {
                {
                    MutexLock lock(mu);
                    for (;;) {
                        if (blocks.empty()) {
                            if (closing) {
                                finished = true;
                                return;
                            }
                            waiting = Wait::IDLE;
                            const bool woken = detail::waitOnUntil(
                                cv, mu, std::chrono::steady_clock::now() + kIdleExit);
                            waiting = Wait::NONE;
                            if (!woken && blocks.empty() && !closing) {
                                // Long idle: the thread goes, and the next
                                // block starts another.
                                worker.detach();
                                started = false;
                                return;
                            }
                            continue;
                        }
                        if (holdUntil && !unheld && !closing &&
                            std::chrono::steady_clock::now() < *holdUntil) {
                            waiting = Wait::HOLD;
                            detail::waitOnUntil(cv, mu, *holdUntil);
                            waiting = Wait::NONE;
                            continue;
                        }
                        break;
                    }
                    batch.swap(blocks);
                    holdUntil.reset();
                    unheld = false;
                }
                for (auto& block : batch) {
                    detail::performBlock(block, label);
                    block = nullptr;  // release captures before the next block runs
                }
                batch.clear();
            }
        }

        Mutex mu;
        CondVar cv{&mu};
        std::vector<Block> blocks GUARDED_BY(mu);
        // The end of the hold on the blocks waiting, unless one came unheld.
        std::optional<std::chrono::steady_clock::time_point> holdUntil GUARDED_BY(mu);
        bool unheld GUARDED_BY(mu) = false;
        Wait waiting GUARDED_BY(mu) = Wait::NONE;
        bool started GUARDED_BY(mu) = false;
        bool closing GUARDED_BY(mu) = false;
        bool finished GUARDED_BY(mu) = false;
        std::thread worker GUARDED_BY(mu);
    };

    explicit SerialQueue(const std::string& label)
        : DispatchQueue(label), state_(std::make_shared<State>(label)) {}

    ~SerialQueue() override {
        std::thread worker = state_->close();
        if (!worker.joinable()) {
            return;
        }
        if (worker.get_id() == std::this_thread::get_id()) {
            // The last reference went inside one of our own blocks: the worker
            // drains the rest and ends by itself.
            worker.detach();
        } else {
            worker.join();
        }
    }

    void async(Block block) override { state_->push(std::move(block), Millis(0)); }
    void asyncCoalesced(Block block, Millis upTo) override { state_->push(std::move(block), upTo); }

    bool isCurrent() const override { return currentQueue().id == state_.get(); }
    bool runsOnCurrentThread() const override { return currentRoot() == state_.get(); }

    const std::shared_ptr<State>& state() const { return state_; }

  protected:
    std::function<void(Block)> deferredTarget() override {
        return [weak = std::weak_ptr<State>(state_)](Block block) {
            if (auto s = weak.lock()) {
                s->push(std::move(block), Millis(0));
            }
        };
    }
    // A block of any queue sharing the thread is mid-run up the stack.
    bool syncWouldDeadlock() const override { return runsOnCurrentThread(); }

  private:
    std::shared_ptr<State> state_;
};

// A serial queue that runs on its target's thread. Its blocks wait in its own
// list; while it has any, one drain block of it waits in the target's, so the
// queues sharing a thread take turns, one batch each.
class TargetedQueue final : public DispatchQueue {
  public:
    TargetedQueue(const std::string& label, std::shared_ptr<SerialQueue> root)
        : DispatchQueue(label), root_(std::move(root)), sub_(std::make_shared<Sub>(label, root_)) {}

    ~TargetedQueue() override {
        // What is queued runs before the last reference is gone, as on a
        // queue with a thread of its own.
        if (runsOnCurrentThread()) {
            if (!sub_->running) {
                runWaiting(sub_);
            }
            return;
        }
        {
            MutexLock lock(sub_->mu);
            if (!sub_->scheduled) {
                return;
            }
        }
        DispatchSemaphore done;
        push(
            sub_, [&done] { done.signal(); }, Millis(0));
        done.wait();
    }

    void async(Block block) override { push(sub_, std::move(block), Millis(0)); }
    void asyncCoalesced(Block block, Millis upTo) override { push(sub_, std::move(block), upTo); }

    bool isCurrent() const override { return currentQueue().id == sub_.get(); }
    bool runsOnCurrentThread() const override { return root_->runsOnCurrentThread(); }

    const std::shared_ptr<SerialQueue>& root() const { return root_; }

  protected:
    std::function<void(Block)> deferredTarget() override {
        return [weak = std::weak_ptr<Sub>(sub_)](Block block) {
            if (auto s = weak.lock()) {
                push(s, std::move(block), Millis(0));
            }
        };
    }
    bool syncWouldDeadlock() const override { return false; }

    bool syncInPlace(const Block& block) override {
        if (!runsOnCurrentThread()) {
            return false;
        }
        if (sub_->running) {
            reportMisuse(("sync onto queue " + label() + " from its own thread").c_str());
            detail::performBlock(block, label());
            return true;
        }
        // The caller holds up the only thread that would run this queue:
        // what waits runs here, then the block, as that thread would.
        runWaiting(sub_, &block);
        return true;
    }

  private:
    struct Sub {
        Sub(std::string l, const std::shared_ptr<SerialQueue>& r)
            : label(std::move(l)), root(r->state()) {}

        const std::string label;
        // The state, not the queue: a pending drain must not keep the thread's
        // owner alive (TargetedQueue holds that).
        const std::shared_ptr<SerialQueue::State> root;
        Mutex mu;
        std::deque<Block> blocks GUARDED_BY(mu);
        // A drain block of this queue waits in the root's list (or runs).
        bool scheduled GUARDED_BY(mu) = false;
        // Since the last take: a block came without a hold, or the first hold.
        bool unheld GUARDED_BY(mu) = false;
        Millis hold GUARDED_BY(mu){0};
        // A batch of this queue runs on the root's thread; only that thread
        // touches it.
        bool running = false;
    };

    static void push(const std::shared_ptr<Sub>& s, Block block, Millis hold) {
        bool post = false;
        bool endHold = false;
        {
            MutexLock lock(s->mu);
            s->blocks.push_back(std::move(block));
            if (hold > Millis(0)) {
                if (s->hold == Millis(0)) {
                    s->hold = hold;
                }
            } else {
                s->unheld = true;
            }
            if (!s->scheduled) {
                s->scheduled = true;
                post = true;
            } else {
                endHold = hold <= Millis(0);
            }
        }
        if (post) {
            s->root->push([s] { drain(s); }, hold);
        } else if (endHold) {
            s->root->endHold();
        }
    }

    // Runs the blocks waiting now, then `last`, as this queue's blocks.
    static void runWaiting(const std::shared_ptr<Sub>& s, const Block* last = nullptr) {
        std::deque<Block> batch;
        {
            MutexLock lock(s->mu);
            batch.swap(s->blocks);
            s->unheld = false;
            s->hold = Millis(0);
        }
        const CurrentQueue saved = currentQueue();
        currentQueue() = CurrentQueue{s.get(), &s->label};
        s->running = true;
        for (auto& block : batch) {
            detail::performBlock(block, s->label);
            block = nullptr;
        }
        if (last != nullptr) {
            detail::performBlock(*last, s->label);
        }
        s->running = false;
        currentQueue() = saved;
    }

    // The drain block, on the root's thread: one batch, then the queue goes
    // behind whatever else waits for the thread.
    static void drain(const std::shared_ptr<Sub>& s) {
        runWaiting(s);
        Millis hold{0};
        {
            MutexLock lock(s->mu);
            if (s->blocks.empty()) {
                s->scheduled = false;
                return;
            }
            hold = s->unheld ? Millis(0) : s->hold;
        }
        s->root->push([s] { drain(s); }, hold);
    }

    const std::shared_ptr<SerialQueue> root_;
    const std::shared_ptr<Sub> sub_;
};

// Elastic pool: a block goes to an idle thread, or to a new thread when none
// is idle, so blocks that wait (60 s network time-outs) never hold up others.
// Threads idle for a while exit, every one of them: the pool serves the
// SDK's occasional work (a first launch's store, a timer's notice, a retry),
// and a process that has none keeps no thread for it.
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
    static constexpr int kMinThreads = 0;
    static constexpr auto kIdleExit = std::chrono::seconds(2);

    void startThread() {
        try {
            // Detached: the pool lives as long as the process and exit must not
            // wait for a block stuck on the network.
            std::thread([this] { work(); }).detach();
        } catch (const std::system_error& e) {
            SystemLog::log(
                LogLevel::error,
                std::string("Dispatch: cannot start a global queue thread: ") + e.what());
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

void assertRunsOn([[maybe_unused]] const DispatchQueue& queue, [[maybe_unused]] const char* what) {
#ifndef NDEBUG
    if (!queue.runsOnCurrentThread()) {
        SystemLog::log(LogLevel::error, std::string("Dispatch: programming error: ") + what +
                                            " runs off the thread of queue " + queue.label());
        assert(false && "work runs off the thread of its queue");
    }
#endif
}

bool isMainThread() {
    auto& m = mainThread();
    std::thread::id runner = m.runLoopThread.load(std::memory_order_acquire);
    return (runner == std::thread::id() ? m.firstUser : runner) == std::this_thread::get_id();
}

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerial(const std::string& label) {
    detail::noteFirstUse();
    return std::make_shared<SerialQueue>(label);
}

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerial(
    const std::string& label, const std::shared_ptr<DispatchQueue>& target) {
    detail::noteFirstUse();
    std::shared_ptr<SerialQueue> root = std::dynamic_pointer_cast<SerialQueue>(target);
    if (auto targeted = std::dynamic_pointer_cast<TargetedQueue>(target)) {
        root = targeted->root();
    }
    if (!root) {
        return std::make_shared<SerialQueue>(label);
    }
    return std::make_shared<TargetedQueue>(label, std::move(root));
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
    if (syncInPlace(block)) {
        return;
    }
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
