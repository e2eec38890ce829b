#include "Common/GdprForgetMe.h"

#include <atomic>
#include <chrono>

#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/SvlLog.h"
#include "Platform/Dispatch.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"

namespace sorvel {

// The erasure re-send of the forget-me check, and the hook to the use case.
struct GdprForgetMe::State {
    platform::Mutex mu;
    platform::CondVar idle{&mu};
    Action hook GUARDED_BY(mu);
    bool inFlight GUARDED_BY(mu) = false;
    // Which re-send inFlight belongs to: a ticket of an earlier one (or of an
    // SDK instance a test already replaced) must not end the current one.
    std::uint64_t generation GUARDED_BY(mu) = 0;
    // Counts the re-sends that ended, so a check can tell that one ended
    // between its read of the confirmation and its start of another.
    std::uint64_t ended GUARDED_BY(mu) = 0;
    std::shared_ptr<platform::DispatchQueue> queue GUARDED_BY(mu);
};

// Keeps one re-send in flight for as long as anything holds it: the action's
// `done` carries it to the connection manager's completion, which lives until
// the last retry has been answered. Released by that call, or when the last
// holder drops it without calling.
class GdprForgetMe::ResendTicket {
  public:
    ResendTicket(std::shared_ptr<State> state, std::uint64_t generation)
        : state_(std::move(state)), generation_(generation) {}
    ~ResendTicket() { release(); }
    ResendTicket(const ResendTicket&) = delete;
    ResendTicket& operator=(const ResendTicket&) = delete;

    void release() {
        if (released_.exchange(true)) {
            return;
        }
        auto& s = *state_;
        platform::MutexLock lock(s.mu);
        if (s.generation == generation_) {
            s.inFlight = false;
            ++s.ended;
            s.idle.signalAll();
        }
    }

  private:
    const std::shared_ptr<State> state_;
    const std::uint64_t generation_;
    std::atomic<bool> released_{false};
};

GdprForgetMe::GdprForgetMe() : state_(std::make_shared<State>()) {}

GdprForgetMe& GdprForgetMe::shared() {
    struct Process {
        GdprForgetMe owner;
        // The hook points into one SDK instance; a fresh one starts without,
        // and without a re-send of the old one counting as in flight.
        Process() {
            platform::registerResetHook([this] { owner.reset(); });
        }
    };
    static platform::NoDestructor<Process> process;
    return process.get().owner;
}

void GdprForgetMe::reset() {
    auto& s = *state_;
    platform::MutexLock lock(s.mu);
    s.hook = nullptr;
    s.inFlight = false;
    ++s.generation;
    s.idle.signalAll();
}

bool GdprForgetMe::isGdprForgetMe(const Action& action, const DataRegistry& registry) {
    if (!registry.getBool(DataRegistryKey::BOOL_GDPR_FORGET_ME, false)) {
        return false;
    }
    auto& state = *state_;
    std::uint64_t endedBefore = 0;
    {
        platform::MutexLock lock(state.mu);
        if (state.inFlight) {
            return true;
        }
        endedBefore = state.ended;
    }
    if (registry.getBool(DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC, false) || !action) {
        return true;
    }
    // The re-send waits on the network (up to four 60 s attempts, 10 s
    // apart); the caller is usually the app's main thread on its way into a
    // public call, so it goes to a background queue, and one request at a time
    // is enough: it stays in flight until its last retry is over.
    std::shared_ptr<platform::DispatchQueue> queue;
    std::uint64_t generation = 0;
    {
        auto& s = state;
        platform::MutexLock lock(s.mu);
        // A re-send that ended after the confirmation was read may have
        // stored it: starting another now would send the erasure twice. The
        // next check reads the confirmation anew.
        if (s.inFlight || s.ended != endedBefore) {
            return true;
        }
        if (!s.queue) {
            s.queue = platform::DispatchQueue::makeSerial("FvnGdprForgetMeResendQueue");
        }
        s.inFlight = true;
        generation = ++s.generation;
        queue = s.queue;
    }
    // Queued outside the lock: the ticket's release takes it, and the block
    // (or, should queueing fail, the dropped block) may release at any time.
    queue->async([action, ticket = std::make_shared<ResendTicket>(state_, generation)]() mutable {
        Done done = [held = std::move(ticket)] { held->release(); };
        try {
            action(std::move(done));
        } catch (...) {
            SvlLog::error("isGdprForgetMe :: the GDPR forget-me re-send failed", true);
        }
    });
    return true;
}

void GdprForgetMe::executeGdprForgetMe(Done done) {
    Action hook;
    {
        auto& s = *state_;
        platform::MutexLock lock(s.mu);
        hook = s.hook;
    }
    if (!hook) {
        SvlLog::debug("executeGdprForgetMe :: no GDPR forget-me use case is installed", true);
        return;
    }
    hook(std::move(done));
}

void GdprForgetMe::setGdprForgetMeHook(Action hook) {
    auto& s = *state_;
    platform::MutexLock lock(s.mu);
    s.hook = std::move(hook);
}

bool GdprForgetMe::waitForResendIdle(platform::Millis deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    auto& s = *state_;
    platform::MutexLock lock(s.mu);
    while (s.inFlight && std::chrono::steady_clock::now() < until) {
        s.idle.waitUntil(until);
    }
    return !s.inFlight;
}

bool FvnUtil::isGdprForgetMe(const GdprForgetMe::Action& action, const DataRegistry& registry) {
    return GdprForgetMe::shared().isGdprForgetMe(action, registry);
}

void FvnUtil::executeGdprForgetMe(GdprForgetMe::Done done) {
    GdprForgetMe::shared().executeGdprForgetMe(std::move(done));
}

}  // namespace sorvel
