#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "Common/Constants.h"
#include "Event/EventModel.h"
#include "Event/EventUploadIntervalManager.h"
#include "Platform/Dispatch.h"
#include "Platform/Mutex.h"

namespace sorvel {

class EventCounters;
class EventPackage;
class EventPackageContainer;
class INoWaitEventNameProvider;

// The in-memory front of the upload pipeline. Every operation only queues a
// block on the serial queue "eventBufferSyncQueue", so all buffer and
// container work runs one block at a time, in call order, from any thread
// (events added in a row share one block). A
// full buffer (10 events) becomes one package in the container; a no-wait
// event packs what the buffer holds and sends every queued package at once.
//
// The events that stay in the buffer are journaled at the end of each drain
// block (one record for all it added), so a kill loses only the events that
// had not yet been drained; the package they become supersedes their record.
// A start takes into the buffer, ahead of any new event, the events that the
// buffers of processes that died held.
//
// The uploads themselves run on a second serial queue, "eventUploadQueue",
// one round at a time: a round waits for its uploads, but the events recorded
// meanwhile are still packed and stored at once. Were they to wait behind a
// slow or unreachable server, a process killed meanwhile would lose every one
// of them. Upload rounds asked for while one is queued add nothing (the queued
// one takes every package there is when it starts). The count rule wakes the
// upload queue only when a package formed since it last did (or the upload
// timer is to be started): between packages it would find what it found.
class EventBuffer : public IObserver<NoValue> {
    struct PassKey {};

  public:
    static constexpr std::size_t bufferCapacity = Constants::EVENT_PACKAGE_SIZE;
    // Events waiting in the inbox that make an event added on the buffer's
    // own thread (from another queue's block) drain the inbox at once.
    static constexpr std::size_t INBOX_DRAINED_AT = 8 * bufferCapacity;
    // The largest drained vector kept for the next drain; a larger one (a
    // caller far ahead of the buffer's thread) is freed.
    static constexpr std::size_t DRAIN_KEPT = 2 * INBOX_DRAINED_AT;

    // Also registers the buffer with the upload scheduler (for the life of the
    // process) and with the registry, so that a removal of the stored unsent
    // packages by anyone else drops the queued ones too. With a sequence (a
    // serial queue), "eventBufferSyncQueue" runs on the sequence's thread, so
    // the events handed over from that thread are packed and recorded in the
    // same wake of it; without one it has a thread of its own.
    static std::shared_ptr<EventBuffer> create(
        std::shared_ptr<EventPackageContainer> eventPackageContainer,
        std::shared_ptr<INoWaitEventNameProvider> noWaitEventNameProvider,
        EventUploadIntervalManager& intervalManager = EventUploadIntervalManager::shared(),
        std::shared_ptr<platform::DispatchQueue> sequence = nullptr);
    EventBuffer(PassKey, std::shared_ptr<EventPackageContainer> eventPackageContainer,
                std::shared_ptr<INoWaitEventNameProvider> noWaitEventNameProvider,
                std::shared_ptr<platform::DispatchQueue> sequence);
    // Runs the blocks still queued.
    ~EventBuffer() override;

    // An event nested too deeply or too large is dropped with a log line;
    // ill-formed UTF-8 in it is replaced.
    void addEvent(EventModel event);
    // Packs the buffer (when it holds anything) and sends every queued package.
    void flushAllNow();
    // Sends every queued package when the count rule holds.
    void flushAtIntervals();
    // Packs the buffer and rewrites the stored list of unsent packages.
    void saveUnsentEvents();
    // Empties the buffer and the queue; the stored list stays until the next
    // change of the queue.
    void clearBuffer();
    // The SDK was told to drop the unsent events: queued packages are dropped
    // and an empty list is stored after everything queued before this call.
    // A removal of the stored list by anyone else (the remote pause) calls it;
    // a registry wipe, which reports nothing, only keeps the pipeline from
    // storing the queued events again, until the queue is emptied or dropped.
    void discardUnsentEvents();

    // A delete of the user's data is under way: the packages queued or being sent now
    // are never sent (see EventPackageContainer::cutGeneration). Runs at once,
    // on the caller's thread.
    void cutGeneration();
    // Blocks until every block queued before the call has run and every
    // checkpoint they asked for is durable; uploads are not waited for (the
    // container's budgeted settling, which must not wait on the network).
    void waitUntilStored() const;

    // The upload timer fired.
    void update(const NoValue&) override;

