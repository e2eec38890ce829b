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
    : EventModelProvider(std::move(userPropertyManager), std::move(dataRegistry),
                         std::move(counters), nullptr, std::move(logEventParameter)) {}

EventModelProvider::EventModelProvider(std::shared_ptr<UserPropertyManager> userPropertyManager,
                                       std::shared_ptr<DataRegistry> dataRegistry,
                                       std::shared_ptr<EventCounters> counters,
                                       std::shared_ptr<EventContextCache> contexts,
                                       LogEventParameter logEventParameter)
    : userPropertyManager_(std::move(userPropertyManager)),
      dataRegistry_(std::move(dataRegistry)),
      counters_(std::move(counters)),
      contexts_(std::move(contexts)),
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

EventContextCache::EventContextCache(std::shared_ptr<UserPropertyManager> userPropertyManager,
                                     std::shared_ptr<DataRegistry> dataRegistry)
    : userPropertyManager_(std::move(userPropertyManager)),
      dataRegistry_(std::move(dataRegistry)) {}

std::array<DataRegistryKey, EventContextCache::kKeys> EventContextCache::keys(bool endSession) {
    return {DataRegistryKey::STRING_LOCATION_LWID,
            DataRegistryKey::DOUBLE_LOCATION_LAT,
            DataRegistryKey::DOUBLE_LOCATION_LNG,
            DataRegistryKey::STRING_LAST_FIRSTOPEN_ID,
            DataRegistryKey::STRING_LAST_DEEPLINK_ID,
            DataRegistryKey::STRING_LAST_OPEN_ID,
            endSession ? DataRegistryKey::STRING_LAST_END_SESSION_ID
                       : DataRegistryKey::STRING_LAST_CREATED_SESSION_ID,
            DataRegistryKey::STRING_USER_SNAPSHOT_ID};
}

EventContextCache::Current EventContextCache::make(const DataRegistry& dataRegistry,
                                                   bool endSession, Versions& versions,
                                                   std::shared_ptr<const Value::Map> user,
                                                   std::shared_ptr<const Value::Map> ci) {
    // Everything the event takes from the registry, read at one moment.
    auto stored = dataRegistry.getValues(keys(endSession), versions);
    EventContext context;
    Current out;
    Location location{takeString(stored[0]), doubleOr0(stored[1]), doubleOr0(stored[2])};
    if (std::isfinite(location.lat) && std::isfinite(location.lng)) {
        context.location = std::move(location);
    } else {
        // JSON has no such numbers: the location would come back unreadable.
        out.locationDropped = true;
    }
    context.last_firstopen_id = takeString(stored[3]);
    context.last_deeplink_id = takeString(stored[4]);
    context.last_open_id = takeString(stored[5]);
    context.session_id = takeString(stored[6]);
    context.user_snapshot_id = takeString(stored[7]);
    context.user_properties = user ? *user : Value::Map{};
    context.ci = ci ? *ci : Value::Map{};
    context.writeJson();
    out.context = std::make_shared<const EventContext>(std::move(context));
    return out;
}

EventContextCache::Current EventContextCache::make(const UserPropertyManager& userPropertyManager,
                                                   const DataRegistry& dataRegistry,
                                                   bool endSession) {
    Versions versions{};
    return make(dataRegistry, endSession, versions, userPropertyManager.typedUserPropertyDic(),
                userPropertyManager.typedCiPropertyDic());
}

EventContextCache::Current EventContextCache::current(bool endSession) {
    // A change between these reads and the registry's leaves the slot with
    // a stamp older than what it holds: made again at the next event, never
    // kept stale.
    auto user = userPropertyManager_->typedUserPropertyDic();
    auto ci = userPropertyManager_->typedCiPropertyDic();
    const auto wanted = keys(endSession);
    Versions now{};
    for (std::size_t i = 0; i < kKeys; ++i) {
        now[i] = dataRegistry_->version(wanted[i]);
    }
    Slot& slot = slots_[endSession ? 1 : 0];
    {
        platform::MutexLock lock(mu_);
        if (slot.current.context && slot.versions == now && slot.user == user && slot.ci == ci) {
            return slot.current;
        }
    }
    // Made without the lock: it takes the registry's. Two threads may both
    // make one; either is right for its moment, and a slot that keeps the
    // older is made again at the next event.
    Versions read{};
    Current made = make(*dataRegistry_, endSession, read, user, ci);
    platform::MutexLock lock(mu_);
    slot = Slot{made, read, std::move(user), std::move(ci)};
    return made;
}

EventModel EventModelProvider::buildEventModel() & {
    return build(false);
}

EventModel EventModelProvider::buildEventModel() && {
    return build(true);
}

EventModel EventModelProvider::build(bool consumeParameter) {
    addOrderNumbers();
    const bool endSession = logEventParameter_.eventName == Constants::EVENT_NAME_END_SESSION;
    EventContextCache::Current context =
        contexts_ ? contexts_->current(endSession)
                  : EventContextCache::make(*userPropertyManager_, *dataRegistry_, endSession);
    if (context.locationDropped) {
        SvlLog::warning(
            "EventModelProvider :: stored location is not a finite coordinate; "
            "the event goes without one",
            true);
    }
    LogEventParameter& p = logEventParameter_;
    auto take = [consumeParameter](auto& field) {
        return consumeParameter ? std::move(field) : field;
    };
    std::optional<InlineText> prevId;
    if (p.prevId) {
        prevId = take(p.prevId);
    } else {
        counters_->prevIdInto(prevId);
    }
    InlineText datetime =
        p.event_datetime ? take(*p.event_datetime) : FvnUtil::getCurrentDatetimeText();
    EventModel model(std::move(prevId), std::move(datetime), take(p.group), take(p.eventName),
                     take(p.eventParam), p.sessionInterval, p.sessionLength, take(p.eventId),
                     std::move(context.context));
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
