#include "Event/EventPackageContainer.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "Common/DataRegistry.h"
#include "Common/RegistryStates.h"
#include "Common/SvlLog.h"
#include "Event/EventCounters.h"
#include "Event/EventUploadIntervalManager.h"
#include "Event/UnsentPackageStore.h"
#include "Platform/Memory.h"

namespace sorvel {
namespace {

// Removes one entry that is this same package; true when there was one.
bool removeSame(std::vector<std::shared_ptr<const EventPackage>>& list,
                const std::shared_ptr<const EventPackage>& p) {
    auto it = std::find(list.begin(), list.end(), p);
    if (it == list.end()) {
        return false;
    }
    list.erase(it);
    return true;
}

}  // namespace

EventPackageContainer::EventPackageContainer(std::shared_ptr<IEventSender> eventSender,
                                             std::shared_ptr<DataRegistry> dataRegistry,
                                             DRStateReader drStateReader,
                                             EventUploadIntervalManager* intervalManager,
                                             std::shared_ptr<EventJournal> journal)
    : eventSender_(std::move(eventSender)),
      dataRegistry_(std::move(dataRegistry)),
      drStateReader_(drStateReader ? std::move(drStateReader)
                                   : DRStateReader([registry = dataRegistry_] {
                                         return FvnUtil::getDRState(*registry);
                                     })),
      intervalManager_(intervalManager ? *intervalManager : EventUploadIntervalManager::shared()),
      counters_(std::make_shared<EventCounters>(dataRegistry_)),
      packingPass_(std::make_shared<PackingPass>(this)),
      store_(std::make_unique<UnsentPackageStore>(
          dataRegistry_, counters_,
          [this] {
              platform::MutexLock lock(mu_);
              return persistableLocked();
          },
          std::string(), std::move(journal))) {
    Packages restored = getPreviousPackageQueue();
    std::size_t count = 0;
    {
        platform::MutexLock lock(mu_);
        packageQueue_.assign(restored.begin(), restored.end());
        count = packageQueue_.size();
    }
    SvlLog::debug("getPreviousPackageQueue :  " + std::to_string(count), true);
}

EventPackageContainer::~EventPackageContainer() {
    // A pass under way ends first; one still to come finds no owner.
    platform::MutexLock lock(packingPass_->mu);
    packingPass_->owner = nullptr;
}

EventPackageContainer::Packages EventPackageContainer::persistableLocked() const {
    // Oldest first: the packages that already failed in this round, the one
    // being sent (taken after them), then the rest.
    Packages out;
    out.reserve(roundFailed_.size() + inFlight_.size() + packageQueue_.size());
    out.insert(out.end(), roundFailed_.begin(), roundFailed_.end());
    out.insert(out.end(), inFlight_.begin(), inFlight_.end());
    out.insert(out.end(), packageQueue_.begin(), packageQueue_.end());
    return out;
}

void EventPackageContainer::updateUnsentEventPackagesInDataRegistry() {
    store_->requestWrite(true);
}

EventPackageContainer::Packages EventPackageContainer::getPreviousPackageQueue() {
    return store_->load();
}

void EventPackageContainer::addEventPackage(std::shared_ptr<const EventPackage> eventPackage) {
    addPackage(std::move(eventPackage), false);
}

void EventPackageContainer::addBufferPackage(std::shared_ptr<const EventPackage> eventPackage) {
    addPackage(std::move(eventPackage), true);
}

void EventPackageContainer::recordBufferedEvents(const std::vector<EventModel>& buffer,
                                                 std::size_t from) {
    store_->recordBuffered(buffer, from);
}

void EventPackageContainer::recordBufferCleared() {
    store_->recordBufferCleared();
}

std::vector<EventModel> EventPackageContainer::takeRestoredOpenEvents() {
    return store_->takeRestoredOpenEvents();
}

bool EventPackageContainer::storeForExit() {
    return store_->checkpointForExit();
}

void EventPackageContainer::addPackage(std::shared_ptr<const EventPackage> eventPackage,
                                       bool fromBuffer) {
    if (!eventPackage) {
        return;
    }
    bool deep = false;
    {
        platform::MutexLock lock(mu_);
        if (successPackageIdTable_.contains(eventPackage->packageId())) {
            return;
        }
        packageQueue_.push_back(eventPackage);
        deep = packageQueue_.size() > plainBacklogLocked();
    }
    // After it joined the queue: a checkpoint that misses it in the queue
    // keeps its record in the journal.
    store_->recordQueued(*eventPackage, fromBuffer);
    if (deep) {
        schedulePacking();
    }
}

void EventPackageContainer::schedulePacking() {
    {
        platform::MutexLock lock(mu_);
        if (packingScheduled_) {
            return;
        }
        packingScheduled_ = true;
        scheduledAt_ = platform::clock().monoNow();
        acknowledgedAtSchedule_ = acknowledged_;
    }
    // A little later, off the thread that forms packages: a burst that
    // built the backlog has usually been worked through by then, so the
    // packed copies are made one after another and lie together in memory,
    // rather than each among what the burst took for a moment.
    platform::DispatchQueue::global().asyncAfter(PACKING_DELAY, [pass = packingPass_] {
        platform::MutexLock lock(pass->mu);
        if (pass->owner != nullptr) {
            pass->owner->packWaiting();
        }
    });
}

std::size_t EventPackageContainer::plainBacklogLocked() const {
    return delivering_ ? PLAIN_BACKLOG_WHILE_DELIVERING : PLAIN_BACKLOG;
}

std::size_t EventPackageContainer::plainBacklogForPassLocked() const {
    if (!delivering_) {
        return PLAIN_BACKLOG;
    }
    const auto elapsed =
        std::chrono::duration_cast<platform::Millis>(platform::clock().monoNow() - scheduledAt_);
    const std::uint64_t taken = acknowledged_ - acknowledgedAtSchedule_;
    if (elapsed.count() <= 0 || taken == 0) {
        return PLAIN_BACKLOG_WHILE_DELIVERING;
    }
    const double ahead = static_cast<double>(taken) * static_cast<double>(DRAIN_HORIZON.count()) /
                         static_cast<double>(elapsed.count());
    // Below the largest queue any process could hold: the cast stays defined.
    constexpr double kMost = 1e12;
    return std::max(PLAIN_BACKLOG_WHILE_DELIVERING,
                    static_cast<std::size_t>(std::min(ahead, kMost)));
}

bool EventPackageContainer::noteOutcomeLocked(bool delivered) {
    if (delivered) {
        ++acknowledged_;
        delivering_ = true;
        roundDelivered_ = true;
        return false;
    }
    if (!delivering_ || (inRound_ && roundDelivered_)) {
        // Already failing, or one failure among the successes of a round.
        return false;
    }
    delivering_ = false;
    return packageQueue_.size() + roundFailed_.size() > PLAIN_BACKLOG;
}

void EventPackageContainer::packWaiting() {
    std::vector<std::shared_ptr<const EventPackage>> plain;
    {
        platform::MutexLock lock(mu_);
        packingScheduled_ = false;
        for (std::size_t i = plainBacklogForPassLocked(); i < packageQueue_.size(); ++i) {
            if (!packageQueue_[i]->packed()) {
                plain.push_back(packageQueue_[i]);
            }
        }
    }
    std::size_t packedCount = 0;
    for (const auto& eventPackage : plain) {
        // Deflated outside the lock: uploads and checkpoints go on meanwhile.
        std::shared_ptr<const EventPackage> packed = eventPackage->packedCopy();
        if (!packed) {
            continue;
        }
        platform::MutexLock lock(mu_);
        // Still waiting (not taken by an upload or emptied with the queue
        // meanwhile); the newest packages are the ones packed.
        const auto it = std::find(packageQueue_.rbegin(), packageQueue_.rend(), eventPackage);
        if (it == packageQueue_.rend()) {
            continue;
        }
        // A delete may have marked it since the copy was made.
        if (eventPackage->withdrawn()) {
            packed->withdraw();
        }
        *it = std::move(packed);
        ++packedCount;
    }
    plain.clear();
    bool returnMemory = false;
    {
        platform::MutexLock lock(mu_);
        if (packedCount >= RETURN_MEMORY_AFTER) {
            // A burst formed these: once it is over (no more than a few
            // packages come in a pass's time), their plain texts and what the
            // burst took on its way are free, and the pages go back then.
            memoryToReturn_ = true;
        } else {
            returnMemory = std::exchange(memoryToReturn_, false);
        }
    }
    if (packedCount >= RETURN_MEMORY_AFTER) {
        schedulePacking();
    } else if (returnMemory) {
        platform::returnFreedMemory();
    }
}

void EventPackageContainer::sendIfCountIntervalReached() {
    intervalManager_.checkCountInterval(static_cast<std::int64_t>(packageCount()),
                                        [this] { sendAllEventPackages(); });
}

void EventPackageContainer::sendEventPackage(std::shared_ptr<const EventPackage> eventPackage) {
    if (!eventPackage) {
        return;
    }
    {
        platform::MutexLock lock(mu_);
        inFlight_.push_back(eventPackage);
    }
    send(eventPackage);
}

bool EventPackageContainer::dropIfWithdrawn(
    const std::shared_ptr<const EventPackage>& eventPackage) {
    if (!eventPackage->withdrawn()) {
        return false;
    }
    SvlLog::warning("sendEventPackage :: package " + eventPackage->packageId() + " of " +
                        std::to_string(eventPackage->eventCount()) +
                        " events was built before the user data was deleted; dropped, not "
                        "sent under the new identity",
                    true);
    {
        platform::MutexLock lock(mu_);
        removeSame(inFlight_, eventPackage);
    }
    store_->recordSettled(*eventPackage, false);
    return true;
}

void EventPackageContainer::send(const std::shared_ptr<const EventPackage>& eventPackage) {
    if (dropIfWithdrawn(eventPackage)) {
        return;
    }
    eventSender_->sendEventPackage(
        eventPackage, [this](const IEventSendActionResult& result) { onSendResult(result); });
    bool unanswered = false;
    {
        platform::MutexLock lock(mu_);
        unanswered = removeSame(inFlight_, eventPackage);
    }
    if (unanswered) {
        // A sender that reports nothing must not make the package vanish.
        SvlLog::error("sendEventPackage :: no outcome for package " + eventPackage->packageId() +
                          "; it waits for the next upload",
                      false);
        onSendResult(IEventSendActionResult::onFail(eventPackage));
    }
}

void EventPackageContainer::onSendResult(const IEventSendActionResult& result) {
    if (!result.package) {
        return;
    }
    bool acknowledged = false;
    bool withdrawn = false;
    bool packBacklog = false;
    {
        platform::MutexLock lock(mu_);
        removeSame(inFlight_, result.package);
        if (removeSame(dropped_, result.package)) {
            // Dropped on purpose while it was being sent: neither kept nor requeued.
        } else if (result.kind == IEventSendActionResult::Kind::onSuccess) {
            successPackageIdTable_.insert(result.package->packageId());
            acknowledged = true;
            noteOutcomeLocked(true);
        } else if (result.package->withdrawn()) {
            // Its identity ended while it was being sent: never sent again.
            withdrawn = true;
        } else if (!successPackageIdTable_.contains(result.package->packageId())) {
            packBacklog = noteOutcomeLocked(false);
            if (inRound_) {
                // Back before the packages queued after it, so the queue (and
                // the stored list) stays oldest first while the buffer keeps
                // adding packages during the round; the round sends one at a
                // time, so its failures come in the order they were taken.
                roundFailed_.push_back(result.package);
            } else {
                packageQueue_.push_back(result.package);
            }
        }
    }
    if (packBacklog) {
        schedulePacking();
    }
    if (acknowledged) {
        store_->recordSettled(*result.package, true);
    } else if (withdrawn) {
        SvlLog::warning("sendEventPackage :: package " + result.package->packageId() +
                            " was built before the user data was deleted; dropped after its "
                            "upload failed",
                        true);
        store_->recordSettled(*result.package, false);
    }
}

void EventPackageContainer::sendAllEventPackages() {
    if (isDRState(drStateReader_(), DRState::INIT_RESTART_NOT_SYNCED)) {
        SvlLog::debug("Initializing restart not synced! Cannot send events.", true);
        return;
    }
    const std::size_t n = packageCount();
    if (SvlLog::wouldDeliver(SorvelLogLevel::LEVEL_DEBUG, true)) {
        SvlLog::debug("packageQueueCount : " + std::to_string(n), true);
    }
    {
        platform::MutexLock lock(mu_);
        inRound_ = true;
        roundDelivered_ = false;
        roundFailed_.clear();
    }
    // Every package that waits now is tried once, offline too: an attempt
    // without a network fails at the sender's network check, before any
    // request is made.
    for (std::size_t i = 0; i < n; ++i) {
        std::shared_ptr<const EventPackage> head;
        {
            // Taken from the queue and marked as being sent in one step, so
            // the stored list never misses it in between. The packages that
            // failed in this round wait apart, ahead of the queue.
            platform::MutexLock lock(mu_);
            if (packageQueue_.empty()) {
                break;
            }
            head = std::move(packageQueue_.front());
            packageQueue_.pop_front();
            inFlight_.push_back(head);
        }
        // The next package goes only once this one is answered: the server
        // gets a round's packages in order, over one kept-alive connection.
        send(head);
    }
    platform::MutexLock lock(mu_);
    // The round's failures lead the queue again.
    packageQueue_.insert(packageQueue_.begin(), std::make_move_iterator(roundFailed_.begin()),
                         std::make_move_iterator(roundFailed_.end()));
    roundFailed_.clear();
    inRound_ = false;
}

void EventPackageContainer::removeAllPackages() {
    Packages before;
    {
        platform::MutexLock lock(mu_);
        before = persistableLocked();
    }
    // Before the queue empties: a checkpoint still queued is replaced by one
    // of what the queue holds now, so none that takes the emptied queue has
    // the last word, and the next launch restores these packages.
    store_->supersedePending(std::move(before));
    {
        // A package being sent (uploads run beside the queue's owner) is not
        // given back when it fails: it was emptied with the queue.
        platform::MutexLock lock(mu_);
        packageQueue_.clear();
        roundFailed_.clear();
        dropped_.insert(dropped_.end(), inFlight_.begin(), inFlight_.end());
        inFlight_.clear();
    }
    // Whatever the registry holds after that is the starting point: a removal
    // that came before this clear (a wipe) must not drop later events.
    store_->rebaseline();
}

void EventPackageContainer::cutGeneration() {
    platform::MutexLock lock(mu_);
    for (const auto& p : roundFailed_) {
        p->withdraw();
    }
    for (const auto& p : packageQueue_) {
        p->withdraw();
    }
    for (const auto& p : inFlight_) {
        p->withdraw();
    }
}

void EventPackageContainer::discardUnsentPackages() {
    {
        platform::MutexLock lock(mu_);
        packageQueue_.clear();
        roundFailed_.clear();
        dropped_.insert(dropped_.end(), inFlight_.begin(), inFlight_.end());
        inFlight_.clear();
    }
    store_->discard();
}

std::size_t EventPackageContainer::packageCount() const {
    platform::MutexLock lock(mu_);
    return roundFailed_.size() + packageQueue_.size();
}

EventPackageContainer::Packages EventPackageContainer::snapshot() const {
    platform::MutexLock lock(mu_);
    Packages out(roundFailed_.begin(), roundFailed_.end());
    out.insert(out.end(), packageQueue_.begin(), packageQueue_.end());
    return out;
}

void EventPackageContainer::waitForStoreWrites() const {
    store_->waitUntilIdle();
}

}  // namespace sorvel
