// The dispatcher of DefaultSVLContextController: takes each released message
// apart on the controller queue and runs it against the current context.

#include <string>
#include <utility>
#include <variant>

#include "Common/DatesAndIds.h"
#include "Common/RegistryStates.h"
#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "Core/DefaultSVLContextController.h"
#include "Core/UseCases.h"

namespace sorvel {

// One handler per kind, picked by the one visit in processMessage. A handler
// returns false when the message ends without the flush at intervals.
struct DefaultSVLContextController::Handler {
    DefaultSVLContextController& controller;
    ISVLContext& context;

    bool operator()(msg::Initialize& m) {
        controller.processInitialize(m.appKey, m.secretKey);
        return true;
    }
    bool operator()(msg::SaveUserProperty& m) {
        context.saveUserProperty(m.properties, m.isCi);
        return true;
    }
    bool operator()(msg::SaveUserPropertyWithoutEvent& m) {
        (void)context.saveUserPropertyWithoutEvent(m.properties, m.isCi);
        return true;
    }
    bool operator()(msg::ClearUserProperty&) {
        context.clearUserProperty();
        return true;
    }
    bool operator()(msg::LogEvent& m) {
        // The message runs once: its parameter is taken, not copied.
        LogEventParameter parameter = std::move(m.parameter);
        if (!parameter.event_datetime) {
            parameter.event_datetime = FvnUtil::getCurrentDatetimeText();
            parameter.eventId = FvnUtil::createEventIdText();
        }
        context.logEvent(std::move(parameter));
        return true;
    }
    bool operator()(msg::LogSameEventWithPaging& m) {
        context.logSameEventWithPaging(m.products, m.eventName, m.attributes);
        return true;
    }
    bool operator()(msg::DidBecomeActive&) {
        context.didBecomeActive();
        return true;
    }
    bool operator()(msg::WillResignActive&) {
        context.willResignActive();
        return true;
    }
    bool operator()(msg::Deeplink& m) {
        context.deeplink(m.url);
        return true;
    }
    bool operator()(msg::GdprForgetMe&) {
        GdprForgetMeUseCase(controller.repository_).execute();
        controller.disableSDK("GDPR FORGET ME");
        return true;
    }
    bool operator()(msg::DeleteUserDataAndStopSDK& m) {
        return controller.processDeleteUserData(m.userId, m.completion);
    }
    bool operator()(msg::RestartSDK& m) {
        return controller.processRestartSDK(m.userId, m.completion);
    }
    bool operator()(msg::FetchActionHistoryFromServer& m) {
        context.fetchActionHistoryFromServer(m.token, m.idType, m.actionType, m.completion);
        return true;
    }
    bool operator()(msg::InsertPushData& m) {
        context.insertPushData(m.pushJsonDic);
        return true;
    }
    bool operator()(msg::GetActionHistory& m) {
        context.getActionHistory(m.skip, m.limit, m.actionType, m.completion);
        return true;
    }
    bool operator()(msg::GetAllActionHistory& m) {
        context.getAllActionHistory(m.actionType, m.completion);
        return true;
    }
    bool operator()(msg::DeleteAllActionHistory& m) {
        context.deleteAllActionHistory(m.token, m.idType, m.completion);
        return true;
    }
    bool operator()(msg::DeleteActionHistory& m) {
        context.deleteActionHistory(m.token, m.historyId, m.timeStamp, m.completion);
        return true;
    }
    bool operator()(msg::ClearSyncedActionHistoryInLocalDB& m) {
        context.clearSyncedActionHistoryInLocalDB(m.completion);
        return true;
    }
    bool operator()(msg::ClearAllActionHistoryInLocalDB&) {
        context.clearAllActionHistoryInLocalDB();
        return true;
    }
};

void DefaultSVLContextController::processMessage(Message& message) {
    // Held for the whole message: a handler may replace the current context.
    auto context = currentContext();
    if (!std::visit(Handler{*this, *context}, message)) {
        return;
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
