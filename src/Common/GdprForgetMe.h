#pragma once

#include <functional>
#include <memory>

#include "Platform/Clock.h"

namespace sorvel {

class DataRegistry;

// The privacy owner: while the server has not confirmed an erasure the user
// asked for, it re-sends the request in the background, at most one in
// flight, and holds the hook through which the core's use case sends it.
// One instance serves the process (shared()); an instance may also be owned
// and outlived by its re-sends, which keep what they need alive.
class GdprForgetMe {
  public:
    // Called once the erasure request is finished for good: answered, or
    // failed after its last retry. Dropping every copy without calling it
    // counts as finished too (nothing was sent, or nothing is pending).
    using Done = std::function<void()>;
    // Starts the erasure request and hands `done` on to whatever finishes it.
    using Action = std::function<void(Done done)>;

    GdprForgetMe();

    // Whether forget-me is stored true. While the server has not confirmed the
    // erasure, the action is queued on a background serial queue, at most one
    // in flight: a re-send stays in flight, and no other one starts, until its
    // `done` ran (or was dropped), retries included. The caller never waits
    // for the network.
    bool isGdprForgetMe(const Action& action, const DataRegistry& registry);
    // Runs the GDPR forget-me use case through the installed hook; without
    // one it only logs (and `done` is dropped).
    void executeGdprForgetMe(Done done = nullptr);
    // An empty function restores the default (log only). (Common/CoreHooks.h)
    void setGdprForgetMeHook(Action hook);
    // Waits, at most `deadline` in real time, until no erasure re-send is in
    // flight; true when none is. For hosts that must know the background work
    // is over (tests, shutdown).
    bool waitForResendIdle(platform::Millis deadline);
    // Forgets the hook, and a re-send still running stops counting as in
    // flight: a fresh SDK neither calls the old core nor waits for it.
    void reset();

    // The process's owner, never torn down: a re-send may be waiting on the
    // network when the process exits, and exit must neither join its thread
    // (minutes of retries) nor pull the state from under it.
    static GdprForgetMe& shared();

  private:
    struct State;
    class ResendTicket;
    std::shared_ptr<State> state_;
};

// The names the rest of the SDK knows the privacy owner's checks by.
namespace FvnUtil {

// GdprForgetMe::shared().isGdprForgetMe.
bool isGdprForgetMe(const GdprForgetMe::Action& action, const DataRegistry& registry);
// GdprForgetMe::shared().executeGdprForgetMe.
void executeGdprForgetMe(GdprForgetMe::Done done = nullptr);

}  // namespace FvnUtil

}  // namespace sorvel
