#include "Core/DisabledSVLContext.h"

#include <utility>

#include "Common/SvlLog.h"
#include "Core/UseCases.h"

namespace sorvel {

DisabledSVLContext::DisabledSVLContext(const std::string& reason,
                                       std::shared_ptr<IRepository> repository)
    : repository_(std::move(repository)) {
    SvlLog::debug("SVL SDK가 Disabled 되었습니다. 이유는 = " + reason, true);
}

void DisabledSVLContext::refuse() const {
    SvlLog::warning(WARNING_FOR_DISABLED_CONTEXT, true);
}

void DisabledSVLContext::refuse(const ActionHistoryCompletion& completion) const {
    refuse();
    if (completion) {
        completion(ActionHistoryResult::failure(ActionHistoryError::SDKDisabledStateError));
    }
}

void DisabledSVLContext::initialize(const std::string&, const std::string&, CompletionCallback) {
    refuse();
}

void DisabledSVLContext::saveUserProperty(const Value::Map&, bool) {
    refuse();
}

bool DisabledSVLContext::saveUserPropertyWithoutEvent(const Value::Map&, bool) {
    refuse();
    return false;
}

void DisabledSVLContext::logEvent(LogEventParameter) {
    refuse();
}

void DisabledSVLContext::logSameEventWithPaging(const std::vector<SorvelKvCommerceProductModel>&,
                                                const std::string&, const Value::Map&) {
    refuse();
}

void DisabledSVLContext::flushAtIntervals() {
    refuse();
}

void DisabledSVLContext::didBecomeActive() {
    refuse();
}

void DisabledSVLContext::willResignActive() {
    refuse();
}

void DisabledSVLContext::deeplink(const std::string&) {
    refuse();
}

void DisabledSVLContext::clearUserProperty() {
    refuse();
}

void DisabledSVLContext::deleteUserData(const std::string& userId, CompletionCallback completion) {
    SvlLog::debug("Delete user data api called", true);
    DeleteUserDataUseCase(repository_, std::move(completion)).execute(userId);
}

void DisabledSVLContext::restartSDK(const std::string& userId, CompletionCallback completion) {
    SvlLog::debug("Restart SDK api called!", true);
    RestartSDKUseCase(repository_, std::move(completion)).execute(userId);
}

void DisabledSVLContext::triggerInAppMessage(const std::string&) {
    refuse();
}

void DisabledSVLContext::fetchActionHistoryFromServer(const std::optional<std::string>&,
                                                      ActionHistoryIdType,
                                                      const std::vector<std::string>&,
                                                      ActionHistoryCompletion completion) {
    refuse(completion);
}

void DisabledSVLContext::insertPushData(const Value::Map&) {
    refuse();
}

void DisabledSVLContext::getActionHistory(std::int64_t, std::int64_t,
                                          const std::vector<std::string>&,
                                          ActionHistoryCompletion completion) {
    refuse(completion);
}

void DisabledSVLContext::getAllActionHistory(const std::vector<std::string>&,
                                             ActionHistoryCompletion completion) {
    refuse(completion);
}

void DisabledSVLContext::deleteAllActionHistory(const std::optional<std::string>&,
                                                ActionHistoryIdType,
                                                ActionHistoryCompletion completion) {
    refuse(completion);
}

void DisabledSVLContext::deleteActionHistory(const std::optional<std::string>&, const std::string&,
                                             std::int64_t, ActionHistoryCompletion completion) {
    refuse(completion);
}

void DisabledSVLContext::clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion completion) {
    refuse(completion);
}

void DisabledSVLContext::clearAllActionHistoryInLocalDB() {
    refuse();
}

}  // namespace sorvel
