#include "Platform/Scheduler.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>

#include "Platform/ProcessState.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform::detail {

void performBlock(const std::function<void()>& block, std::string_view where) noexcept {
    try {
        block();
    } catch (const std::exception& e) {
        SystemLog::log(LogLevel::error, std::string("Dispatch: a block on ") + std::string(where) +
                                            " threw and was abandoned: " + e.what());
    } catch (...) {
        SystemLog::log(LogLevel::error, std::string("Dispatch: a block on ") + std::string(where) +
                                            " threw and was abandoned");
    }
}

Millis clampDelay(Millis d) {
    if (d < Millis(0)) {
        return Millis(0);
    }
    return d > kMaxDelay ? kMaxDelay : d;
}

Scheduler& Scheduler::instance() {
    static NoDestructor<Scheduler> scheduler;
    return scheduler.get();
}

Scheduler::Scheduler() {
    noteFirstUse();
    // Read before taking our lock: the clock lock is always taken before the
    // scheduler's (host::setClock holds it while it rebases us), never after.
    // No clock change can slip in between: host::setClock first waits for
    // this constructor to finish.
    std::shared_ptr<IClock> current = clockPtr();
    {
        MutexLock lock(mu_);
        clock_ = std::move(current);
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        SystemLog::log(LogLevel::warning,
                       std::string("Dispatch: no wake-up descriptor for the timers (") +
                           std::strerror(errno) + "); they look for work every few milliseconds");
    }
    // Never joined: the scheduler lives as long as the process.
    std::thread([this] { threadMain(); }).detach();
}

Scheduler::Id Scheduler::after(Millis delay, HandOff handOff) {
    return insert(clampDelay(delay), Millis(0), nullptr, std::move(handOff));
}

Scheduler::Id Scheduler::every(Millis period, std::function<bool()> alive, HandOff handOff) {
    period = std::max(clampDelay(period), Millis(1));
    return insert(period, period, std::move(alive), std::move(handOff));
}

Scheduler::Id Scheduler::insert(Millis delay, Millis period, std::function<bool()> alive,
                                HandOff handOff) {
    bool dueNow = false;
    Id id = 0;
    {
        MutexLock lock(mu_);
        MonoTime now = clock_->monoNow();
        id = nextSeq_++;
        auto it = items_
                      .emplace(Key{now + delay, id},
                               Item{id, period, std::move(alive), std::move(handOff)})
                      .first;
        if (clock_->isManual()) {
            dueNow = delay <= Millis(0);
        } else if (it == items_.begin()) {
            wakeThread();
        }
    }
    if (dueNow) {
        runDue(false);
    }
    return id;
}

void Scheduler::cancel(Id id) {
    std::map<Key, Item>::node_type dropped;  // destroyed after unlocking: it owns captures
    MutexLock lock(mu_);
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        if (it->second.id == id) {
            dropped = items_.extract(it);
            break;
        }
    }
}

bool Scheduler::hasDueLocked() {
    return !items_.empty() && items_.begin()->first.first <= clock_->monoNow();
}

void Scheduler::runDue(bool waitForOthers) {
    for (;;) {
        HandOff handOff;
        std::map<Key, Item>::node_type done;  // destroyed after unlocking: it owns captures
        {
            MutexLock lock(mu_);
            if (!hasDueLocked()) {
                break;
            }
            MonoTime now = clock_->monoNow();
            auto node = items_.extract(items_.begin());
            Item& item = node.mapped();
            if (item.period == Millis(0)) {
                handOff = std::move(item.handOff);
                done = std::move(node);
            } else if (item.alive && !item.alive()) {
                done = std::move(node);
            } else {
                // Skip the fires a jump of the clock passed over, staying on the grid.
                MonoTime due = node.key().first;
                auto missed = (now - due) / item.period;
                handOff = item.handOff;
                node.key() = Key{due + item.period * (missed + 1), nextSeq_++};
                items_.insert(std::move(node));
            }
            if (handOff) {
                ++handing_;
            }
        }
        if (handOff) {
            handOff();
            MutexLock lock(mu_);
            if (--handing_ == 0) {
                handedOff_.signalAll();
            }
        }
    }
    if (waitForOthers) {
        MutexLock lock(mu_);
        while (handing_ > 0) {
            waitOn(handedOff_, mu_);
        }
    }
}

