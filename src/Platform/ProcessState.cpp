#include "Platform/ProcessState.h"

#include <vector>

#include "Platform/Mutex.h"

namespace sorvel::platform {
namespace {

struct ResetRegistry {
    Mutex mu;
    std::vector<std::function<void()>> hooks GUARDED_BY(mu);
};

ResetRegistry& resetRegistry() {
    static NoDestructor<ResetRegistry> r;
    return r.get();
}

}  // namespace

void registerResetHook(std::function<void()> hook) {
    auto& r = resetRegistry();
    MutexLock lock(r.mu);
    r.hooks.push_back(std::move(hook));
}

void runResetHooks() {
    std::vector<std::function<void()>> hooks;
    {
        auto& r = resetRegistry();
        MutexLock lock(r.mu);
        hooks = r.hooks;
    }
    // Last registered first, as a process ends its statics: the SDK's parts,
    // built later, still find the platform's state (the host's URL mapping,
    // its network setting) while they finish their last uploads.
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) {
        (*it)();
    }
}

}  // namespace sorvel::platform
