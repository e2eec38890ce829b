#include "Public/FacadeObservers.h"

#include <utility>

#include "Common/Constants.h"
#include "Common/SvlLog.h"
#include "Event/LogEventParameter.h"
#include "Public/FacadeInternal.h"
#include "sorvel/SorvelKV.h"

namespace sorvel {

void DeferredDeeplinkObserver::update(const std::string& deeplink) {
    facade::boundary("DeferredDeeplinkObserver.update", [&] {
        // A snapshot of the slot, called outside its lock.
        auto delegate = SorvelKV::getInstance().getDeferredDeeplinkDelegate();
        if (!delegate) {
            SvlLog::debug("deferredDeeplinkListener is null", true);
            return;
        }
        delegate->didReceiveDeferredDeeplink(deeplink);
    });
}

void DeeplinkObserver::update(const std::string& deeplink) {
    facade::boundary("DeeplinkObserver.update", [&] {
        auto delegate = SorvelKV::getInstance().getDeeplinkDelegate();
        if (!delegate) {
            SvlLog::debug("deeplinkListener is null", true);
            return;
        }
        delegate->didReceiveDeeplink(deeplink);
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
