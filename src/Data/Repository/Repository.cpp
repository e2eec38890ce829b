#include "Data/Repository/Repository.h"

#include <algorithm>
#include <utility>

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Data/DataProviders/DeviceStaticDataProvider.h"
#include "Data/ModelProvider/GDPRModelProvider.h"
#include "Data/Repository/InAppMessageDisplay.h"
#include "Event/DRModelProvider.h"
#include "Event/EventBuffer.h"
#include "Event/EventCounters.h"
#include "Event/EventModelProvider.h"
#include "Event/EventSamplingFilter.h"
#include "Event/UserPropertyManager.h"
#include "Network/ApiConnection.h"
#include "Network/ApiConnectionManager.h"
#include "Network/S3ConfigHandler.h"
#include "Common/DatesAndIds.h"
#include "Common/GdprForgetMe.h"
#include "Common/RegistryStates.h"
#include "Event/TypedValueDictionary.h"

namespace sorvel {

Repository::Repository(std::shared_ptr<UserPropertyManager> userPropertyManager,
                       std::shared_ptr<DataRegistry> dataRegistry,
                       std::shared_ptr<EventBuffer> eventBuffer,
                       std::shared_ptr<EventSamplingFilter> eventSamplingFilter,
                       std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider,
                       std::shared_ptr<DeviceStaticDataProvider> deviceStaticDataProvider,
                       std::shared_ptr<ActionHistoryDAO> actionHistoryDAO,
                       std::shared_ptr<InAppMessageDAO> inAppMessageDAO,
                       std::shared_ptr<IInAppMessageDisplay> inAppMessageDisplay)
    : userPropertyManager_(std::move(userPropertyManager)),
      dataRegistry_(std::move(dataRegistry)),
      eventBuffer_(std::move(eventBuffer)),
      eventCounters_(eventBuffer_->eventCounters()),
      eventSamplingFilter_(std::move(eventSamplingFilter)),
      deviceRealtimeDataProvider_(std::move(deviceRealtimeDataProvider)),
      deviceStaticDataProvider_(std::move(deviceStaticDataProvider)),
      inAppMessageDAO_(std::move(inAppMessageDAO)),
      inAppMessageDisplay_(inAppMessageDisplay ? std::move(inAppMessageDisplay)
                                               : std::make_shared<DefaultInAppMessageDisplay>()),
      actionHistoryDAO_(std::move(actionHistoryDAO)),
      actionHistoryExecutor_(platform::DispatchQueue::makeSerial("FvnActionHistoryDispatchQueue")),
      inAppMessageExecutor_(platform::DispatchQueue::makeSerial("FvnInAppMessageDispatchQueue")) {
    if (!inAppMessageDAO_) {
        SvlLog::error("InAppMessageDAO init Error, can not use InAppMessage", true);
    }
    if (!actionHistoryDAO_) {
        SvlLog::error("ActionHistoryDAO init Error, can not use ActionHistory", true);
    }
}

// ---- Properties and configuration ---------------------------------------------

bool Repository::saveUserProperty(const Value::Map& properties) {
    return userPropertyManager_->saveUserProperty(properties);
}

bool Repository::saveCiProperty(const Value::Map& properties) {
    return userPropertyManager_->saveCiProperty(properties);
}

void Repository::clearUserProperty() {
    userPropertyManager_->clearUserProperty();
}

void Repository::initDefaultConfigValue() {
    S3ConfigHandler::shared().initDefaultConfigValue();
}

void Repository::syncApplicationConfigure() {
    // An erasure the server has not confirmed is sent again from here.
    const GdprForgetMe::Action resend = [](GdprForgetMe::Done done) {
        FvnUtil::executeGdprForgetMe(std::move(done));
    };
    if (FvnUtil::isGdprForgetMe(resend, *dataRegistry_)) {
        SvlLog::debug("SORVEL GDOR :: don't synchronize with server", true);
        return;
    }
    if (FvnUtil::isAllStop(*dataRegistry_)) {
        SvlLog::debug("SORVEL ALL STOP :: don't synchronize with server", true);
        return;
    }
    SvlLog::debug("Trying to get application settings..", false);
    SvlLog::debug("requestAppConfig API called!", true);
    auto appKey = dataRegistry_->getStringOrNil(DataRegistryKey::STRING_APPKEY, std::nullopt);
    if (!appKey) {
        SvlLog::error("syncApplicationConfigure :: appkey is nil", true);
        return;
    }
    auto connection = std::make_shared<ApiConnection>(dataRegistry_);
    connection->setGetRequest(Constants::fill(Constants::CONFIG_URL(), {*appKey}));
    ApiConnectionManager().request(connection, true, [](const Result& result) {
        if (!result.isSuccess()) {
            // What initDefaultConfigValue loaded stays in force.
            SvlLog::warning(
                "AppSyncConfig Failed : Can not get S3 config.json file....  responseCode : " +
                    std::to_string(result.statusCode()),
                true);
            return;
        }
        const std::string text = result.response().value_or("");
        SvlLog::debug("App-Config : connectSuccess ! : " + text, true);
        S3ConfigHandler::shared().applyConfig(text);
        S3ConfigHandler::shared().initDefaultConfigValue();
    });
}

void Repository::requestGdprForgetMe(GdprForgetMe::Done done) {
    auto model = GDPRModelProvider(dataRegistry_).getApiModel();
    auto connection = std::make_shared<ApiConnection>(dataRegistry_);
    connection->setPostRequest(*model);
    // The answer may come after a retry, 10 s and more after this returns: the
    // handler holds what it writes to, not the repository.
    ApiConnectionManager().request(
        connection, true, [registry = dataRegistry_, done = std::move(done)](const Result& result) {
            if (result.isSuccess()) {
                SvlLog::debug("GDPR connect success!!", true);
            } else {
                SvlLog::debug(
                    "GDPR connect failed!! responseCode : " + std::to_string(result.statusCode()),
                    true);
            }
            // Forget-me holds either way; a false sync flag has the request
            // sent again the next time the flag is consulted.
            registry->putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);
            registry->putBool(result.isSuccess(), DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);
            if (done) {
                done();
            }
        });
}

