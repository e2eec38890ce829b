#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/Atomic.h"
#include "Common/Constants.h"
#include "Common/DRState.h"
#include "Common/DataRegistry.h"
#include "Core/ISVLContext.h"
#include "Core/ISVLContextController.h"
#include "Core/MessageType.h"
#include "Data/Repository/IRepository.h"
#include "Platform/Dispatch.h"
#include "Platform/Mutex.h"

namespace sorvel {

// Builds the three context states. Each call constructs one new context and
// does nothing else the controller must wait for.
class ISVLContextFactory {
  public:
    virtual ~ISVLContextFactory() = default;
    virtual std::shared_ptr<ISVLContext> makeInitializingContext() = 0;
    virtual std::shared_ptr<ISVLContext> makeActiveContext() = 0;
    virtual std::shared_ptr<ISVLContext> makeDisabledContext(const std::string& reason) = 0;
};

// The controller: every request becomes a message; messages are held until
// the SDK was asked to initialise and the app first became active, then run
// one at a time on the serial queue "DefaultSVLControllerDispatchQueue"
// against the current context. It owns every change of state.
//
// Gating, on the caller's thread, serialised by one lock:
//  - once released (below), every message is dispatched as it comes;
//  - after INITIALIZE was submitted, RESTART_SDK and
//    DELETE_USER_DATA_AND_STOP_SDK pass at once;
//  - INITIALIZE is dispatched at once; every other message waits, a
//    DID_BECOME_ACTIVE in its own list;
//  - after INITIALIZE, the first held DID_BECOME_ACTIVE is dispatched (any
//    further one held before it never runs), then every other held message in
//    arrival order, and the gate is open for good.
// Dispatching never waits: a released message goes onto a lock-free list
// (one compare-and-swap), and only a submission that finds the list empty
// queues a block that runs everything on the list in submission order.
// Submitting threads therefore never sleep on a lock that eight of them and
// the controller queue fight over (nor behind a holder the scheduler took
// off its core). A message travels in an envelope the drain hands back once
// the message ran: a submitter takes a spare one when no other submitter is
// taking one at that instant, and makes new ones otherwise, ENVELOPE_BLOCK at
// a time (the others become spares), so a stream of messages allocates
// nothing of its own, and a caller that outruns the queue one block per
// ENVELOPE_BLOCK messages. A block queued for an event lets the
// queue's thread wait up to EVENT_COALESCING for more, so a stream of events
// wakes it once per batch rather than once per event; any other message,
// EVENT_BATCH events waiting, and waitForDispatched end that wait at once. Context operations are
// called without any lock held: they call back into the controller.
class DefaultSVLContextController final
    : public ISVLContextController,
      public std::enable_shared_from_this<DefaultSVLContextController> {
  public:
    static constexpr const char* DISPATCH_QUEUE_LABEL = "DefaultSVLControllerDispatchQueue";
    // Well inside what a process killed just after recording may lose anyway
    // (the events not yet packed), and short enough that nobody sees it.
    static constexpr platform::Millis EVENT_COALESCING{8};
    // A package's worth of events waiting ends that wait: a burst is packed
    // and recorded as it comes.
    static constexpr std::uint32_t EVENT_BATCH = Constants::EVENT_PACKAGE_SIZE;
    // Emptied envelopes kept for the next messages (about 300 bytes each);
    // more are freed once their message ran.
    static constexpr std::size_t SPARE_ENVELOPES_KEPT = 128;
    // Envelopes made together when no spare is at hand; one goes when all
    // of its envelopes were freed.
    static constexpr std::size_t ENVELOPE_BLOCK = 16;

    using ResetHook = std::function<void()>;

    // Builds the controller in the initialising state and registers its
    // listeners on the registry's pause and all-stop flags. resetHook runs
    // each time disableSDK disables the SDK. With a sequence (a serial
    // queue), the controller queue runs on the sequence's thread, so an event's
    // model and what the event buffer does with it share one wake of it.
    static std::shared_ptr<DefaultSVLContextController> create(
        std::shared_ptr<DataRegistry> dataRegistry, std::shared_ptr<IRepository> repository,
        std::shared_ptr<ISVLContextFactory> contextFactory, ResetHook resetHook,
        std::shared_ptr<platform::DispatchQueue> sequence = nullptr);

    void changeContext(std::shared_ptr<ISVLContext> context) override;
    void disableSDK(const std::string& reason) override;
    void initialize(const std::string& appKey, const std::string& secretKey) override;
    void saveUserProperty(const Value::Map& properties, bool isCi) override;
    void saveUserPropertyWithoutEvent(const Value::Map& properties, bool isCi) override;
    void clearUserProperty() override;
    void logEvent(LogEventParameter parameter) override;
    void logSameEventWithPaging(std::vector<SorvelKvCommerceProductModel> products,
                                const std::string& eventName, Value::Map attributes) override;
    void didBecomeActive() override;
    void willResignActive() override;
    void deeplink(const std::string& url) override;
    void gdprForgetMe() override;
    void deleteUserDataAndStopSDK(const std::string& userId,
                                  CompletionCallback completion) override;
    void restartSDK(const std::string& userId, CompletionCallback completion) override;
    void submitMessage(Message message) override;
    void triggerInAppMessage(const std::string& eventName, const std::string& group) override;
    void fetchActionHistoryFromServer(const std::optional<std::string>& token,
                                      ActionHistoryIdType idType,
                                      const std::vector<std::string>& actionType,
                                      ActionHistoryCompletion completion) override;
    void insertPushData(const Value::Map& pushJsonDic) override;
    void getActionHistory(std::int64_t skip, std::int64_t limit,
                          const std::vector<std::string>& actionType,
                          ActionHistoryCompletion completion) override;
    void getAllActionHistory(const std::vector<std::string>& actionType,
                             ActionHistoryCompletion completion) override;
    void deleteAllActionHistory(const std::optional<std::string>& token, ActionHistoryIdType idType,
                                ActionHistoryCompletion completion) override;
    void deleteActionHistory(const std::optional<std::string>& token, const std::string& historyId,
                             std::int64_t timeStamp, ActionHistoryCompletion completion) override;
    void clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion completion) override;
    void clearAllActionHistoryInLocalDB() override;

