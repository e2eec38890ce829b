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
    EventUploadIntervalManager& intervalManager) {
    auto buffer = std::make_shared<EventBuffer>(PassKey{}, eventPackageContainer,
                                                std::move(noWaitEventNameProvider));
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
                         std::shared_ptr<INoWaitEventNameProvider> noWaitEventNameProvider)
    : eventPackagContainer_(std::move(eventPackageContainer)),
      noWaitEventNameProvider_(std::move(noWaitEventNameProvider)),
      dispatchQueue_(platform::DispatchQueue::makeSerial("eventBufferSyncQueue")) {}

EventBuffer::~EventBuffer() {
    // The queued blocks run while every member is still whole.
    waitUntilIdle();
}

void EventBuffer::addEvent(EventModel event) {
    platform::MutexLock lock(submitMu_);
    // The event waits in the inbox and the block only takes the oldest one:
    // a block that carried the event would be a large allocation made on the
    // caller's thread and freed on the queue's, for every event.
    inbox_.push_back(std::move(event));
    pendingCheck_ = 0;
    dispatchQueue_->async([this] { admitNext(); });
}

EventModel EventBuffer::takeFromInbox() {
    platform::MutexLock lock(submitMu_);
    EventModel event = std::move(inbox_.front());
    inbox_.pop_front();
    return event;
}

void EventBuffer::admitNext() {
    EventModel event = takeFromInbox();
    if (Status admitted = EventInputGuard::admit(event); !admitted) {
        SvlLog::error("EventBuffer :: event " + event.event_name +
                      " dropped : " + admitted.message());
        return;
    }
    const bool noWait = noWaitEventNameProvider_->isNoWaitEvent(event.event_name);
    {
        platform::MutexLock lock(bufferMu_);
        currentBuffer_.push_back(std::move(event));
    }
    if (noWait) {
        flushAllNow();
    } else {
        packageBufferIfFull();
    }
}

std::size_t EventBuffer::bufferedEventCount() const {
    platform::MutexLock lock(bufferMu_);
    return currentBuffer_.size();
}

std::shared_ptr<const EventPackage> EventBuffer::packBuffer() {
    std::vector<EventModel> events;
    {
        platform::MutexLock lock(bufferMu_);
        events.swap(currentBuffer_);
        currentBuffer_.reserve(bufferCapacity);
    }
    return std::make_shared<const EventPackage>(std::move(events));
}

void EventBuffer::packageBufferIfFull() {
    if (bufferedEventCount() < bufferCapacity) {
        return;
    }
    eventPackagContainer_->addEventPackage(packBuffer());
}

void EventBuffer::flushAllNow() {
    submit([this] {
        if (bufferedEventCount() > 0) {
            eventPackagContainer_->addEventPackage(packBuffer());
        }
        eventPackagContainer_->sendAllEventPackages();
    });
}

void EventBuffer::submit(platform::Block block) {
    platform::MutexLock lock(submitMu_);
    pendingCheck_ = 0;
    dispatchQueue_->async(std::move(block));
}

void EventBuffer::flushAtIntervals() {
    platform::MutexLock lock(submitMu_);
    if (pendingCheck_ != 0) {
        // Two checks with nothing between them find the same queue.
        return;
    }
    const std::uint64_t ticket = ++lastCheck_;
    pendingCheck_ = ticket;
    dispatchQueue_->async([this, ticket] {
        {
            platform::MutexLock started(submitMu_);
            if (pendingCheck_ == ticket) {
                pendingCheck_ = 0;
            }
        }
        eventPackagContainer_->sendIfCountIntervalReached();
    });
}

void EventBuffer::saveUnsentEvents() {
    submit([this] {
        if (bufferedEventCount() > 0) {
            eventPackagContainer_->addEventPackage(packBuffer());
        }
        eventPackagContainer_->updateUnsentEventPackagesInDataRegistry();
    });
}

void EventBuffer::clearBuffer() {
    submit([this] {
        {
            platform::MutexLock lock(bufferMu_);
            currentBuffer_.clear();
        }
        eventPackagContainer_->removeAllPackages();
    });
}

void EventBuffer::discardUnsentEvents() {
    submit([this] { eventPackagContainer_->discardUnsentPackages(); });
}

void EventBuffer::update(const NoValue&) {
    flushAllNow();
}

void EventBuffer::waitUntilIdle() const {
    if (dispatchQueue_->isCurrent()) {
        return;
    }
    // A block queues at most one more (a no-wait event's flush).
    dispatchQueue_->sync([] {});
    dispatchQueue_->sync([] {});
}

}  // namespace sorvel
