#include "Platform/Scheduler.h"

#include <algorithm>
#include <exception>
#include <string>

#include "Platform/ProcessState.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform::detail {

void performBlock(const std::function<void()>& block, std::string_view where) noexcept {
    try {
        block();
    } catch (const std::exception& e) {
        SystemLog::write(std::string("Dispatch: a block on ") + std::string(where) +
                         " threw and was abandoned: " + e.what());
    } catch (...) {
        SystemLog::write(std::string("Dispatch: a block on ") + std::string(where) +
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
            wake_.signal();
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
    wake_.signal();
}

void Scheduler::threadMain() {
    detail::nameThisThread("sorvel-timers");
    for (;;) {
        {
            MutexLock lock(mu_);
            while (clock_->isManual() || !hasDueLocked()) {
                if (items_.empty() || clock_->isManual()) {
                    waitOn(wake_, mu_);
                } else {
                    auto left = items_.begin()->first.first - clock_->monoNow();
                    waitOnUntil(wake_, mu_, std::chrono::steady_clock::now() + left);
                }
            }
        }
        runDue(false);
    }
}

}  // namespace sorvel::platform::detail
