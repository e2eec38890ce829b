#pragma once

// Process-wide state of the platform layer.
//
// Every singleton of the simulated OS (a stand-in's state, a host's setting)
// is a function-local static held in a NoDestructor: it is built on first use
// and never torn down, because threads of the SDK (a queue blocked on the
// network, a never-pumped run loop, the scheduler) may still use it while the
// process exits, and exit must neither join them nor pull state from under
// them. (The SDK above keeps its own state in one object of its own that a
// test replaces whole.)
//
// A singleton that keeps per-installation state registers how to forget it
// with registerResetHook when it is built. Only the test support runs the
// hooks (runResetHooks), so each test starts a fresh simulated OS in the same
// process; the SDK itself never calls it and the public API does not offer it.

#include <functional>
#include <memory>
#include <new>
#include <utility>

namespace sorvel::platform {

template <typename T>
class NoDestructor {
  public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        std::construct_at(reinterpret_cast<T*>(storage_), std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

// Hooks run in the reverse order of their registration (as statics end),
// without any lock held, so a hook may use other singletons (and wait for
// their queues).
void registerResetHook(std::function<void()> hook);
void runResetHooks();

}  // namespace sorvel::platform