    // The context current at the moment of the call.
    std::shared_ptr<ISVLContext> currentContext() const;
    // Runs `started` once on the controller queue after INITIALIZE and the
    // first DID_BECOME_ACTIVE have run there (and every message held until
    // then): at once when the gate is already open, else when it opens.
    // `started` must not wait for the controller.
    void whenStarted(std::function<void()> started);
    // Blocks until every message dispatched before the call has run; never
    // call it from a context operation. The container's drain and settling
    // use it; hosts wait on the container (DiContainer::drain), and only the
    // controller's own tests and benchmarks, which build it without one,
    // call it directly.
    void waitForDispatched();
    // Messages dispatched so far. Each is counted once it is in the mailbox,
    // so a waitForDispatched() after reading n runs at least those n.
    std::uint64_t messagesDispatched() const { return dispatched_.load(std::memory_order_acquire); }

  private:
    struct PassKey {};

  public:
    DefaultSVLContextController(PassKey, std::shared_ptr<DataRegistry> dataRegistry,
                                std::shared_ptr<IRepository> repository,
                                std::shared_ptr<ISVLContextFactory> contextFactory,
                                ResetHook resetHook,
                                std::shared_ptr<platform::DispatchQueue> sequence);
    ~DefaultSVLContextController() override;

  private:
    // One released message on its way to the controller queue, or a spare
    // envelope (holding an empty message).
    struct EnvelopeBlock;
    struct Envelope {
        Envelope* next = nullptr;
        Message message;
        // The block it was made in; null for one made alone.
        EnvelopeBlock* block = nullptr;
    };
    struct EnvelopeBlock {
        std::array<Envelope, ENVELOPE_BLOCK> envelopes;
        // Its envelopes not freed yet, kept spares and messages in flight
        // included.
        std::atomic<std::size_t> live{ENVELOPE_BLOCK};
    };
    // The dispatcher's visitor: one handler per kind.
    struct Handler;