// ---- Events ----------------------------------------------------------------------

void Repository::saveUnsentEvents() {
    eventBuffer_->saveUnsentEvents();
}

void Repository::flushAllNow() {
    eventBuffer_->flushAllNow();
}

void Repository::flushAtIntervals() {
    eventBuffer_->flushAtIntervals();
}

EventModel Repository::buildEventModel(LogEventParameter parameter) const {
    // The provider goes with the call: the parameter's maps and texts move
    // into the event.
    return EventModelProvider(userPropertyManager_, dataRegistry_, eventCounters_, eventContexts_,
                              std::move(parameter))
        .buildEventModel();
}

void Repository::logEvent(LogEventParameter parameter) {
    platform::MutexLock lock(eventMu_);
    // The sampling filter is not asked about an event the block list rejects.
    const bool blocked =
        S3ConfigHandler::shared().isEventBlocked(parameter.eventName, parameter.group) ||
        eventSamplingFilter_->isBlocked(parameter);
    if (blocked) {
        return;
    }
    // Copied into a text each event reuses: an id of the usual length costs
    // no allocation.
    lastEventId_ = parameter.eventId;
    EventModel model = buildEventModel(std::move(parameter));
    // No line to build, nor to queue, for nobody.
    if (SvlLog::wouldDeliver(SorvelLogLevel::LEVEL_DEBUG, true)) {
        SvlLog::debug("logEvent : " + model.event_name, true);
    }
    eventBuffer_->addEvent(std::move(model));
    // This event is the previous one of the next; an event without an id
    // (an in-app view's) leaves none.
    eventCounters_->setPrevId(lastEventId_);
}

