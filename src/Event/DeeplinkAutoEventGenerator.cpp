#include "Event/DeeplinkAutoEventGenerator.h"

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "Event/DeeplinkParameterSet.h"
#include "Event/DeeplinkPostingObservable.h"
#include "Event/DeeplinkUrl.h"
#include "Event/TypedValueDictionary.h"

namespace sorvel {

DeeplinkAutoEventGenerator::DeeplinkAutoEventGenerator(
    std::shared_ptr<DataRegistry> dataRegistry,
    std::shared_ptr<DeeplinkParameterSet> deeplinkParameterSet, LogEventAction logEventAction)
    : dataRegistry_(std::move(dataRegistry)),
      deeplinkParameterSet_(std::move(deeplinkParameterSet)),
      logEventAction_(std::move(logEventAction)) {}

void DeeplinkAutoEventGenerator::handleDeeplink() {
    const std::optional<std::string> url = FvnUtil::popStoredDeeplinkUrl(*dataRegistry_);
    if (!url) {
        return;
    }
    const Value::Map parameters = FvnUtil::getDeeplinkParameters(*url);
    if (!FvnUtil::isSorvelDeeplink(parameters, *url, *dataRegistry_)) {
        SvlLog::error(
            "Check sorvel Parameters :: There is no sorvel deeplink parameter in Activity!", true);
        return;
    }
    if (deeplinkParameterSet_->isUsedOrExpiredDeeplink(parameters)) {
        return;
    }
    LogEventParameter event = autoevent::makeAutoEvent(
        Constants::EVENT_NAME_DEEPLINK_OPEN, FvnUtil::toTypedValueDictionary(parameters), 0, 0);
    dataRegistry_->putString(event.eventId, DataRegistryKey::STRING_LAST_DEEPLINK_ID);
    dataRegistry_->putString(event.eventId, DataRegistryKey::STRING_LAST_OPEN_ID);
    if (logEventAction_) {
        logEventAction_(event);
    }
    auto payload = parameters.find(Constants::PARAM_KEY_DEEPLINK_PAYLOAD);
    const std::string* text = payload == parameters.end() ? nullptr : payload->second.getString();
    DeeplinkPostingObservable::shared().notifyObservers(text != nullptr ? *text : std::string());
}

}  // namespace sorvel
