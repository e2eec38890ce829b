#include "Push/OsPushEnableObservable.h"

#include "Common/SdkState.h"
#include "Data/ModelProvider/CommonModelProvider.h"

namespace sorvel {

struct OsPushEnableObservableHolder : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::osPushObservable;

    OsPushEnableObservable observable;

    // Observers point into one SDK instance: a retired one tells them nothing more.
    void retire() override { observable.observers_.clear(); }
};

OsPushEnableObservable& OsPushEnableObservable::shared() {
    return SdkState::shared().part<OsPushEnableObservableHolder>().observable;
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