void Repository::logSameEventWithPaging(const std::vector<SorvelKvCommerceProductModel>& products,
                                        const std::string& eventName,
                                        const Value::Map& eventParam) {
    const std::string group = Constants::EVENT_GROUP_STANDARD;
    platform::MutexLock lock(eventMu_);
    const bool blocked = S3ConfigHandler::shared().isEventBlocked(eventName, group) ||
                         eventSamplingFilter_->isBlockedBySamplingFilter(group + ":" + eventName);
    if (blocked) {
        return;
    }
    // Taken once: every page is the same event.
    const auto prevId = eventCounters_->prevId();
    const std::string eventDatetime = FvnUtil::getCurrentDatetimeString();
    const std::string eventId = FvnUtil::createEventId();
    const std::uint64_t sessionOrderNo = eventCounters_->nextSessionOrderNo();
    const std::uint64_t eventOrderNo = eventCounters_->nextEventOrderNo();

    auto logPage = [&](Value::Map params, std::size_t page) {
        params[Constants::PARAM_KEY_PAGE] = Value("long:" + std::to_string(page));
        auto parameter =
            LogEventParameter::init(eventId, prevId, group, eventName, std::move(params), 0, 0,
                                    sessionOrderNo, eventOrderNo, eventDatetime);
        EventModel model = buildEventModel(std::move(parameter));
        SvlLog::debug("logEvent : " + eventName, true);
        eventBuffer_->addEvent(std::move(model));
    };
    if (products.empty()) {
        logPage(eventParam, 1);
    } else {
        const std::size_t pageSize = Constants::EVENT_PAGE_SIZE;
        for (std::size_t first = 0, page = 1; first < products.size(); first += pageSize, ++page) {
            const auto last = products.begin() + static_cast<std::ptrdiff_t>(
                                                     std::min(first + pageSize, products.size()));
            std::vector<SorvelKvCommerceProductModel> items(
                products.begin() + static_cast<std::ptrdiff_t>(first), last);
            logPage(FvnUtil::makeItemsParam(items, eventParam), page);
        }
    }
    eventCounters_->setPrevId(eventId);
}

// ---- Delete and restart ------------------------------------------------------------

std::string Repository::drWorksEndpoint() const {
    return Constants::fill(Constants::DRWORKS_URL(),
                           {dataRegistry_->getString(DataRegistryKey::STRING_APPKEY, "")});
}

void Repository::postDRWorks(const IApiModel& model, const DRAnswerLines& lines,
                             void (Repository::*onComplete)(bool), CompletionCallback completion) {
    auto connection = std::make_shared<ApiConnection>(dataRegistry_);
    connection->setPostRequest(model);
    // Without retries the answer is handled before request() returns, so the
    // handler may hold the repository; a request that cannot be formed or
    // signed is answered too (a failure with code 0), so the app's completion
    // is always called and the controller's in-flight guard released.
    ApiConnectionManager().request(
        connection, false,
        [this, &lines, onComplete, completion = std::move(completion)](const Result& result) {
            if (result.isSuccess()) {
                SvlLog::debug(lines.success, true);
            } else {
                SvlLog::log(lines.failureLevel, lines.failure + std::to_string(result.statusCode()),
                            true);
            }
            (this->*onComplete)(result.isSuccess());
            if (completion) {
                completion(result.isSuccess() ? Completion::SUCCESS : Completion::FAILURE);
            }
        });
}

void Repository::requestDeleteUserData(const std::string& userId, CompletionCallback completion) {
    static const DRAnswerLines lines{
        "Delete User Data API connect success!!",
        "Delete User Data API connect failed!! responseCode : ", SorvelLogLevel::LEVEL_WARNING};
    auto model =
        DRModelProvider(deviceRealtimeDataProvider_, deviceStaticDataProvider_, dataRegistry_,
                        eventCounters_, userPropertyManager_, DROperationType::DELETE, userId)
            .getApiModel();
    SvlLog::debug("DRWorks Endpoint : " + drWorksEndpoint(), true);
    postDRWorks(*model, lines, &Repository::onDeleteComplete, std::move(completion));
}

void Repository::restartSDK(const std::string& userId, CompletionCallback completion) {
    static const DRAnswerLines lines{
        "restartSDK API connect success!!",
        "restartSDK API connect failed!!  responseCode : ", SorvelLogLevel::LEVEL_DEBUG};
    SvlLog::debug("DRWorks Endpoint : " + drWorksEndpoint(), true);
    postDRWorks(*buildDRModel(userId), lines, &Repository::onRestartComplete,
                std::move(completion));
}

