#include "Core/ActiveSVLContext.h"

#include <utility>

#include "Common/Constants.h"
#include "Common/RegistryStates.h"
#include "Common/SvlLog.h"
#include "Core/UseCases.h"
#include "Event/DailyFirstOpenAutoEventGenerator.h"
#include "Event/DeeplinkAutoEventGenerator.h"
#include "Event/SessionAutoEventGenerator.h"

namespace sorvel {

ActiveSVLContext::ActiveSVLContext(std::shared_ptr<DataRegistry> dataRegistry,
                                   std::shared_ptr<IRepository> repository, Generators generators)
    : dataRegistry_(std::move(dataRegistry)),
      repository_(std::move(repository)),
      generators_(std::move(generators)) {
    if (FvnUtil::isNetworkConnected()) {
        FlushAllNowUseCase(repository_).execute();
    }
}

ActiveSVLContext::~ActiveSVLContext() = default;

std::shared_ptr<SessionAutoEventGenerator> ActiveSVLContext::sessionAutoEventGenerator() {
    if (!session_) {
        session_ = generators_.session(weakLogEventAction(shared_from_this()));
    }
    return session_;
}

std::shared_ptr<DeeplinkAutoEventGenerator> ActiveSVLContext::deeplinkAutoEventGenerator() {
    if (!deeplink_) {
        deeplink_ = generators_.deeplink(weakLogEventAction(shared_from_this()));
    }
    return deeplink_;
}

std::shared_ptr<DailyFirstOpenAutoEventGenerator>
ActiveSVLContext::dailyFirstOpenAutoEventGenerator() {
    if (!dailyFirstOpen_) {
        dailyFirstOpen_ = generators_.dailyFirstOpen(weakLogEventAction(shared_from_this()));
    }
    return dailyFirstOpen_;
}

void ActiveSVLContext::initialize(const std::string&, const std::string&, CompletionCallback) {
    SvlLog::warning(
        "현재상태 : Active 에서는 initialize 명령을 수행할 수 없습니다. 호출은 무시됩니다.", true);
}

void ActiveSVLContext::saveUserProperty(const Value::Map& properties, bool isCi) {
    if (saveUserPropertyWithoutEvent(properties, isCi)) {
        logEvent(autoevent::makeAutoEvent(Constants::EVENT_NAME_USER_PROPERTY_CHANGED, {}, 0, 0));
    }
}

bool ActiveSVLContext::saveUserPropertyWithoutEvent(const Value::Map& properties, bool isCi) {
    if (isCi) {
        return SaveCiPropertyWithoutEventUseCase(repository_).execute(properties);
    }
    return SaveUserPropertyWithoutEventUseCase(repository_).execute(properties);
}

void ActiveSVLContext::logEvent(LogEventParameter parameter) {
    LogEventUseCase(repository_).execute(std::move(parameter));
}

void ActiveSVLContext::logSameEventWithPaging(
    const std::vector<SorvelKvCommerceProductModel>& products, const std::string& eventName,
    const Value::Map& attributes) {
    LogSameEventWithPagingUseCase(repository_).execute(products, eventName, attributes);
}

void ActiveSVLContext::flushAtIntervals() {
    FlushAtIntervalsUseCase(repository_).execute();
}

void ActiveSVLContext::didBecomeActive() {
    sessionAutoEventGenerator()->handleDidBecomeActive();
    dailyFirstOpenAutoEventGenerator()->startTimer();
}

void ActiveSVLContext::willResignActive() {
    sessionAutoEventGenerator()->handleWillResignActive();
    if (FvnUtil::isNetworkConnected()) {
        FlushAllNowUseCase(repository_).execute();
    }
    SaveUnsentEventsUseCase(repository_).execute();
}

void ActiveSVLContext::deeplink(const std::string&) {
    // The generator takes the stored URL, which the facade wrote just before.
    deeplinkAutoEventGenerator()->handleDeeplink();
}

void ActiveSVLContext::clearUserProperty() {
    ClearUserPropertyUseCase(repository_).execute();
}

void ActiveSVLContext::deleteUserData(const std::string& userId, CompletionCallback completion) {
    SvlLog::debug("Delete user data api called!", true);
    DeleteUserDataUseCase(repository_, std::move(completion)).execute(userId);
}

void ActiveSVLContext::restartSDK(const std::string& userId, CompletionCallback completion) {
    SvlLog::debug("Restart user data api called!", true);
    RestartSDKUseCase(repository_, std::move(completion)).execute(userId);
}

void ActiveSVLContext::triggerInAppMessage(const std::string& event) {
    TriggerInAppMessageUseCase(repository_).execute(event);
}

void ActiveSVLContext::triggerInAppMessageFor(const std::string& group,
                                              const std::string& eventName) {
    // Every event asks, on the app's thread, and most apps run no campaign:
    // with in-app messages off the repository would look nothing up.
    if (!dataRegistry_->getBool(DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE, false)) {
        return;
    }
    // "<group>:<name>" is mostly longer than a std::string holds inline: it
    // is joined in room the thread keeps. Taken out while in use, so a call
    // made from inside this one (a log listener recording) joins its own.
    thread_local std::string room;
    std::string event = std::move(room);
    event.assign(group).append(1, ':').append(eventName);
    triggerInAppMessage(event);
    room = std::move(event);
}

void ActiveSVLContext::fetchActionHistoryFromServer(const std::optional<std::string>& token,
                                                    ActionHistoryIdType idType,
                                                    const std::vector<std::string>& actionType,
                                                    ActionHistoryCompletion completion) {
    FetchActionHistoryFromServerUseCase(repository_, token, idType, actionType,
                                        std::move(completion))
        .execute();
}

void ActiveSVLContext::insertPushData(const Value::Map& pushJsonDic) {
    InsertPushDataUseCase(repository_, pushJsonDic).execute();
}

void ActiveSVLContext::getActionHistory(std::int64_t skip, std::int64_t limit,
                                        const std::vector<std::string>& actionType,
                                        ActionHistoryCompletion completion) {
    GetActionHistoryUseCase(repository_, skip, limit, actionType, std::move(completion)).execute();
}

void ActiveSVLContext::getAllActionHistory(const std::vector<std::string>& actionType,
                                           ActionHistoryCompletion completion) {
    GetAllActionHistoryUseCase(repository_, actionType, std::move(completion)).execute();
}

void ActiveSVLContext::deleteAllActionHistory(const std::optional<std::string>& token,
                                              ActionHistoryIdType idType,
                                              ActionHistoryCompletion completion) {
    DeleteAllActionHistoryUseCase(repository_, token, idType, std::move(completion)).execute();
}

void ActiveSVLContext::deleteActionHistory(const std::optional<std::string>& token,
                                           const std::string& historyId, std::int64_t timeStamp,
                                           ActionHistoryCompletion completion) {
    DeleteActionHistoryUseCase(repository_, token, historyId, timeStamp, std::move(completion))
        .execute();
}

void ActiveSVLContext::clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion completion) {
    ClearSyncedActionHistoryInLocalDBUseCase(repository_, std::move(completion)).execute();
}

void ActiveSVLContext::clearAllActionHistoryInLocalDB() {
    ClearAllActionHistoryInLocalDBUseCase(repository_).execute();
}

}  // namespace sorvel
