#include "View/InAppMessage/InAppViewHooks.h"

#include <utility>

#include "Common/SdkState.h"
#include "Platform/Mutex.h"

namespace sorvel {
namespace {

struct Hooks : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::inAppViews;

    platform::Mutex mu;
    InAppViewHooks::StoreProvider store GUARDED_BY(mu);
    InAppViewHooks::DelegateProvider delegate GUARDED_BY(mu);
    std::shared_ptr<InAppMessagePresenter> presenter GUARDED_BY(mu);

    // A view of the last SDK still on screen finds no store, delegate or
    // presenter of it; they are released here, outside the lock.
    void retire() override {
        InAppViewHooks::StoreProvider s;
        InAppViewHooks::DelegateProvider d;
        std::shared_ptr<InAppMessagePresenter> p;
        platform::MutexLock lock(mu);
        s.swap(store);
        d.swap(delegate);
        p.swap(presenter);
    }
};

Hooks& hooks() {
    return SdkState::shared().part<Hooks>();
}

}  // namespace

void InAppViewHooks::setStoreProvider(StoreProvider provider) {
    auto& h = hooks();
    platform::MutexLock lock(h.mu);
    h.store = std::move(provider);
}

void InAppViewHooks::setClickDelegateProvider(DelegateProvider provider) {
    auto& h = hooks();
    platform::MutexLock lock(h.mu);
    h.delegate = std::move(provider);
}

std::shared_ptr<IInAppViewStore> InAppViewHooks::store() {
    StoreProvider provider;
    {
        auto& h = hooks();
        platform::MutexLock lock(h.mu);
        provider = h.store;
    }
    return provider ? provider() : nullptr;
}

std::shared_ptr<SorvelKVInAppMessageClickDelegate> InAppViewHooks::clickDelegate() {
    DelegateProvider provider;
    {
        auto& h = hooks();
        platform::MutexLock lock(h.mu);
        provider = h.delegate;
    }
    return provider ? provider() : nullptr;
}

void InAppViewHooks::setPresenter(std::shared_ptr<InAppMessagePresenter> presenter) {
    std::shared_ptr<InAppMessagePresenter> previous;
    auto& h = hooks();
    platform::MutexLock lock(h.mu);
    previous = std::exchange(h.presenter, std::move(presenter));
}

std::shared_ptr<InAppMessagePresenter> InAppViewHooks::presenter() {
    auto& h = hooks();
    platform::MutexLock lock(h.mu);
    return h.presenter;
}

}  // namespace sorvel
