#include "Event/EventPackageContainer.h"

#include <algorithm>

#include "Common/DataRegistry.h"
#include "Common/FvnUtil.h"
#include "Common/SvlLog.h"
#include "Event/EventCounters.h"
#include "Event/EventUploadIntervalManager.h"
#include "Event/UnsentPackageStore.h"

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

EventPackageContainer::~EventPackageContainer() = default;

EventPackageContainer::Packages EventPackageContainer::persistableLocked() const {
    // Oldest first: the packages that already failed in this round, the one
    // being sent, then the rest.
    const auto failed =
        packageQueue_.begin() +
        static_cast<std::ptrdiff_t>(std::min(roundFailures_.value_or(0), packageQueue_.size()));
    Packages out(packageQueue_.begin(), failed);
    out.insert(out.end(), inFlight_.begin(), inFlight_.end());
    out.insert(out.end(), failed, packageQueue_.end());
    return out;
}

void EventPackageContainer::updateUnsentEventPackagesInDataRegistry() {
    store_->requestWrite(true);
}

EventPackageContainer::Packages EventPackageContainer::getPreviousPackageQueue() {
    return store_->load();
}

void EventPackageContainer::addEventPackage(std::shared_ptr<const EventPackage> eventPackage) {
    if (!eventPackage) {
        return;
    }
    {
        platform::MutexLock lock(mu_);
        if (successPackageIdTable_.count(eventPackage->packageId()) != 0) {
            return;
        }
        packageQueue_.push_back(eventPackage);
    }
    // After it joined the queue: a checkpoint that misses it in the queue
    // keeps its record in the journal.
    store_->recordQueued(*eventPackage);
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

void EventPackageContainer::send(const std::shared_ptr<const EventPackage>& eventPackage) {
    if (eventPackage->withdrawn()) {
        SvlLog::warning("sendEventPackage :: package " + eventPackage->packageId() + " of " +
                        std::to_string(eventPackage->eventCount()) +
                        " events was built before the user data was deleted; dropped, not "
                        "sent under the new identity");
        {
            platform::MutexLock lock(mu_);
            removeSame(inFlight_, eventPackage);
        }
        store_->recordSettled(*eventPackage, false);
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
                      "; it waits for the next upload");
        onSendResult(IEventSendActionResult::onFail(eventPackage));
    }
}

void EventPackageContainer::onSendResult(const IEventSendActionResult& result) {
    if (!result.package) {
        return;
    }
    bool acknowledged = false;
    {
        platform::MutexLock lock(mu_);
        removeSame(inFlight_, result.package);
        if (removeSame(dropped_, result.package)) {
            // Dropped on purpose while it was being sent: neither kept nor requeued.
        } else if (result.kind == IEventSendActionResult::Kind::onSuccess) {
            successPackageIdTable_.insert(result.package->packageId());
            acknowledged = true;
        } else if (successPackageIdTable_.count(result.package->packageId()) == 0) {
            if (roundFailures_) {
                // Back before the packages queued after it, so the queue (and
                // the stored list) stays oldest first while the buffer keeps
                // adding packages during the round.
                const std::size_t at = std::min(*roundFailures_, packageQueue_.size());
                packageQueue_.insert(packageQueue_.begin() + static_cast<std::ptrdiff_t>(at),
                                     result.package);
                roundFailures_ = at + 1;
            } else {
                packageQueue_.push_back(result.package);
            }
        }
    }
    if (acknowledged) {
        store_->recordSettled(*result.package, true);
    }
}

void EventPackageContainer::sendAllEventPackages() {
    const DRStateResult state = drStateReader_();
    if (const DRState* s = std::get_if<DRState>(&state);
        s != nullptr && *s == DRState::INIT_RESTART_NOT_SYNCED) {
        SvlLog::debug("Initializing restart not synced! Cannot send events.", true);
        return;
    }
    const std::size_t n = packageCount();
    SvlLog::debug("packageQueueCount : " + std::to_string(n), true);
    {
        platform::MutexLock lock(mu_);
        roundFailures_ = 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::shared_ptr<const EventPackage> head;
        {
            // Taken from the queue and marked as being sent in one step, so
            // the stored list never misses it in between. The packages that
            // failed in this round wait at the head.
            platform::MutexLock lock(mu_);
            const std::size_t at = std::min(*roundFailures_, packageQueue_.size());
            if (at == packageQueue_.size()) {
                break;
            }
            const auto it = packageQueue_.begin() + static_cast<std::ptrdiff_t>(at);
            head = std::move(*it);
            packageQueue_.erase(it);
            inFlight_.push_back(head);
        }
        send(head);
    }
    platform::MutexLock lock(mu_);
    roundFailures_.reset();
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
        if (roundFailures_) {
            roundFailures_ = 0;
        }
        dropped_.insert(dropped_.end(), inFlight_.begin(), inFlight_.end());
        inFlight_.clear();
    }
    // Whatever the registry holds after that is the starting point: a removal
    // that came before this clear (a wipe) must not drop later events.
    store_->rebaseline();
}

void EventPackageContainer::cutGeneration() {
    platform::MutexLock lock(mu_);
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
        if (roundFailures_) {
            roundFailures_ = 0;
        }
        dropped_.insert(dropped_.end(), inFlight_.begin(), inFlight_.end());
        inFlight_.clear();
    }
    store_->discard();
}

std::size_t EventPackageContainer::packageCount() const {
    platform::MutexLock lock(mu_);
    return packageQueue_.size();
}

EventPackageContainer::Packages EventPackageContainer::snapshot() const {
    platform::MutexLock lock(mu_);
    return Packages(packageQueue_.begin(), packageQueue_.end());
}

void EventPackageContainer::waitForStoreWrites() const {
    store_->waitUntilIdle();
}

}  // namespace sorvel
