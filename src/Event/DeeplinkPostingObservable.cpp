#include "Event/DeeplinkPostingObservable.h"

#include <variant>

#include "Common/SdkState.h"
#include "Common/SvlLog.h"
#include "Network/JsonDic.h"

namespace sorvel {

// Both observables, one part; a retired SDK's observers hear nothing more.
struct DeeplinkObservables : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::deeplinkObservables;

    DeeplinkPostingObservable deeplink;
    DeferredDeeplinkPostingObservable deferred;

    void retire() override {
        deeplink.observers_.clear();
        deferred.observers_.clear();
    }

    static DeeplinkObservables& get() { return SdkState::shared().part<DeeplinkObservables>(); }
};

DeeplinkPostingObservable& DeeplinkPostingObservable::shared() {
    return DeeplinkObservables::get().deeplink;
}

void DeeplinkPostingObservable::addObserver(std::shared_ptr<IObserver<std::string>> observer) {
    observers_.add(std::move(observer));
}

void DeeplinkPostingObservable::notifyObservers(const std::string& value) {
    observers_.notify(value);
}

DeferredDeeplinkPostingObservable& DeferredDeeplinkPostingObservable::shared() {
    return DeeplinkObservables::get().deferred;
}

void DeferredDeeplinkPostingObservable::addObserver(
    std::shared_ptr<IObserver<std::string>> observer) {
    observers_.add(std::move(observer));
}

void DeferredDeeplinkPostingObservable::notifyObservers(const std::string& value) {
    observers_.notify(value);
}

void DeferredDeeplinkPostingObservable::postDeferredDeeplink(std::string_view jsonText) {
    JsonDicResult parsed = FvnUtil::jsonString2JsonDic(jsonText);
    if (!parsed) {
        SvlLog::error(describe(parsed.error()), true);
        return;
    }
    const Value::Map& answer = parsed.value();
    auto it = answer.find("deeplink");
    if (it != answer.end()) {
        if (const std::string* deeplink = it->second.getString()) {
            notifyObservers(*deeplink);
            return;
        }
    }
    SvlLog::debug("no deeplink information in deferredDeeplink response", true);
}

}  // namespace sorvel
