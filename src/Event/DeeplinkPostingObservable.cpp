#include "Event/DeeplinkPostingObservable.h"

#include <variant>

#include "Common/SvlLog.h"
#include "Network/JsonDic.h"
#include "Platform/ProcessState.h"

namespace sorvel {

// Both observables live for the process; a fresh SDK (tests) forgets their
// observers, as a new process would.
struct DeeplinkObservables {
    DeeplinkPostingObservable deeplink;
    DeferredDeeplinkPostingObservable deferred;

    DeeplinkObservables() {
        platform::registerResetHook([this] {
            deeplink.observers_.clear();
            deferred.observers_.clear();
        });
    }

    static DeeplinkObservables& get() {
        static platform::NoDestructor<DeeplinkObservables> instance;
        return instance.get();
    }
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
    if (const JsonError* error = std::get_if<JsonError>(&parsed)) {
        SvlLog::error(describe(*error), true);
        return;
    }
    const Value::Map& answer = std::get<Value::Map>(parsed);
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
