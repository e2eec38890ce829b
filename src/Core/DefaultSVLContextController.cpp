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
        // Queued behind the drain of every message dispatched above, so they
        // run once those have.
        for (auto& started : std::exchange(startWaiters_, {})) {
            queue_->async(std::move(started));
        }
        released_.store(true, std::memory_order_release);
    }
}

void DefaultSVLContextController::whenStarted(std::function<void()> started) {
    platform::MutexLock lock(gateMu_);
    if (didBecomeActiveSubmitted_) {
        queue_->async(std::move(started));
    } else {
        startWaiters_.push_back(std::move(started));
    }
}

void DefaultSVLContextController::dispatch(Message&& message) {
    const MessageType kind = messageTypeOf(message);
    const bool event =
        kind == MessageType::LOG_EVENT || kind == MessageType::LOG_SAME_EVENT_WITH_PAGING;
    const bool batchFull =
        event && mailboxEvents_.fetch_add(1, std::memory_order_relaxed) + 1 == EVENT_BATCH;
    // The mailbox owns the envelope from here until drainMailbox takes it.
    Envelope* envelope = takeSpareEnvelope();
    if (envelope == nullptr) {
        envelope = makeEnvelope();
    }
    envelope->message = std::move(message);
    Envelope* head = mailbox_.load(std::memory_order_relaxed);
    do {
        envelope->next = head;
    } while (!mailbox_.compare_exchange_weak(head, envelope, std::memory_order_release,
                                             std::memory_order_relaxed));
    dispatched_.fetch_add(1, std::memory_order_release);
    if (head == nullptr) {
        // The list was empty, so no drain is pending for this message.
        if (event) {
            queue_->asyncCoalesced([self = shared_from_this()] { self->drainMailbox(); },
                                   EVENT_COALESCING);
        } else {
            queue_->async([self = shared_from_this()] { self->drainMailbox(); });
        }
    } else if (!event || batchFull) {
        // The pending drain may be waiting for more events: a block queued
        // without a wait ends that (the drain finds the list empty).
        queue_->async([self = shared_from_this()] { self->drainMailbox(); });
    }
}

DefaultSVLContextController::Envelope* DefaultSVLContextController::takeSpareEnvelope() {
    if (spareEnvelopes_.load(std::memory_order_relaxed) == nullptr ||
        takingSpare_.exchange(true, std::memory_order_acquire)) {
        return nullptr;
    }
    // The only taker now: the head stays on the list until this removes it.
    Envelope* spare = spareEnvelopes_.load(std::memory_order_acquire);
    while (spare != nullptr &&
           !spareEnvelopes_.compare_exchange_weak(spare, spare->next, std::memory_order_acquire,
                                                  std::memory_order_acquire)) {
    }
    takingSpare_.store(false, std::memory_order_release);
    if (spare != nullptr) {
        spareEnvelopeCount_.fetch_sub(1, std::memory_order_relaxed);
    }
    return spare;
}

DefaultSVLContextController::Envelope* DefaultSVLContextController::makeEnvelope() {
    if (spareEnvelopeCount_.load(std::memory_order_relaxed) >= SPARE_ENVELOPES_KEPT) {
        // Spares exist, only another submitter was taking one: a block's
        // worth more would not be kept.
        return std::make_unique<Envelope>().release();
    }
    // Owned from here by its envelopes: the last one freed frees it.
    EnvelopeBlock* block = std::make_unique<EnvelopeBlock>().release();
    for (std::size_t i = 0; i < ENVELOPE_BLOCK; ++i) {
        block->envelopes[i].block = block;
        block->envelopes[i].next = i + 1 < ENVELOPE_BLOCK ? &block->envelopes[i + 1] : nullptr;
    }
    addSpares(&block->envelopes[1], &block->envelopes[ENVELOPE_BLOCK - 1], ENVELOPE_BLOCK - 1);
    return &block->envelopes[0];
}

void DefaultSVLContextController::addSpares(Envelope* first, Envelope* last, std::size_t count) {
    spareEnvelopeCount_.fetch_add(count, std::memory_order_relaxed);
    Envelope* head = spareEnvelopes_.load(std::memory_order_relaxed);
    do {
        last->next = head;
    } while (!spareEnvelopes_.compare_exchange_weak(head, first, std::memory_order_release,
                                                    std::memory_order_relaxed));
}

void DefaultSVLContextController::recycleEnvelope(Envelope* envelope) {
    if (spareEnvelopeCount_.load(std::memory_order_relaxed) >= SPARE_ENVELOPES_KEPT) {
        freeEnvelope(envelope);
        return;
    }
    addSpares(envelope, envelope, 1);
}

void DefaultSVLContextController::freeEnvelope(Envelope* envelope) {
    EnvelopeBlock* block = envelope->block;
    if (block == nullptr) {
        std::unique_ptr<Envelope> alone(envelope);
        return;
    }
    // Its arguments go now, not with the block's last envelope.
    envelope->message.emplace<msg::ClearUserProperty>();
    if (block->live.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::unique_ptr<EnvelopeBlock> emptied(block);
    }
}

void DefaultSVLContextController::freeEnvelopes(Envelope* list) {
    while (list != nullptr) {
        Envelope* next = list->next;
        freeEnvelope(list);
        list = next;
    }
}

void DefaultSVLContextController::drainMailbox() {
    // An event's model is built here and packed by the event buffer in the
    // same wake of this thread.
    platform::assertRunsOn(sequence_ ? *sequence_ : *queue_, "the controller's drain");
    mailboxEvents_.store(0, std::memory_order_relaxed);
    // Taken whole, so a drain started from inside a message (a sync onto this
    // queue run in place) works on a list of its own; turned oldest first.
    Envelope* oldest = nullptr;
    for (Envelope* e = mailbox_.exchange(nullptr, std::memory_order_acquire); e != nullptr;) {
        Envelope* next = e->next;
        e->next = oldest;
        oldest = e;
        e = next;
    }
    while (oldest != nullptr) {
        Envelope* envelope = oldest;
        oldest = envelope->next;
        processMessage(envelope->message);
        // The arguments (completions included) go before the next message runs.
        envelope->message.emplace<msg::ClearUserProperty>();
        recycleEnvelope(envelope);
    }
}

void DefaultSVLContextController::waitForDispatched() {
    queue_->sync([this] { drainMailbox(); });
}

DefaultSVLContextController::~DefaultSVLContextController() {
    freeEnvelopes(mailbox_.exchange(nullptr));
    freeEnvelopes(spareEnvelopes_.exchange(nullptr));
}

}  // namespace sorvel