void Scheduler::clockAdvanced(const IClock* clock) {
    {
        MutexLock lock(mu_);
        if (clock_.get() != clock) {
            return;  // a manual clock that is not (or no longer) the current one
        }
    }
    runDue(true);
}

void Scheduler::clockChanged(std::shared_ptr<IClock> clock) {
    MutexLock lock(mu_);
    if (clock == clock_) {
        return;
    }
    MonoTime oldNow = clock_->monoNow();
    MonoTime newNow = clock->monoNow();
    std::map<Key, Item> rebased;
    while (!items_.empty()) {
        auto node = items_.extract(items_.begin());
        node.key().first = newNow + (node.key().first - oldNow);
        rebased.insert(std::move(node));
    }
    items_.swap(rebased);
    clock_ = std::move(clock);
    wakeThread();
}

void Scheduler::wakeThread() {
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        // Only fails when the counter is full, and then a wake-up is pending.
        (void)!::write(wakeFd_, &one, sizeof one);
    }
}

void Scheduler::watchInput(int fd, Millis quiet, std::function<bool()> onInput,
                           std::function<void()> onQuiet) {
    auto watch = std::make_shared<InputWatch>();
    watch->fd = fd;
    watch->quiet = clampDelay(quiet);
    watch->onInput = std::move(onInput);
    watch->onQuiet = std::move(onQuiet);
    MutexLock lock(mu_);
    watches_.push_back(std::move(watch));
    wakeThread();
}

void Scheduler::threadMain() {
    detail::nameThisThread("sorvel-timers");
    for (;;) {
        waitAndWatch();
        bool manual = false;
        {
            MutexLock lock(mu_);
            manual = clock_->isManual();
        }
        if (!manual) {
            runDue(false);
        }
    }
}

void Scheduler::waitAndWatch() {
    using SteadyClock = std::chrono::steady_clock;
    std::vector<std::shared_ptr<InputWatch>> watches;
    std::optional<SteadyClock::duration> wait;  // none: until woken
    {
        MutexLock lock(mu_);
        if (!clock_->isManual() && !items_.empty()) {
            wait = std::max<SteadyClock::duration>(items_.begin()->first.first - clock_->monoNow(),
                                                   SteadyClock::duration::zero());
        }
        watches = watches_;
    }
    const auto now = SteadyClock::now();
    for (const auto& w : watches) {
        if (w->quietAt) {
            const auto left =
                std::max<SteadyClock::duration>(*w->quietAt - now, SteadyClock::duration::zero());
            wait = wait ? std::min(*wait, left) : left;
        }
    }
    if (wakeFd_ < 0) {
        const SteadyClock::duration look = std::chrono::milliseconds(5);
        wait = wait ? std::min(*wait, look) : look;
    }
    if (!wait || *wait > SteadyClock::duration::zero()) {
        std::vector<pollfd> fds;
        fds.reserve(watches.size() + 1);
        fds.push_back(pollfd{wakeFd_, POLLIN, 0});
        for (const auto& w : watches) {
            fds.push_back(pollfd{w->fd, POLLIN, 0});
        }
        timespec ts{};
        if (wait) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*wait).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        if (::ppoll(fds.data(), fds.size(), wait ? &ts : nullptr, nullptr) > 0) {
            if (fds[0].revents != 0) {
                std::uint64_t count = 0;
                (void)!::read(wakeFd_, &count, sizeof count);
            }
            for (std::size_t i = 0; i < watches.size(); ++i) {
                if (fds[i + 1].revents == 0) {
                    continue;
                }
                const auto& w = watches[i];
                bool keep = false;
                performBlock([&] { keep = w->onInput(); }, "an input watch");
                if (keep) {
                    w->quietAt = SteadyClock::now() + w->quiet;
                    continue;
                }
                MutexLock lock(mu_);
                std::erase(watches_, w);
                w->quietAt.reset();
            }
        }
    }
    const auto after = SteadyClock::now();
    for (const auto& w : watches) {
        if (w->quietAt && after >= *w->quietAt) {
            w->quietAt.reset();
            performBlock(w->onQuiet, "an input watch");
        }
    }
}

}  // namespace sorvel::platform::detail
