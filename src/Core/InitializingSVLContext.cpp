#include "Core/InitializingSVLContext.h"

#include <utility>

#include "Base/TextUnits.h"
#include "Common/Constants.h"
#include "Common/RegistryStates.h"
#include "Common/SvlLog.h"
#include "Core/DisabledSVLContext.h"
#include "Core/UseCases.h"
#include "Data/ModelProvider/CommonModelProvider.h"
#include "Platform/Dispatch.h"

namespace sorvel {
namespace {

constexpr std::size_t KEY_LENGTH = 22;

void ignored(const std::string& name) {
    SvlLog::warning("초기화전에 " + name + " 함수가 호출되었습니다. 해당 호출은 무시됩니다.", true);
}

void ignored(const std::string& name, const ActionHistoryCompletion& completion) {
    ignored(name);
    if (completion) {
        completion(ActionHistoryResult::failure(ActionHistoryError::CalledBeforeInitError));
    }
}

}  // namespace

InitializingSVLContext::InitializingSVLContext(
    std::shared_ptr<DataRegistry> dataRegistry, std::shared_ptr<IRepository> repository,
    std::shared_ptr<IDataProvider> deviceStaticDataProvider,
    std::shared_ptr<IDataProvider> deviceRealtimeDataProvider, ControllerProvider controller)
    : dataRegistry_(std::move(dataRegistry)),
      repository_(std::move(repository)),
      deviceStaticDataProvider_(std::move(deviceStaticDataProvider)),
      deviceRealtimeDataProvider_(std::move(deviceRealtimeDataProvider)),
      controller_(std::move(controller)) {}

void InitializingSVLContext::initialize(const std::string& appKey, const std::string& secretKey,
                                        CompletionCallback completion) {
    SvlLog::debug("Trying to initialize Sorvel Kelvaned SDK", true);
    SvlLog::debug(std::string("SDK Version :: ") + SdkVersion::SDK_VERSION, true);
    if (!validateKeys(appKey, secretKey)) {
        return;
    }
    InitDefaultConfigValueUseCase(repository_).execute();
    SyncApplicationConfigureUseCase(repository_).execute();
    // A stored all-stop flag keeps the SDK disabled on every later launch too:
    // otherwise it would run with its configuration frozen, since the
    // configuration is not fetched again while the flag is set.
    if (FvnUtil::isSorvelDisabled(*dataRegistry_) || FvnUtil::isAllStop(*dataRegistry_)) {
        if (completion) {
            completion(Completion::FAILURE);
        }
        return;
    }
    deviceStaticDataProvider_->refreshData();
    deviceRealtimeDataProvider_->refreshData();
    if (completion) {
        completion(Completion::SUCCESS);
    }
    // The OS notification permission is otherwise first learnt when a request
    // is built: until then a local notification would be refused as if the
    // user had said no. Read once the SDK runs, so that the event a change
    // raises can trigger a campaign; the main thread must not wait for the OS.
    if (!platform::isMainThread()) {
        CommonModelProvider::readOsPushEnable();
    }
    SvlLog::debug("Result of initializing Sorvel SDK : Success", true);
}

// A refused key stops the SDK for the launch: a failure the developer must see
// whatever the mode, so its line is not meant for quality assurance only.
bool InitializingSVLContext::validateKeys(const std::string& appKey, const std::string& secretKey) {
    if (text::graphemeCount(appKey) != KEY_LENGTH) {
        SvlLog::error("AppKey가 길이 22의 문자열이 아닙니다.", false);
        onInitializeError(SVLContextError::InvalidAppkeyError);
        return false;
    }
    if (text::graphemeCount(secretKey) != KEY_LENGTH) {
        SvlLog::error("SecretKey가 길이 22의 문자열이 아닙니다.", false);
        onInitializeError(SVLContextError::InvalidSecretKeyError);
        return false;
    }
    SvlLog::debug("Both AppKey and SecretKey are valid", true);
    dataRegistry_->putString(appKey, DataRegistryKey::STRING_APPKEY);
    dataRegistry_->putString(secretKey, DataRegistryKey::STRING_SECRETKEY);
    return true;
}

void InitializingSVLContext::onInitializeError(SVLContextError error) {
    auto controller = controller_ ? controller_() : nullptr;
    if (!controller) {
        SvlLog::error(
            std::string("onInitializeError : no controller to disable for ") + describe(error),
            true);
        return;
    }
    // Straight to the disabled state: the container's reset that disableSDK
    // runs is not needed, nothing has been started yet.
    controller->changeContext(std::make_shared<DisabledSVLContext>(describe(error), repository_));
}

void InitializingSVLContext::saveUserProperty(const Value::Map&, bool) {
    ignored("saveUserProperty");
}

bool InitializingSVLContext::saveUserPropertyWithoutEvent(const Value::Map&, bool) {
    ignored("saveUserPropertyWithoutEvent");
    return false;
}

void InitializingSVLContext::logEvent(LogEventParameter) {
    ignored("logEvent");
}

void InitializingSVLContext::logSameEventWithPaging(
    const std::vector<SorvelKvCommerceProductModel>&, const std::string&, const Value::Map&) {
    ignored("logSameEventWithPaging");
}

void InitializingSVLContext::didBecomeActive() {
    ignored("didBecomeActive");
}

void InitializingSVLContext::willResignActive() {
    ignored("willResignActive");
}

void InitializingSVLContext::deeplink(const std::string&) {
    ignored("deeplink");
}

void InitializingSVLContext::clearUserProperty() {
    ignored("clearUserProperty");
}

void InitializingSVLContext::deleteUserData(const std::string&, CompletionCallback) {
    ignored("deleteUserData");
}

void InitializingSVLContext::restartSDK(const std::string&, CompletionCallback) {
    ignored("restartSDK");
}

void InitializingSVLContext::triggerInAppMessage(const std::string&) {
    ignored("triggerInAppMessage");
}

void InitializingSVLContext::fetchActionHistoryFromServer(const std::optional<std::string>&,
                                                          ActionHistoryIdType,
                                                          const std::vector<std::string>&,
                                                          ActionHistoryCompletion completion) {
    ignored("fetchActionHistoryFromServer", completion);
}

void InitializingSVLContext::insertPushData(const Value::Map&) {
    ignored("insertPushData");
}

void InitializingSVLContext::getActionHistory(std::int64_t, std::int64_t,
                                              const std::vector<std::string>&,
                                              ActionHistoryCompletion completion) {
    ignored("getActionHistory", completion);
}

void InitializingSVLContext::getAllActionHistory(const std::vector<std::string>&,
                                                 ActionHistoryCompletion completion) {
    ignored("getAllActionHistory", completion);
}

void InitializingSVLContext::deleteAllActionHistory(const std::optional<std::string>&,
                                                    ActionHistoryIdType,
                                                    ActionHistoryCompletion completion) {
    ignored("deleteAllActionHistory", completion);
}

void InitializingSVLContext::deleteActionHistory(const std::optional<std::string>&,
                                                 const std::string&, std::int64_t,
                                                 ActionHistoryCompletion completion) {
    ignored("deleteActionHistory(token:historyId:timeStamp:completion:)", completion);
}

void InitializingSVLContext::clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion completion) {
    ignored("clearSyncedActionHistoryInLocalDB(completion:)", completion);
}

void InitializingSVLContext::clearAllActionHistoryInLocalDB() {
    ignored("clearAllActionHistoryInLocalDB()");
}

}  // namespace sorvel
