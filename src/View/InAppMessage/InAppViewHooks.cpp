#include "View/InAppMessage/InAppViewHooks.h"

#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"

namespace sorvel {
namespace {

struct Hooks {
    platform::Mutex mu;
    InAppViewHooks::StoreProvider store GUARDED_BY(mu);
    InAppViewHooks::DelegateProvider delegate GUARDED_BY(mu);
};

Hooks& hooks() {
    static platform::NoDestructor<Hooks> h;
    static const bool registered = [] {
        platform::registerResetHook([] {
            InAppViewHooks::StoreProvider s;
            InAppViewHooks::DelegateProvider d;
            platform::MutexLock lock(hooks().mu);
            s.swap(hooks().store);
            d.swap(hooks().delegate);
        });
        return true;
    }();
    (void)registered;
    return h.get();
}

}  // namespace

void InAppViewHooks::setStoreProvider(StoreProvider provider) {
    platform::MutexLock lock(hooks().mu);
    hooks().store = std::move(provider);
}

void InAppViewHooks::setClickDelegateProvider(DelegateProvider provider) {
    platform::MutexLock lock(hooks().mu);
    hooks().delegate = std::move(provider);
}

std::shared_ptr<IInAppViewStore> InAppViewHooks::store() {
    StoreProvider provider;
    {
        platform::MutexLock lock(hooks().mu);
        provider = hooks().store;
    }
    return provider ? provider() : nullptr;
}

std::shared_ptr<SorvelKVInAppMessageClickDelegate> InAppViewHooks::clickDelegate() {
    DelegateProvider provider;
    {
        platform::MutexLock lock(hooks().mu);
        provider = hooks().delegate;
    }
    return provider ? provider() : nullptr;
}

}  // namespace sorvel