    void registerDataUnitListeners();
    void onFlagChanged(DataRegistryKey key, const std::optional<Value>& newValue);

    void dispatch(Message&& message);
    // On the controller queue: runs every message of the mailbox, oldest first.
    void drainMailbox();
    // A spare envelope, or null when there is none or another submitter is
    // taking one right now (never waits).
    Envelope* takeSpareEnvelope();
    // An envelope made for a submitter that found no spare: the first of a
    // new block, the rest kept as spares, or one alone while enough spares
    // are kept.
    Envelope* makeEnvelope();
    // Puts a chain of envelopes, first to last, on the spare list.
    void addSpares(Envelope* first, Envelope* last, std::size_t count);
    // On the controller queue: keeps the envelope of a message that ran for
    // the next one, or frees it when enough are kept.
    void recycleEnvelope(Envelope* envelope);
    static void freeEnvelopes(Envelope* list);
    static void freeEnvelope(Envelope* envelope);
    // The dispatcher, on the controller queue only.
    // Runs a message once; it may take its arguments.
    void processMessage(Message& message);
    void processInitialize(const std::string& appKey, const std::string& secretKey);
    // The delete and restart guard: a request already synchronised is answered
    // success at once, one made while another is in flight is dropped; false
    // then, and no flush follows.
    bool passGuard(DRState synced, const char* syncedLine, std::atomic<bool>& inFlight,
                   const char* busyLine, const ISVLContext& context,
                   const CompletionCallback& completion);
    bool processDeleteUserData(const std::string& userId, const CompletionCallback& completion);
    bool processRestartSDK(const std::string& userId, const CompletionCallback& completion);
    void onInitializeCompleted(const std::weak_ptr<ISVLContext>& initializing, Completion result);
    void onRestartCompleted();

    // Set once at construction.
    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<IRepository> repository_;
    const std::shared_ptr<ISVLContextFactory> contextFactory_;
    const ResetHook resetHook_;

    mutable platform::Mutex contextMu_;
    std::shared_ptr<ISVLContext> svlContext_ GUARDED_BY(contextMu_);

    platform::Mutex gateMu_ ACQUIRED_BEFORE(contextMu_);
    bool isInitSubmitted_ GUARDED_BY(gateMu_) = false;
    bool didBecomeActiveSubmitted_ GUARDED_BY(gateMu_) = false;
    // whenStarted's blocks, queued when the gate opens.
    std::vector<std::function<void()>> startWaiters_ GUARDED_BY(gateMu_);
    AtomicQueue<std::unique_ptr<MessageInvokeRunnable>> didBecomeActiveQueue_;
    AtomicQueue<std::unique_ptr<MessageInvokeRunnable>> etcQueue_;
    // Raised, under gateMu_, only after every held message was dispatched: from
    // then on a submission skips the lock and the order is still kept.
    std::atomic<bool> released_{false};

    // Released messages not yet run, newest first.
    std::atomic<Envelope*> mailbox_{nullptr};
    // Released messages so far; next to the mailbox, whose line a submitter
    // has just taken.
    std::atomic<std::uint64_t> dispatched_{0};
    // About how many events the mailbox held since its last drain.
    std::atomic<std::uint32_t> mailboxEvents_{0};
    // Spare envelopes: the drain and a submitter that made a block add, only
    // the submitter holding takingSpare_ removes, so a removal never meets an
    // envelope that left and came back meanwhile (an addition only puts
    // envelopes on top that were not on the list).
    std::atomic<Envelope*> spareEnvelopes_{nullptr};
    std::atomic<std::size_t> spareEnvelopeCount_{0};
    std::atomic<bool> takingSpare_{false};

    std::atomic<bool> isInitRestartProcessingNow_{false};
    std::atomic<bool> isDeleteProcessingNow_{false};

    // The thread the controller queue shares, when it shares one; null otherwise.
    const std::shared_ptr<platform::DispatchQueue> sequence_;
    // Every queued block holds the controller, so none is left when it goes.
    // A drain block runs the messages of the mailbox.
    const std::shared_ptr<platform::DispatchQueue> queue_;
};

}  // namespace sorvel
