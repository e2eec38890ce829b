#include "View/InAppMessage/InAppViewHooks.h"

#include <utility>

#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"

namespace sorvel {
namespace {

struct Hooks {
    platform::Mutex mu;
    InAppViewHooks::StoreProvider store GUARDED_BY(mu);
    InAppViewHooks::DelegateProvider delegate GUARDED_BY(mu);
    std::shared_ptr<InAppMessagePresenter> presenter GUARDED_BY(mu);
};

Hooks& hooks() {
    static platform::NoDestructor<Hooks> h;
    static const bool registered = [] {
        platform::registerResetHook([] {
            InAppViewHooks::StoreProvider s;
            InAppViewHooks::DelegateProvider d;
            std::shared_ptr<InAppMessagePresenter> p;
            platform::MutexLock lock(hooks().mu);
            s.swap(hooks().store);
            d.swap(hooks().delegate);
            p.swap(hooks().presenter);
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

void InAppViewHooks::setPresenter(std::shared_ptr<InAppMessagePresenter> presenter) {
    std::shared_ptr<InAppMessagePresenter> previous;
    platform::MutexLock lock(hooks().mu);
    previous = std::exchange(hooks().presenter, std::move(presenter));
}

std::shared_ptr<InAppMessagePresenter> InAppViewHooks::presenter() {
    platform::MutexLock lock(hooks().mu);
    return hooks().presenter;
}

}  // namespace sorvel
