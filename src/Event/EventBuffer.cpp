#include "Event/EventBuffer.h"

#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "Event/EventInputGuard.h"
#include "Event/EventPackageContainer.h"
#include "Event/NoWaitEventNameProvider.h"

namespace sorvel {

std::shared_ptr<EventBuffer> EventBuffer::create(
    std::shared_ptr<EventPackageContainer> eventPackageContainer,
    std::shared_ptr<INoWaitEventNameProvider> noWaitEventNameProvider,
    EventUploadIntervalManager& intervalManager,
    std::shared_ptr<platform::DispatchQueue> sequence) {
    auto buffer = std::make_shared<EventBuffer>(
        PassKey{}, eventPackageContainer, std::move(noWaitEventNameProvider), std::move(sequence));
    buffer->intervalManager_ = &intervalManager;
    {
        // What the open buffers of processes that died held comes first; the
        // journal has it already.
        std::vector<EventModel> restored = eventPackageContainer->takeRestoredOpenEvents();
        platform::MutexLock lock(buffer->bufferMu_);
        buffer->currentBuffer_ = std::move(restored);
        buffer->journaled_ = buffer->currentBuffer_.size();
    }
    if (buffer->bufferedEventCount() >= bufferCapacity) {
        eventPackageContainer->addBufferPackage(buffer->packBuffer());
    }
    intervalManager.addObserver(buffer);
    std::weak_ptr<EventBuffer> weak = buffer;
    eventPackageContainer->dataRegistry()->addListener(
        DataRegistryKey::DATA_UNSENT_EVENTPACKAGES,
        std::make_shared<DataUnitEventListener>([weak](const std::optional<Value>& value) {
            // The pipeline itself never removes the stored list (nor writes
            // over a removal): a removal is someone telling it to drop the
            // unsent events, and it is dropped after everything queued before.
            auto self = weak.lock();
            if (!value && self) {
                self->discardUnsentEvents();
            }
        }));
    return buffer;
}

EventBuffer::EventBuffer(PassKey, std::shared_ptr<EventPackageContainer> eventPackageContainer,
                         std::shared_ptr<INoWaitEventNameProvider> noWaitEventNameProvider,
                         std::shared_ptr<platform::DispatchQueue> sequence)
    : eventPackagContainer_(std::move(eventPackageContainer)),
      noWaitEventNameProvider_(std::move(noWaitEventNameProvider)),
      uploadQueue_(platform::DispatchQueue::makeSerial("eventUploadQueue")),
      sequence_(std::move(sequence)),
      dispatchQueue_(sequence_
                         ? platform::DispatchQueue::makeSerial("eventBufferSyncQueue", sequence_)
                         : platform::DispatchQueue::makeSerial("eventBufferSyncQueue")) {}

EventBuffer::~EventBuffer() {
    // The queued blocks run while every member is still whole.
    waitUntilIdle();
}

void EventBuffer::addEvent(EventModel event) {
    bool full = false;
    {
        platform::MutexLock lock(submitMu_);
        // The event waits in its drain's vector; a block carrying it would be
        // a large allocation made on the caller's thread and freed on the
        // queue's. Events added one after another with no other block queued
        // between them share one drain block, which admits them in order.
        pendingCheck_ = 0;
        if (!lastQueuedIsDrain_) {
            drains_.push_back(Drain{std::move(spareDrain_), false});
            spareDrain_ = {};
            lastQueuedIsDrain_ = true;
            dispatchQueue_->async([this] { drainInbox(); });
        }
        std::vector<EventModel>& events = drains_.back().events;
        if (events.capacity() == 0) {
            events.reserve(bufferCapacity);
        }
        events.push_back(std::move(event));
        full = ++inboxEvents_ >= INBOX_DRAINED_AT;
        ++handedIn_;
    }
    // Added from a block of a queue sharing the buffer's thread (the
    // controller working through a burst), the drain could run only after
    // that whole block: every event of the burst would wait here as a model
    // at once, and the memory they took stays with the process afterwards.
    // Run the buffer's waiting blocks now instead, in their order, as the
    // thread would have run them.
    if (full && sequence_ && dispatchQueue_->runsOnCurrentThread() &&
        !dispatchQueue_->isCurrent()) {
        dispatchQueue_->sync([] {});
    }
}

std::vector<EventModel> EventBuffer::takeDrain(bool& check) {
    platform::MutexLock lock(submitMu_);
    Drain drain = std::move(drains_.front());
    drains_.pop_front();
    if (drains_.empty()) {
        // This block was the last drain queued: an event added from now on
        // needs a block of its own, behind anything queued after this one.
        lastQueuedIsDrain_ = false;
    }
    inboxEvents_ -= drain.events.size();
    check = drain.check;
    return std::move(drain.events);
}

void EventBuffer::recycleDrain(std::vector<EventModel> events) {
    events.clear();
    if (events.capacity() > DRAIN_KEPT) {
        return;
    }
    platform::MutexLock lock(submitMu_);
    if (events.capacity() > spareDrain_.capacity()) {
        spareDrain_.swap(events);
    }
    // What is left in events (the smaller vector) is freed outside the lock.
}

void EventBuffer::drainInbox() {
    // The events arrive from the sequence's other queues; packing them and
    // recording the package belong to the same wake of its thread.
    platform::assertRunsOn(sequence_ ? *sequence_ : *dispatchQueue_, "the event buffer's drain");
    bool check = false;
    std::vector<EventModel> events = takeDrain(check);
    for (EventModel& event : events) {
        admit(std::move(event));
    }
    recycleDrain(std::move(events));
    journalNewEvents();
    if (check) {
        requestUpload(false);
    }
}

void EventBuffer::admit(EventModel event) {
    if (Status admitted = EventInputGuard::admit(event); !admitted) {
        SvlLog::error("EventBuffer :: event " + EventInputGuard::nameForLog(event.event_name) +
                          " dropped : " + admitted.message(),
                      true);
        return;
    }
    const bool noWait = noWaitEventNameProvider_->isNoWaitEvent(event.event_name);
    std::size_t buffered = 0;
    {
        platform::MutexLock lock(bufferMu_);
        currentBuffer_.push_back(std::move(event));
        buffered = currentBuffer_.size();
    }
    if (noWait) {
        flushAllNow();
    } else if (buffered >= bufferCapacity) {
        // Only this queue adds to the buffer: it is still full.
        eventPackagContainer_->addBufferPackage(packBuffer());
    }
}

const std::shared_ptr<EventCounters>& EventBuffer::eventCounters() const {
    return eventPackagContainer_->counters();
}

std::size_t EventBuffer::eventsNotYetBuffered() const {
    platform::MutexLock lock(submitMu_);
    return inboxEvents_;
}

std::uint64_t EventBuffer::eventsHandedIn() const {
    platform::MutexLock lock(submitMu_);
    return handedIn_;
}

std::size_t EventBuffer::bufferedEventCount() const {
    platform::MutexLock lock(bufferMu_);
    return currentBuffer_.size();
}

void EventBuffer::journalNewEvents() {
    // Only this queue changes the buffer: it is read in place, the lock held
    // only against the size read from other threads.
    platform::MutexLock lock(bufferMu_);
    if (journaled_ < currentBuffer_.size()) {
        eventPackagContainer_->recordBufferedEvents(currentBuffer_, journaled_);
        journaled_ = currentBuffer_.size();
    }
}

std::shared_ptr<const EventPackage> EventBuffer::packBuffer() {
    std::vector<EventModel> events;
    {
        platform::MutexLock lock(bufferMu_);
        events.swap(currentBuffer_);
        currentBuffer_.reserve(bufferCapacity);
        journaled_ = 0;
    }
    packagesFormed_.fetch_add(1, std::memory_order_relaxed);
    return std::make_shared<const EventPackage>(std::move(events));
}

void EventBuffer::flushAllNow() {
    submit([this] {
        if (bufferedEventCount() > 0) {
            eventPackagContainer_->addBufferPackage(packBuffer());
        }
        requestUpload(true);
    });
}

void EventBuffer::requestUpload(bool all) {
    // Read before the lock: only this queue adds packages, so the count can
    // only have dropped since (a round that ended), which wakes no one wrongly.
    const auto queued = static_cast<std::int64_t>(eventPackagContainer_->packageCount());
    {
        platform::MutexLock lock(uploadMu_);
        if (!all) {
            const std::uint64_t formed = packagesFormed_.load(std::memory_order_relaxed);
            if (checkedFormed_ == formed && intervalManager_->isTimerRunning()) {
                return;
            }
            checkedFormed_ = formed;
            // With the timer running and the upload queue idle, nothing but this
            // queue changes the count until the next check: the rule is applied
            // here, and the upload queue woken only when it holds (a stream
            // forms packages more often than the rule sends them).
            if (pendingUpload_ == Upload::NONE && !uploadRunning_ &&
                intervalManager_->isTimerRunning() && !intervalManager_->countRuleHolds(queued)) {
                return;
            }
        }
        const Upload before = pendingUpload_;
        if (all) {
            pendingUpload_ = Upload::ALL;
        } else if (before == Upload::NONE) {
            pendingUpload_ = Upload::COUNT_CHECK;
        }
        if (before != Upload::NONE) {
            return;
        }
    }
    // Queued after the lock is let go: the upload thread, woken by it, takes
    // the lock at once, and would only sleep again until this thread let go.
    // Only this queue asks for rounds, so none is asked for in between; a
    // round already running that takes this request leaves the queued one
    // nothing to do.
    uploadQueue_->async([this] { runUpload(); });
}

void EventBuffer::runUpload() {
    Upload what = Upload::NONE;
    {
        platform::MutexLock lock(uploadMu_);
        what = pendingUpload_;
        pendingUpload_ = Upload::NONE;
        uploadRunning_ = true;
    }
    if (what == Upload::ALL) {
        eventPackagContainer_->sendAllEventPackages();
    } else if (what == Upload::COUNT_CHECK) {
        eventPackagContainer_->sendIfCountIntervalReached();
    }
    platform::MutexLock lock(uploadMu_);
    uploadRunning_ = false;
}

void EventBuffer::submit(platform::Block block) {
    platform::MutexLock lock(submitMu_);
    pendingCheck_ = 0;
    lastQueuedIsDrain_ = false;
    dispatchQueue_->async(std::move(block));
}

void EventBuffer::flushAtIntervals() {
    platform::MutexLock lock(submitMu_);
    if (pendingCheck_ != 0) {
        // Two checks with nothing between them find the same queue.
        return;
    }
    if (lastQueuedIsDrain_) {
        // The check runs once the drain queued last has admitted its events:
        // only events come between, and they only add to the queue, so it
        // covers this request and those of the events that join the drain.
        drains_.back().check = true;
        return;
    }
    const std::uint64_t ticket = ++lastCheck_;
    pendingCheck_ = ticket;
    lastQueuedIsDrain_ = false;
    dispatchQueue_->async([this, ticket] {
        {
            platform::MutexLock started(submitMu_);
            if (pendingCheck_ == ticket) {
                pendingCheck_ = 0;
            }
        }
        requestUpload(false);
    });
}

void EventBuffer::saveUnsentEvents() {
    submit([this] {
        if (bufferedEventCount() > 0) {
            eventPackagContainer_->addBufferPackage(packBuffer());
        }
        eventPackagContainer_->updateUnsentEventPackagesInDataRegistry();
    });
}

void EventBuffer::clearBuffer() {
    submit([this] {
        bool held = false;
        {
            platform::MutexLock lock(bufferMu_);
            held = journaled_ > 0 || !currentBuffer_.empty();
            currentBuffer_.clear();
            journaled_ = 0;
        }
        if (held) {
            eventPackagContainer_->recordBufferCleared();
        }
        eventPackagContainer_->removeAllPackages();
    });
}

void EventBuffer::discardUnsentEvents() {
    submit([this] { eventPackagContainer_->discardUnsentPackages(); });
}

void EventBuffer::cutGeneration() {
    eventPackagContainer_->cutGeneration();
}

void EventBuffer::waitUntilStored() const {
    if (dispatchQueue_->isCurrent()) {
        return;
    }
    // A block queues at most one more (a no-wait event's flush).
    dispatchQueue_->sync([] {});
    dispatchQueue_->sync([] {});
    eventPackagContainer_->waitForStoreWrites();
}

void EventBuffer::update(const NoValue&) {
    flushAllNow();
}

void EventBuffer::waitUntilIdle() const {
    if (dispatchQueue_->isCurrent()) {
        return;
    }
    // A block queues at most one more (a no-wait event's flush), and upload
    // rounds, which queue nothing.
    dispatchQueue_->sync([] {});
    dispatchQueue_->sync([] {});
    if (!uploadQueue_->isCurrent()) {
        uploadQueue_->sync([] {});
    }
    // What the rounds delivered leaves the stored list with the checkpoint
    // they asked for.
    waitUntilStored();
}

}  // namespace sorvel