std::shared_ptr<IApiModel> Repository::buildDRModel(const std::string& userId) const {
    const DRStateResult read = FvnUtil::getDRState(*dataRegistry_);
    const DRState state = read ? read.value() : DRState::NORMAL;
    auto provider = [&](DROperationType type) {
        return DRModelProvider(deviceRealtimeDataProvider_, deviceStaticDataProvider_,
                               dataRegistry_, eventCounters_, userPropertyManager_, type, userId);
    };
    if (state == DRState::NORMAL) {
        return provider(DROperationType::RESTART).getApiModel();
    }
    if (state == DRState::INIT_RESTART_NOT_SYNCED) {
        // A repeat sends the same init-restart event again.
        return provider(DROperationType::INITIALIZE).getResendApiModel();
    }
    return provider(DROperationType::INITIALIZE).getApiModel();
}

void Repository::onDeleteComplete(bool isSuccess) {
    if (!isSuccess && isDRState(FvnUtil::getDRState(*dataRegistry_), DRState::DELETE_NOT_SYNCED)) {
        SvlLog::error("Delete API failed again!", true);
        return;
    }
    const auto appKey = dataRegistry_->getStringOrNil(DataRegistryKey::STRING_APPKEY, std::nullopt);
    const auto secretKey =
        dataRegistry_->getStringOrNil(DataRegistryKey::STRING_SECRETKEY, std::nullopt);
    if (!appKey || !secretKey) {
        SvlLog::error("onDeleteComplete : appkey or secretKey is nil", true);
        return;
    }
    // Before the identity goes: no package built for it is sent under the next.
    eventBuffer_->cutGeneration();
    dropLocalStoreTables();
    dataRegistry_->removeAll();
    eventCounters_->resetAfterWipe();
    dataRegistry_->putBool(true, DataRegistryKey::BOOL_IS_SDK_STOPPED);
    dataRegistry_->putBool(isSuccess, DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC);
    // The keys survive the wipe, so that a restart can initialise again.
    dataRegistry_->putString(appKey, DataRegistryKey::STRING_APPKEY);
    dataRegistry_->putString(secretKey, DataRegistryKey::STRING_SECRETKEY);
    // The wipe tells no listener. What is kept in memory of the wiped values
    // goes too: the properties would come back on the next event, the queued
    // events would be sent and stored again. The pipeline then stores an
    // empty list of unsent events.
    userPropertyManager_->forgetAfterRegistryWipe();
    eventBuffer_->discardUnsentEvents();
    if (!deviceRealtimeDataProvider_ || !deviceRealtimeDataProvider_->deleteDeviceId()) {
        SvlLog::error("onDeleteComplete :: Error Occure when Delete Adid", true);
    } else {
        SvlLog::debug("delete keychain success", true);
    }
}

void Repository::onRestartComplete(bool isSuccess) {
    const DRStateResult before = FvnUtil::getDRState(*dataRegistry_);
    if (!isSuccess && isDRState(before, DRState::INIT_RESTART_NOT_SYNCED)) {
        SvlLog::error("Restart API failed again!", true);
        return;
    }
    if (isSuccess) {
        // The init-restart event is through; nothing will resend it.
        dataRegistry_->putString(std::nullopt, DataRegistryKey::STRING_INIT_RESTART_EVENT_DATETIME);
        dataRegistry_->putString(std::nullopt, DataRegistryKey::STRING_INIT_RESTART_EVENT_ID);
        dataRegistry_->putString(std::nullopt, DataRegistryKey::STRING_INIT_RESTART_PREV_ID);
    }
    // After a delete the stores come back whatever the server said: the SDK
    // runs again either way, and what it receives meanwhile must have
    // somewhere to go. Creating them is idempotent.
    if (!isDRState(before, DRState::NORMAL)) {
        createLocalStoreTables();
    }
    dataRegistry_->putBool(false, DataRegistryKey::BOOL_IS_SDK_STOPPED);
    dataRegistry_->putBool(!isSuccess, DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC);
}

void Repository::dropLocalStoreTables() {
    dropInAppMessageTables();
    dropActionHistoryTable();
}

void Repository::createLocalStoreTables() {
    createInAppMessageTables();
    createActionHistoryTable();
}

}  // namespace sorvel
