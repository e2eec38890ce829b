#include "Event/EventModelProvider.h"

#include <array>
#include <cmath>
#include <tuple>

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DatesAndIds.h"
#include "Common/SvlLog.h"
#include "Event/EventCounters.h"
#include "Event/UserPropertyManager.h"

namespace sorvel {

EventModelProvider::EventModelProvider(std::shared_ptr<UserPropertyManager> userPropertyManager,
                                       std::shared_ptr<DataRegistry> dataRegistry,
                                       std::shared_ptr<EventCounters> counters,
                                       LogEventParameter logEventParameter)
    : userPropertyManager_(std::move(userPropertyManager)),
      dataRegistry_(std::move(dataRegistry)),
      counters_(std::move(counters)),
      logEventParameter_(std::move(logEventParameter)) {}

namespace {

std::optional<std::string> takeString(std::optional<Value>& value) {
    std::string* s = value ? value->getString() : nullptr;
    return s ? std::optional<std::string>(std::move(*s)) : std::nullopt;
}

double doubleOr0(const std::optional<Value>& value) {
    const double* d = value ? value->getDouble() : nullptr;
    return d ? *d : 0.0;
}

}  // namespace

Location EventModelProvider::storedLocation(std::optional<Value>& lwid,
                                            const std::optional<Value>& lat,
                                            const std::optional<Value>& lng) {
    Location location{takeString(lwid), doubleOr0(lat), doubleOr0(lng)};
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
    addOrderNumbers();
    // Everything the event takes from the registry, read at one moment.
    const bool endSession = logEventParameter_.eventName == Constants::EVENT_NAME_END_SESSION;
    auto stored = dataRegistry_->getValues(
        std::array{DataRegistryKey::STRING_LOCATION_LWID, DataRegistryKey::DOUBLE_LOCATION_LAT,
                   DataRegistryKey::DOUBLE_LOCATION_LNG, DataRegistryKey::STRING_LAST_FIRSTOPEN_ID,
                   DataRegistryKey::STRING_LAST_DEEPLINK_ID, DataRegistryKey::STRING_LAST_OPEN_ID,
                   endSession ? DataRegistryKey::STRING_LAST_END_SESSION_ID
                              : DataRegistryKey::STRING_LAST_CREATED_SESSION_ID});
    Location location = storedLocation(stored[0], stored[1], stored[2]);
    auto lastFirstOpenId = takeString(stored[3]);
    auto lastDeeplinkId = takeString(stored[4]);
    auto lastOpenId = takeString(stored[5]);
    LogEventParameter& p = logEventParameter_;
    auto take = [consumeParameter](auto& field) {
        return consumeParameter ? std::move(field) : field;
    };
    auto prevId = p.prevId ? take(p.prevId) : counters_->prevId();
    auto sessionId = takeString(stored[6]);
    std::string datetime =
        p.event_datetime ? take(*p.event_datetime) : FvnUtil::getCurrentDatetimeString();
    EventModel model(std::move(lastFirstOpenId), std::move(lastDeeplinkId), std::move(lastOpenId),
                     std::move(prevId), std::move(datetime), take(p.group), take(p.eventName),
                     take(p.eventParam), p.sessionInterval, p.sessionLength, take(p.eventId),
                     std::move(sessionId), std::move(location),
                     userPropertyManager_->getUserSnapshotId(), getTypedUserProperties(),
                     getTypedCiProperties());
    model.paramForm = p.paramForm;
    model.nativeParam = take(p.nativeParam);
    if (p.paramForm == ParamForm::native) {
        model.sessionOrderNo = sessionOrderNo_;
        model.eventOrderNo = eventOrderNo_;
    }
    return model;
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
    return logEventParameter_.sessionOrderNo != 0 ? logEventParameter_.sessionOrderNo
                                                  : counters_->nextSessionOrderNo();
}

std::uint64_t EventModelProvider::nextEventOrderNo() {
    return logEventParameter_.eventOrderNo != 0 ? logEventParameter_.eventOrderNo
                                                : counters_->nextEventOrderNo();
}

void EventModelProvider::addOrderNumbers() {
    std::uint64_t session = logEventParameter_.sessionOrderNo;
    std::uint64_t event = logEventParameter_.eventOrderNo;
    if (session == 0 && event == 0) {
        std::tie(session, event) = counters_->next();
    } else {
        session = nextSessionOrderNo();
        event = nextEventOrderNo();
    }
    auto& param = logEventParameter_.eventParam;
    if (logEventParameter_.paramForm == ParamForm::native) {
        // Written into the parameters with the event, as the texts below.
        sessionOrderNo_ = session;
        eventOrderNo_ = event;
        return;
    }
    param[Constants::PARAM_KEY_SESSION_ORDER_NO] = Value("long:" + std::to_string(session));
    param[Constants::PARAM_KEY_EVENT_ORDER_NO] = Value("long:" + std::to_string(event));
}

}  // namespace sorvel
