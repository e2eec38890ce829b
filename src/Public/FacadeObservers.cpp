#include "Public/FacadeObservers.h"

#include <functional>
#include <utility>

#include "Common/Constants.h"
#include "Common/SvlLog.h"
#include "Event/LogEventParameter.h"
#include "Public/FacadeInternal.h"
#include "sorvel/SorvelKV.h"

namespace sorvel {

namespace {

// Hands the deeplink to the delegate set now (a snapshot of its slot, called
// outside the slot's lock); without one, the line and nothing else.
template <typename Delegate>
void handTo(const std::shared_ptr<Delegate>& delegate, const char* missingLine,
            const std::function<void(Delegate&)>& call) {
    if (!delegate) {
        SvlLog::debug(missingLine, true);
        return;
    }
    call(*delegate);
}

}  // namespace

void DeferredDeeplinkObserver::update(const std::string& deeplink) {
    facade::boundary("DeferredDeeplinkObserver.update", [&] {
        handTo<SorvelKVDeferredDeeplinkDelegate>(
            SorvelKV::getInstance().getDeferredDeeplinkDelegate(),
            "deferredDeeplinkListener is null",
            [&](auto& d) { d.didReceiveDeferredDeeplink(deeplink); });
    });
}

void DeeplinkObserver::update(const std::string& deeplink) {
    facade::boundary("DeeplinkObserver.update", [&] {
        handTo<SorvelKVDeeplinkDelegate>(SorvelKV::getInstance().getDeeplinkDelegate(),
                                         "deeplinkListener is null",
                                         [&](auto& d) { d.didReceiveDeeplink(deeplink); });
    });
}

OsPushEnableObserver::OsPushEnableObserver(std::shared_ptr<DataRegistry> dataRegistry,
                                           std::shared_ptr<ISVLContextController> controller)
    : dataRegistry_(std::move(dataRegistry)), controller_(std::move(controller)) {}

void OsPushEnableObserver::update(const bool& isEnabled) {
    facade::boundary("OsPushEnableObserver.update", [&] {
        if (dataRegistry_->getBool(DataRegistryKey::BOOL_IS_PUSH_ENABLE_OS, false) == isEnabled) {
            return;
        }
        dataRegistry_->putBool(isEnabled, DataRegistryKey::BOOL_IS_PUSH_ENABLE_OS);
        LogEventParameter parameter;
        parameter.group = Constants::EVENT_GROUP_STANDARD;
        parameter.eventName = Constants::EVENT_NAME_SET_PUSH;
        controller_->triggerInAppMessage(Constants::EVENT_NAME_SET_PUSH,
                                         Constants::EVENT_GROUP_STANDARD);
        controller_->logEvent(parameter);
    });
}

}  // namespace sorvel
