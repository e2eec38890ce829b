// The dispatcher of DefaultSVLContextController: takes each released message
// apart on the controller queue and runs it against the current context.

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "Common/FvnUtil.h"
#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "Core/DefaultSVLContextController.h"
#include "Core/UseCases.h"

namespace sorvel {
namespace {

// The element at i converted to T; null when the list is shorter, the element
// is absent or it holds another type.
template <class T>
const T* argAt(const MessageArgs& args, std::size_t i) {
    return i < args.size() ? std::any_cast<T>(&args[i]) : nullptr;
}
template <class T>
T* mutableArgAt(MessageArgs& args, std::size_t i) {
    return i < args.size() ? std::any_cast<T>(&args[i]) : nullptr;
}

// An element that may be absent: false only when it is present with another
// type than a text.
bool optionalTextAt(const MessageArgs& args, std::size_t i, std::optional<std::string>& out) {
    if (i >= args.size() || !args[i].has_value()) {
        out.reset();
        return true;
    }
    if (const auto* text = std::any_cast<std::string>(&args[i])) {
        out = *text;
        return true;
    }
    return false;
}

std::string castErrorText(MessageType type) {
    const char* name = messageTypeName(type);
    switch (type) {
        case MessageType::SAVE_USER_PROPERTY_WITHOUT_EVENT:
            name = "SAVE_USER_PROPERTY";
            break;
        case MessageType::LOG_SAME_EVENT_WITH_PAGING:
            name = "LOG_EVENT";
            break;
        case MessageType::CLEAR_SYNCED_ACTION_HISTORY_IN_LOCAL_DB:
            name = "CLEAR_ACTION_HISTORY_IN_LOCAL_DB";
            break;
        default:
            break;
    }
    return std::string("processMessage : Cast Error in ") + name;
}

// Where the history completion sits in the kind's list, if it has one.
std::optional<std::size_t> historyCompletionIndex(MessageType type) {
    switch (type) {
        case MessageType::FETCH_ACTION_HISTORY_FROM_SERVER:
        case MessageType::GET_ACTION_HISTORY:
        case MessageType::DELETE_ACTION_HISTORY:
            return 3;
        case MessageType::DELETE_ALL_ACTION_HISTORY:
            return 2;
        case MessageType::GET_ALL_ACTION_HISTORY:
            return 1;
        case MessageType::CLEAR_SYNCED_ACTION_HISTORY_IN_LOCAL_DB:
            return 0;
        default:
            return std::nullopt;
    }
}

bool isDRState(const DRStateResult& result, DRState state) {
    const auto* read = std::get_if<DRState>(&result);
    return read != nullptr && *read == state;
}

}  // namespace

void DefaultSVLContextController::processMessage(MessageType messageType, MessageArgs& args) {
    auto castFailed = [&] {
        SvlLog::error(castErrorText(messageType), true);
        if (messageType == MessageType::INITIALIZE) {
            disableSDK("Cast Error in INITIALIZE");
        }
        // The app still gets its one answer when the completion itself is
        // intact: a history call never goes unanswered.
        if (auto i = historyCompletionIndex(messageType)) {
            const auto* completion = argAt<ActionHistoryCompletion>(args, *i);
            if (completion != nullptr && *completion) {
                (*completion)(ActionHistoryResult::failure(ActionHistoryError::NoValueError));
            }
        }
    };

    switch (messageType) {
        case MessageType::INITIALIZE: {
            const auto* appKey = argAt<std::string>(args, 0);
            const auto* secretKey = argAt<std::string>(args, 1);
            if (!appKey || !secretKey) {
                return castFailed();
            }
            processInitialize(*appKey, *secretKey);
            break;
        }
        case MessageType::SAVE_USER_PROPERTY:
        case MessageType::SAVE_USER_PROPERTY_WITHOUT_EVENT: {
            const auto* properties = argAt<Value::Map>(args, 0);
            const auto* isCi = argAt<bool>(args, 1);
            if (!properties || !isCi) {
                return castFailed();
            }
            if (messageType == MessageType::SAVE_USER_PROPERTY) {
                currentContext()->saveUserProperty(*properties, *isCi);
            } else {
                (void)currentContext()->saveUserPropertyWithoutEvent(*properties, *isCi);
            }
            break;
        }
        case MessageType::CLEAR_USER_PROPERTY:
            currentContext()->clearUserProperty();
            break;
        case MessageType::LOG_EVENT: {
            auto* given = mutableArgAt<LogEventParameter>(args, 0);
            if (!given) {
                return castFailed();
            }
            // The message runs once: its parameter is taken, not copied.
            LogEventParameter parameter = std::move(*given);
            if (!parameter.event_datetime) {
                parameter.event_datetime = FvnUtil::getCurrentDatetimeString();
                parameter.eventId = FvnUtil::createEventId();
            }
            currentContext()->logEvent(parameter);
            break;
        }
        case MessageType::LOG_SAME_EVENT_WITH_PAGING: {
            const auto* products = argAt<std::vector<SorvelKvCommerceProductModel>>(args, 0);
            const auto* eventName = argAt<std::string>(args, 1);
            const auto* attributes = argAt<Value::Map>(args, 2);
            if (!products || !eventName || !attributes) {
                return castFailed();
            }
            currentContext()->logSameEventWithPaging(*products, *eventName, *attributes);
            break;
        }
        case MessageType::DID_BECOME_ACTIVE:
            currentContext()->didBecomeActive();
            break;
        case MessageType::WILL_RESIGN_ACTIVE:
            currentContext()->willResignActive();
            break;
        case MessageType::DEEPLINK: {
            const auto* url = argAt<std::string>(args, 0);
            if (!url) {
                return castFailed();
            }
            currentContext()->deeplink(*url);
            break;
        }
        case MessageType::GDPR_FORGET_ME:
            GdprForgetMeUseCase(repository_).execute();
            disableSDK("GDPR FORGET ME");
            break;
        case MessageType::DELETE_USER_DATA_AND_STOP_SDK:
        case MessageType::RESTART_SDK: {
            const auto* userId = argAt<std::string>(args, 0);
            const auto* completion = argAt<CompletionCallback>(args, 1);
            if (!userId || !completion) {
                return castFailed();
            }
            bool handedOn = messageType == MessageType::RESTART_SDK
                                ? processRestartSDK(*userId, *completion)
                                : processDeleteUserData(*userId, *completion);
            if (!handedOn) {
                return;
            }
            break;
        }
        case MessageType::FETCH_ACTION_HISTORY_FROM_SERVER: {
            std::optional<std::string> token;
            const auto* idType = argAt<ActionHistoryIdType>(args, 1);
            const auto* actionType = argAt<std::vector<std::string>>(args, 2);
            const auto* completion = argAt<ActionHistoryCompletion>(args, 3);
            if (!optionalTextAt(args, 0, token) || !idType || !actionType || !completion) {
                return castFailed();
            }
            currentContext()->fetchActionHistoryFromServer(token, *idType, *actionType,
                                                           *completion);
            break;
        }
        case MessageType::INSERT_PUSH_DATA: {
            const auto* pushJsonDic = argAt<Value::Map>(args, 0);
            if (!pushJsonDic) {
                return castFailed();
            }
            currentContext()->insertPushData(*pushJsonDic);
            break;
        }
        case MessageType::GET_ACTION_HISTORY: {
            const auto* skip = argAt<std::int64_t>(args, 0);
            const auto* limit = argAt<std::int64_t>(args, 1);
            const auto* actionType = argAt<std::vector<std::string>>(args, 2);
            const auto* completion = argAt<ActionHistoryCompletion>(args, 3);
            if (!skip || !limit || !actionType || !completion) {
                return castFailed();
            }
            currentContext()->getActionHistory(*skip, *limit, *actionType, *completion);
            break;
        }
        case MessageType::GET_ALL_ACTION_HISTORY: {
            const auto* actionType = argAt<std::vector<std::string>>(args, 0);
            const auto* completion = argAt<ActionHistoryCompletion>(args, 1);
            if (!actionType || !completion) {
                return castFailed();
            }
            currentContext()->getAllActionHistory(*actionType, *completion);
            break;
        }
        case MessageType::DELETE_ALL_ACTION_HISTORY: {
            std::optional<std::string> token;
            const auto* idType = argAt<ActionHistoryIdType>(args, 1);
            const auto* completion = argAt<ActionHistoryCompletion>(args, 2);
            if (!optionalTextAt(args, 0, token) || !idType || !completion) {
                return castFailed();
            }
            currentContext()->deleteAllActionHistory(token, *idType, *completion);
            break;
        }
        case MessageType::DELETE_ACTION_HISTORY: {
            std::optional<std::string> token;
            const auto* historyId = argAt<std::string>(args, 1);
            const auto* timeStamp = argAt<std::int64_t>(args, 2);
            const auto* completion = argAt<ActionHistoryCompletion>(args, 3);
            if (!optionalTextAt(args, 0, token) || !historyId || !timeStamp || !completion) {
                return castFailed();
            }
            currentContext()->deleteActionHistory(token, *historyId, *timeStamp, *completion);
            break;
        }
        case MessageType::CLEAR_SYNCED_ACTION_HISTORY_IN_LOCAL_DB: {
            const auto* completion = argAt<ActionHistoryCompletion>(args, 0);
            if (!completion) {
                return castFailed();
            }
            currentContext()->clearSyncedActionHistoryInLocalDB(*completion);
            break;
        }
        case MessageType::CLEAR_ALL_ACTION_HISTORY_IN_LOCAL_DB:
            currentContext()->clearAllActionHistoryInLocalDB();
            break;
    }
    // The context current now: after an initialise that completed at once,
    // already the active one.
    currentContext()->flushAtIntervals();
}

void DefaultSVLContextController::processInitialize(const std::string& appKey,
                                                    const std::string& secretKey) {
    auto context = currentContext();
    std::weak_ptr<ISVLContext> initializing = context;
    std::weak_ptr<DefaultSVLContextController> weak = weak_from_this();
    context->initialize(appKey, secretKey, [weak, initializing](Completion result) {
        if (auto self = weak.lock()) {
            self->onInitializeCompleted(initializing, result);
        }
    });
}

void DefaultSVLContextController::onInitializeCompleted(
    const std::weak_ptr<ISVLContext>& initializing, Completion result) {
    if (result != Completion::SUCCESS) {
        disableSDK("Initializing Failed");
        return;
    }
    // The active state replaces only the context that ran this initialise,
    // and only while it is still current: a disable made meanwhile (an
    // all-stop flag, a 400 answer to the configuration request) stays.
    auto expected = initializing.lock();
    auto stillCurrent = [&] {
        platform::MutexLock lock(contextMu_);
        return expected != nullptr && svlContext_ == expected;
    };
    if (!stillCurrent()) {
        SvlLog::debug("initialize : the state changed while initialising; it stays", true);
        return;
    }
    // Built outside the lock: the active state flushes events when it starts.
    auto active = contextFactory_->makeActiveContext();
    if (!active) {
        return;
    }
    bool installed = false;
    {
        platform::MutexLock lock(contextMu_);
        if (svlContext_ == expected) {
            std::swap(svlContext_, active);
            installed = true;
        }
    }
    if (!installed) {
        SvlLog::debug("initialize : the state changed while initialising; it stays", true);
    }
    // active (the replaced or the unused context) and expected go here,
    // outside the lock.
}

bool DefaultSVLContextController::passGuard(DRState synced, const char* syncedLine,
                                            std::atomic<bool>& inFlight, const char* busyLine,
                                            const ISVLContext& context,
                                            const CompletionCallback& completion) {
    if (isDRState(FvnUtil::getDRState(*dataRegistry_), synced)) {
        SvlLog::debug(syncedLine, true);
        if (completion) {
            completion(Completion::SUCCESS);
        }
        return false;
    }
    // The initialising state only logs the request and never answers it, so
    // it must not leave the in-flight guard raised for good.
    if (context.contextState() != SVLContextState::INITIALIZING && inFlight.exchange(true)) {
        SvlLog::debug(busyLine, true);
        return false;
    }
    return true;
}

bool DefaultSVLContextController::processDeleteUserData(const std::string& userId,
                                                        const CompletionCallback& completion) {
    auto context = currentContext();
    if (!passGuard(DRState::DELETE_SYNCED, "Delete user data already synced!",
                   isDeleteProcessingNow_, "Delete API is already processing!", *context,
                   completion)) {
        return false;
    }
    std::weak_ptr<DefaultSVLContextController> weak = weak_from_this();
    context->deleteUserData(userId, [weak, completion](Completion result) {
        if (auto self = weak.lock()) {
            self->isDeleteProcessingNow_.store(false);
            self->disableSDK("SDK STOPPED");
        }
        if (completion) {
            completion(result);
        }
    });
    return true;
}

bool DefaultSVLContextController::processRestartSDK(const std::string& userId,
                                                    const CompletionCallback& completion) {
    auto context = currentContext();
    if (!passGuard(DRState::INIT_RESTART_SYNCED, "Restart already synced!",
                   isInitRestartProcessingNow_, "InitRestart API is already processing!", *context,
                   completion)) {
        return false;
    }
    std::weak_ptr<DefaultSVLContextController> weak = weak_from_this();
    context->restartSDK(userId, [weak, completion](Completion result) {
        if (auto self = weak.lock()) {
            self->onRestartCompleted();
        }
        if (completion) {
            completion(result);
        }
    });
    return true;
}

void DefaultSVLContextController::onRestartCompleted() {
    isInitRestartProcessingNow_.store(false);
    if (currentContext()->contextState() != SVLContextState::DISABLED) {
        return;
    }
    changeContext(contextFactory_->makeInitializingContext());
    auto appKey = dataRegistry_->getStringOrNil(DataRegistryKey::STRING_APPKEY, std::nullopt);
    auto secretKey = dataRegistry_->getStringOrNil(DataRegistryKey::STRING_SECRETKEY, std::nullopt);
    if (!appKey || !secretKey) {
        SvlLog::error("onRestartCompleted : appKey and secretKey is nil", true);
        return;
    }
    initialize(*appKey, *secretKey);
    SVLBooleanState::isSessionStarted().set(false);
    didBecomeActive();
}

}  // namespace sorvel
