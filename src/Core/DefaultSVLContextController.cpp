#include "Core/DefaultSVLContextController.h"

#include <utility>
#include <vector>

#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "Core/UseCases.h"

namespace sorvel {
std::shared_ptr<DefaultSVLContextController> DefaultSVLContextController::create(
    std::shared_ptr<DataRegistry> dataRegistry, std::shared_ptr<IRepository> repository,
    std::shared_ptr<ISVLContextFactory> contextFactory, ResetHook resetHook,
    std::shared_ptr<platform::DispatchQueue> sequence) {
    auto controller = std::make_shared<DefaultSVLContextController>(
        PassKey{}, std::move(dataRegistry), std::move(repository), std::move(contextFactory),
        std::move(resetHook), std::move(sequence));
    controller->registerDataUnitListeners();
    return controller;
}

DefaultSVLContextController::DefaultSVLContextController(
    PassKey, std::shared_ptr<DataRegistry> dataRegistry, std::shared_ptr<IRepository> repository,
    std::shared_ptr<ISVLContextFactory> contextFactory, ResetHook resetHook,
    std::shared_ptr<platform::DispatchQueue> sequence)
    : dataRegistry_(std::move(dataRegistry)),
      repository_(std::move(repository)),
      contextFactory_(std::move(contextFactory)),
      resetHook_(std::move(resetHook)),
      svlContext_(contextFactory_->makeInitializingContext()),
      sequence_(std::move(sequence)),
      queue_(sequence_ ? platform::DispatchQueue::makeSerial(DISPATCH_QUEUE_LABEL, sequence_)
                       : platform::DispatchQueue::makeSerial(DISPATCH_QUEUE_LABEL)) {}

// ---- Registry listeners -----------------------------------------------------

void DefaultSVLContextController::registerDataUnitListeners() {
    // Weak: the registry keeps its listeners for good, and a controller that
    // is gone has nothing left to disable.
    std::weak_ptr<DefaultSVLContextController> weak = weak_from_this();
    for (DataRegistryKey key : {DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE,
                                DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP}) {
        dataRegistry_->addListener(key, std::make_shared<DataUnitEventListener>(
                                            [weak, key](const std::optional<Value>& newValue) {
                                                if (auto self = weak.lock()) {
                                                    self->onFlagChanged(key, newValue);
                                                }
                                            }));
    }
}

void DefaultSVLContextController::onFlagChanged(DataRegistryKey key,
                                                const std::optional<Value>& newValue) {
    const bool* flag = newValue ? newValue->getBool() : nullptr;
    if (flag == nullptr) {
        SvlLog::error(std::string("value can not be casted to bool : ") +
                          (newValue ? newValue->render() : "nil"),
                      true);
        return;
    }
    if (!*flag) {
        return;
    }
    if (key == DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE) {
        FlushAllNowUseCase(repository_).execute();
        dataRegistry_->putData(std::nullopt, DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
        disableSDK("Sorvel Pause");
    } else {
        disableSDK("Sorvel All Stop");
    }
}

// ---- State ----------------------------------------------------------------------

std::shared_ptr<ISVLContext> DefaultSVLContextController::currentContext() const {
    platform::MutexLock lock(contextMu_);
    return svlContext_;
}

void DefaultSVLContextController::changeContext(std::shared_ptr<ISVLContext> context) {
    if (!context) {
        SvlLog::error("changeContext : no context given, the current one stays", true);
        return;
    }
    std::shared_ptr<ISVLContext> previous;
    {
        platform::MutexLock lock(contextMu_);
        previous = std::exchange(svlContext_, std::move(context));
    }
    // previous goes here, outside the lock: a context may own anything.
}

void DefaultSVLContextController::disableSDK(const std::string& reason) {
    std::shared_ptr<ISVLContext> previous;
    {
        // The test and the switch are one step, so of two concurrent calls
        // exactly one disables: its reason stays and the reset runs once.
        platform::MutexLock lock(contextMu_);
        if (svlContext_->contextState() == SVLContextState::DISABLED) {
            return;
        }
        auto disabled = contextFactory_->makeDisabledContext(reason);
        if (!disabled) {
            return;
        }
        previous = std::exchange(svlContext_, std::move(disabled));
    }
    previous.reset();
    if (resetHook_) {
        resetHook_();
    }
}

// ---- Typed operations ----------------------------------------------------------

void DefaultSVLContextController::initialize(const std::string& appKey,
                                             const std::string& secretKey) {
    submitMessage(msg::Initialize{appKey, secretKey});
}

void DefaultSVLContextController::saveUserProperty(const Value::Map& properties, bool isCi) {
    submitMessage(msg::SaveUserProperty{properties, isCi});
}

void DefaultSVLContextController::saveUserPropertyWithoutEvent(const Value::Map& properties,
                                                               bool isCi) {
    submitMessage(msg::SaveUserPropertyWithoutEvent{properties, isCi});
}

void DefaultSVLContextController::clearUserProperty() {
    submitMessage(msg::ClearUserProperty{});
}

void DefaultSVLContextController::logEvent(LogEventParameter parameter) {
    submitMessage(msg::LogEvent{std::move(parameter)});
}

void DefaultSVLContextController::logSameEventWithPaging(
    std::vector<SorvelKvCommerceProductModel> products, const std::string& eventName,
    Value::Map attributes) {
    submitMessage(
        msg::LogSameEventWithPaging{std::move(products), eventName, std::move(attributes)});
}

void DefaultSVLContextController::didBecomeActive() {
    SVLBooleanState::isAppActive().set(true);
    SVLBooleanState::isInAppMessageShowing().set(false);
    submitMessage(msg::DidBecomeActive{});
}

void DefaultSVLContextController::willResignActive() {
    SVLBooleanState::isAppActive().set(false);
    submitMessage(msg::WillResignActive{});
}

void DefaultSVLContextController::deeplink(const std::string& url) {
    submitMessage(msg::Deeplink{url});
}

void DefaultSVLContextController::gdprForgetMe() {
    submitMessage(msg::GdprForgetMe{});
}

void DefaultSVLContextController::deleteUserDataAndStopSDK(const std::string& userId,
                                                           CompletionCallback completion) {
    submitMessage(msg::DeleteUserDataAndStopSDK{userId, std::move(completion)});
}

void DefaultSVLContextController::restartSDK(const std::string& userId,
                                             CompletionCallback completion) {
    submitMessage(msg::RestartSDK{userId, std::move(completion)});
}

void DefaultSVLContextController::triggerInAppMessage(const std::string& eventName,
                                                      const std::string& group) {
    currentContext()->triggerInAppMessageFor(group, eventName);
}

void DefaultSVLContextController::fetchActionHistoryFromServer(
    const std::optional<std::string>& token, ActionHistoryIdType idType,
    const std::vector<std::string>& actionType, ActionHistoryCompletion completion) {
    submitMessage(
        msg::FetchActionHistoryFromServer{token, idType, actionType, std::move(completion)});
}

void DefaultSVLContextController::insertPushData(const Value::Map& pushJsonDic) {
    InsertPushDataUseCase(repository_, pushJsonDic).execute();
}

void DefaultSVLContextController::getActionHistory(std::int64_t skip, std::int64_t limit,
                                                   const std::vector<std::string>& actionType,
                                                   ActionHistoryCompletion completion) {
    submitMessage(msg::GetActionHistory{skip, limit, actionType, std::move(completion)});
}

void DefaultSVLContextController::getAllActionHistory(const std::vector<std::string>& actionType,
                                                      ActionHistoryCompletion completion) {
    submitMessage(msg::GetAllActionHistory{actionType, std::move(completion)});
}

void DefaultSVLContextController::deleteAllActionHistory(const std::optional<std::string>& token,
                                                         ActionHistoryIdType idType,
                                                         ActionHistoryCompletion completion) {
    submitMessage(msg::DeleteAllActionHistory{token, idType, std::move(completion)});
}

void DefaultSVLContextController::deleteActionHistory(const std::optional<std::string>& token,
                                                      const std::string& historyId,
                                                      std::int64_t timeStamp,
                                                      ActionHistoryCompletion completion) {
    submitMessage(msg::DeleteActionHistory{token, historyId, timeStamp, std::move(completion)});
}

void DefaultSVLContextController::clearSyncedActionHistoryInLocalDB(
    ActionHistoryCompletion completion) {
    submitMessage(msg::ClearSyncedActionHistoryInLocalDB{std::move(completion)});
}

void DefaultSVLContextController::clearAllActionHistoryInLocalDB() {
    submitMessage(msg::ClearAllActionHistoryInLocalDB{});
}

// ---- Gating -----------------------------------------------------------------------

void DefaultSVLContextController::submitMessage(Message message) {
    if (released_.load(std::memory_order_acquire)) {
        dispatch(std::move(message));
        return;
    }
    const MessageType messageType = messageTypeOf(message);
    // One lock around the whole gating: a message enqueued here can never
    // slip in behind a drain running on another thread and stay held for good.
    platform::MutexLock lock(gateMu_);
    if (didBecomeActiveSubmitted_) {
        dispatch(std::move(message));
        return;
    }
    if (isInitSubmitted_ && (messageType == MessageType::RESTART_SDK ||
                             messageType == MessageType::DELETE_USER_DATA_AND_STOP_SDK)) {
        dispatch(std::move(message));
        return;
    }
    if (messageType == MessageType::INITIALIZE) {
        dispatch(std::move(message));
        isInitSubmitted_ = true;
    } else {
        auto held = std::make_unique<MessageInvokeRunnable>(std::move(message));
        if (messageType == MessageType::DID_BECOME_ACTIVE) {
            didBecomeActiveQueue_.enqueue(std::move(held));
        } else {
            etcQueue_.enqueue(std::move(held));
        }
    }
    if (!isInitSubmitted_) {
        return;
    }
    if (!didBecomeActiveSubmitted_ && !didBecomeActiveQueue_.isEmpty()) {
        if (auto head = didBecomeActiveQueue_.dequeue()) {
            dispatch(std::move((*head)->message));
            didBecomeActiveSubmitted_ = true;
        }
    }
    if (didBecomeActiveSubmitted_) {
        while (auto held = etcQueue_.dequeue()) {
            dispatch(std::move((*held)->message));
        }
        released_.store(true, std::memory_order_release);
    }
}

void DefaultSVLContextController::dispatch(Message&& message) {
    const MessageType kind = messageTypeOf(message);
    const bool event =
        kind == MessageType::LOG_EVENT || kind == MessageType::LOG_SAME_EVENT_WITH_PAGING;
    bool wasEmpty = false;
    bool batchFull = false;
    {
        platform::MutexLock lock(mailboxMu_);
        wasEmpty = mailbox_.empty();
        if (mailbox_.capacity() == 0) {
            mailbox_.reserve(EVENT_BATCH * 4);
        }
        mailbox_.push_back(std::move(message));
        batchFull = event && ++mailboxEvents_ == EVENT_BATCH;
    }
    if (wasEmpty) {
        // The mailbox was empty, so no drain is pending for this message.
        if (event) {
            queue_->asyncCoalesced([self = shared_from_this()] { self->drainMailbox(); },
                                   EVENT_COALESCING);
        } else {
            queue_->async([self = shared_from_this()] { self->drainMailbox(); });
        }
    } else if (!event || batchFull) {
        // The pending drain may be waiting for more events: a block queued
        // without a wait ends that (the drain finds the mailbox empty).
        queue_->async([self = shared_from_this()] { self->drainMailbox(); });
    }
}

void DefaultSVLContextController::drainMailbox() {
    // An event's model is built here and packed by the event buffer in the
    // same wake of this thread.
    platform::assertRunsOn(sequence_ ? *sequence_ : *queue_, "the controller's drain");
    // Taken out of the member, so a drain started from inside a message (a
    // sync onto this queue run in place) works on a vector of its own.
    std::vector<Message> batch = std::move(drained_);
    batch.clear();
    {
        platform::MutexLock lock(mailboxMu_);
        batch.swap(mailbox_);
        mailboxEvents_ = 0;
    }
    for (Message& message : batch) {
        processMessage(message);
        // The arguments (completions included) go before the next message runs.
        message.emplace<msg::ClearUserProperty>();
    }
    batch.clear();
    // A burst far ahead of this queue leaves a large vector: given back
    // rather than held for good.
    if (batch.capacity() <= MAILBOX_KEPT) {
        drained_ = std::move(batch);
    }
}

void DefaultSVLContextController::waitForDispatched() {
    queue_->sync([this] { drainMailbox(); });
}

DefaultSVLContextController::~DefaultSVLContextController() = default;

}  // namespace sorvel
