#include "Common/SdkState.h"

#include "Platform/ProcessState.h"

namespace sorvel {
namespace {

struct Door {
    std::atomic<SdkState*> current{nullptr};
    platform::Mutex mu;
    // Every state ever made, the current one last: none is freed, since a
    // thread of an earlier SDK may still use one of its parts.
    std::vector<std::unique_ptr<SdkState>> states GUARDED_BY(mu);

    SdkState& make() {
        platform::MutexLock lock(mu);
        if (auto* s = current.load(std::memory_order_acquire)) {
            return *s;
        }
        states.push_back(std::make_unique<SdkState>());
        current.store(states.back().get(), std::memory_order_release);
        return *states.back();
    }
};

Door& door() {
    // Never destroyed: SDK threads may still reach their state while the
    // process exits.
    static platform::NoDestructor<Door> d;
    return d.get();
}

}  // namespace

SdkState& SdkState::shared() noexcept {
    auto& d = door();
    if (auto* s = d.current.load(std::memory_order_acquire)) {
        return *s;
    }
    return d.make();
}

void SdkState::adopt(std::size_t slot, std::unique_ptr<SdkStatePart> made) {
    SdkStatePart* raw = made.get();
    {
        platform::MutexLock lock(mu_);
        built_.push_back(std::move(made));
    }
    slots_[slot].store(raw, std::memory_order_release);
}

void SdkState::retireParts() {
    std::size_t done = 0;
    for (;;) {
        std::vector<SdkStatePart*> parts;
        {
            platform::MutexLock lock(mu_);
            for (std::size_t i = done; i < built_.size(); ++i) {
                parts.push_back(built_[i].get());
            }
            done = built_.size();
        }
        if (parts.empty()) {
            return;
        }
        // The last built first, as a process ends its statics: a part still
        // finds the ones it was built from (the logger, the flags) while it
        // retires. A part first read by a retiring one is retired after it.
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
            (*it)->retire();
        }
    }
}

void SdkState::replaceForTesting() {
    auto& d = door();
    SdkState& old = shared();
    // Retired while still current: work of the old SDK that runs meanwhile
    // (a drain, a last upload) reaches the old parts, never builds new ones
    // from a home folder the next test has not set yet.
    old.retireParts();
    platform::MutexLock lock(d.mu);
    d.states.push_back(std::make_unique<SdkState>());
    d.current.store(d.states.back().get(), std::memory_order_release);
}

}  // namespace sorvel