    std::size_t bufferedEventCount() const;
    // Events handed to addEvent that no drain has taken into the buffer yet.
    std::size_t eventsNotYetBuffered() const;
    // Events handed to addEvent so far.
    std::uint64_t eventsHandedIn() const;
    // The counters the events take their numbers and previous id from (the
    // package container's).
    const std::shared_ptr<EventCounters>& eventCounters() const;
    // Blocks until every block queued before the call has run, the blocks and
    // upload rounds those queued, and the checkpoints all of them asked for
    // are durable. The drain of the buffer alone, for the container and for
    // the tests of the event road that run without one.
    void waitUntilIdle() const;

  private:
    // Every block goes through here. A count check asked for while the last
    // block queued is a check that has not started yet is already covered.
    void submit(platform::Block block);
    // A drain block: its events, oldest first, into the buffer.
    void drainInbox();
    // The events of the oldest drain; check: whether a count check follows them.
    std::vector<EventModel> takeDrain(bool& check);
    // Keeps a drained (emptied) vector for the next drain to fill.
    void recycleDrain(std::vector<EventModel> events);
    void admit(EventModel event);
    // Queues an upload round unless one is queued: every package (all), or
    // those the count rule lets go.
    void requestUpload(bool all);
    void runUpload();
    // One package of every buffered event, which leave the buffer.
    std::shared_ptr<const EventPackage> packBuffer();
    // Journals the events that joined the buffer since it was last journaled.
    void journalNewEvents();

    // Events not yet packed, in arrival order. Packing moves them out rather
    // than copying them.
    mutable platform::Mutex bufferMu_;
    std::vector<EventModel> currentBuffer_ GUARDED_BY(bufferMu_);
    // How many of them, from the oldest, the journal holds.
    std::size_t journaled_ GUARDED_BY(bufferMu_) = 0;
    const std::shared_ptr<EventPackageContainer> eventPackagContainer_;
    const std::shared_ptr<INoWaitEventNameProvider> noWaitEventNameProvider_;
    mutable platform::Mutex submitMu_;
    // The ticket of the count check queued last and not yet started; 0 when
    // the last block queued is anything else.
    std::uint64_t pendingCheck_ GUARDED_BY(submitMu_) = 0;
    std::uint64_t lastCheck_ GUARDED_BY(submitMu_) = 0;
    // What each queued drain block takes, in queue order: the events given
    // to addEvent for it, oldest first, and whether a count check follows
    // them. The block takes its vector whole, and gives it back emptied.
    struct Drain {
        std::vector<EventModel> events;
        bool check = false;
    };
    std::deque<Drain> drains_ GUARDED_BY(submitMu_);
    // Events waiting in drains_, all drains together.
    std::size_t inboxEvents_ GUARDED_BY(submitMu_) = 0;
    std::uint64_t handedIn_ GUARDED_BY(submitMu_) = 0;
    // The vector of a drain that ran, emptied, for the next drain to fill:
    // a stream of events then allocates nothing for the hand-over.
    std::vector<EventModel> spareDrain_ GUARDED_BY(submitMu_);
    // The block queued last is a drain that has not started: a new event joins it.
    bool lastQueuedIsDrain_ GUARDED_BY(submitMu_) = false;
    platform::Mutex uploadMu_;
    enum class Upload { NONE, COUNT_CHECK, ALL };
    // Packages formed from the buffer so far, and how many there were when
    // the count rule last went to the upload queue.
    std::atomic<std::uint64_t> packagesFormed_{0};
    std::optional<std::uint64_t> checkedFormed_ GUARDED_BY(uploadMu_);
    // The scheduler whose timer a count check starts.
    EventUploadIntervalManager* intervalManager_ = nullptr;
    // The round queued and not yet started.
    Upload pendingUpload_ GUARDED_BY(uploadMu_) = Upload::NONE;
    // A round (or count check) runs on the upload queue now.
    bool uploadRunning_ GUARDED_BY(uploadMu_) = false;
    // Destroyed after the buffer's queue, whose blocks queue rounds here.
    std::shared_ptr<platform::DispatchQueue> uploadQueue_;
    // The thread the buffer's blocks run on, when it shares one; null otherwise.
    const std::shared_ptr<platform::DispatchQueue> sequence_;
    // Last member: destroyed first, so queued blocks run while the rest lives.
    std::shared_ptr<platform::DispatchQueue> dispatchQueue_;
};

}  // namespace sorvel
