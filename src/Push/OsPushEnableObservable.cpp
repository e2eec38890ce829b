#include "Push/OsPushEnableObservable.h"

#include "Data/ModelProvider/CommonModelProvider.h"
#include "Platform/ProcessState.h"

namespace sorvel {

struct OsPushEnableObservableHolder {
    OsPushEnableObservable observable;

    OsPushEnableObservableHolder() {
        // Observers point into one SDK instance; a fresh one (tests) starts
        // without them, as a new process would.
        platform::registerResetHook([this] { observable.observers_.clear(); });
    }
};

OsPushEnableObservable& OsPushEnableObservable::shared() {
    static platform::NoDestructor<OsPushEnableObservableHolder> holder;
    return holder.get().observable;
}

void OsPushEnableObservable::addObserver(std::shared_ptr<IObserver<bool>> observer) {
    observers_.add(std::move(observer));
    // Installed with every registration rather than once: a fresh SDK forgets
    // the listener together with the observers, and registers again.
    CommonModelProvider::setOsPushEnableListener(
        [](bool enabled) { OsPushEnableObservable::shared().notifyObservers(enabled); });
}

void OsPushEnableObservable::notifyObservers(const bool& value) {
    observers_.notify(value);
}

}  // namespace sorvel
