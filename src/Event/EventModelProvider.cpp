#include "Event/EventModelProvider.h"

#include <cmath>

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/FvnUtil.h"
#include "Common/SvlLog.h"
#include "Event/UserPropertyManager.h"

namespace sorvel {

EventModelProvider::EventModelProvider(std::shared_ptr<UserPropertyManager> userPropertyManager,
                                       std::shared_ptr<DataRegistry> dataRegistry,
                                       LogEventParameter logEventParameter)
    : userPropertyManager_(std::move(userPropertyManager)),
      dataRegistry_(std::move(dataRegistry)),
      logEventParameter_(std::move(logEventParameter)) {}

Location EventModelProvider::storedLocation() const {
    Location location{
        dataRegistry_->getStringOrNil(DataRegistryKey::STRING_LOCATION_LWID, std::nullopt),
        dataRegistry_->getDouble(DataRegistryKey::DOUBLE_LOCATION_LAT, 0.0),
        dataRegistry_->getDouble(DataRegistryKey::DOUBLE_LOCATION_LNG, 0.0)};
    if (!std::isfinite(location.lat) || !std::isfinite(location.lng)) {
        // JSON has no such numbers: the location would come back unreadable.
        SvlLog::warning(
            "EventModelProvider :: stored location is not a finite coordinate; "
            "the event goes without one");
        return Location{};
    }
    return location;
}

EventModel EventModelProvider::buildEventModel() & {
    return build(false);
}

EventModel EventModelProvider::buildEventModel() && {
    return build(true);
}

EventModel EventModelProvider::build(bool consumeParameter) {
    Location location = storedLocation();
    addOrderNumbers();
    const DataRegistry& reg = *dataRegistry_;
    auto lastFirstOpenId =
        reg.getStringOrNil(DataRegistryKey::STRING_LAST_FIRSTOPEN_ID, std::nullopt);
    auto lastDeeplinkId =
        reg.getStringOrNil(DataRegistryKey::STRING_LAST_DEEPLINK_ID, std::nullopt);
    auto lastOpenId = reg.getStringOrNil(DataRegistryKey::STRING_LAST_OPEN_ID, std::nullopt);
    auto prevId = logEventParameter_.prevId
                      ? logEventParameter_.prevId
                      : reg.getStringOrNil(DataRegistryKey::STRING_PREV_ID, std::nullopt);
    std::string datetime = logEventParameter_.event_datetime ? *logEventParameter_.event_datetime
                                                             : FvnUtil::getCurrentDatetimeString();
    LogEventParameter& p = logEventParameter_;
    auto take = [consumeParameter](auto& field) {
        return consumeParameter ? std::move(field) : field;
    };
    auto sessionId = getSessionId();
    return EventModel(std::move(lastFirstOpenId), std::move(lastDeeplinkId), std::move(lastOpenId),
                      std::move(prevId), std::move(datetime), take(p.group), take(p.eventName),
                      take(p.eventParam), p.sessionInterval, p.sessionLength, take(p.eventId),
                      std::move(sessionId), std::move(location),
                      userPropertyManager_->getUserSnapshotId(), getTypedUserProperties(),
                      getTypedCiProperties());
}

std::optional<std::string> EventModelProvider::getSessionId() const {
    const DataRegistryKey key = logEventParameter_.eventName == Constants::EVENT_NAME_END_SESSION
                                    ? DataRegistryKey::STRING_LAST_END_SESSION_ID
                                    : DataRegistryKey::STRING_LAST_CREATED_SESSION_ID;
    return dataRegistry_->getStringOrNil(key, std::nullopt);
}

Value::Map EventModelProvider::getTypedUserProperties() const {
    return *userPropertyManager_->typedUserPropertyDic();
}

Value::Map EventModelProvider::getTypedCiProperties() const {
    return *userPropertyManager_->typedCiPropertyDic();
}

std::uint64_t EventModelProvider::nextSessionOrderNo() {
    return logEventParameter_.sessionOrderNo != 0
               ? logEventParameter_.sessionOrderNo
               : dataRegistry_->incrementCounter(DataRegistryKey::UINT64_SESSION_ORDER_NO);
}

std::uint64_t EventModelProvider::nextEventOrderNo() {
    return logEventParameter_.eventOrderNo != 0
               ? logEventParameter_.eventOrderNo
               : dataRegistry_->incrementCounter(DataRegistryKey::UINT64_EVENT_ORDER_NO);
}

void EventModelProvider::addOrderNumbers() {
    const std::uint64_t session = nextSessionOrderNo();
    const std::uint64_t event = nextEventOrderNo();
    auto& param = logEventParameter_.eventParam;
    param[Constants::PARAM_KEY_SESSION_ORDER_NO] = Value("long:" + std::to_string(session));
    param[Constants::PARAM_KEY_EVENT_ORDER_NO] = Value("long:" + std::to_string(event));
}

}  // namespace sorvel
