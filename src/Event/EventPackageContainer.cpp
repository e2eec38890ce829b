#include "Event/EventPackageContainer.h"

#include <algorithm>

#include "Common/DataRegistry.h"
#include "Common/RegistryStates.h"
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
    // Oldest first: the packages that already failed in this round and those
    // being sent, in the order they were taken, then the rest.
    const std::size_t failedCount = std::min(roundFailures_.value_or(0), packageQueue_.size());
    std::vector<std::pair<std::uint64_t, const std::shared_ptr<const EventPackage>*>> sending;
    sending.reserve(inFlight_.size());
    for (const auto& p : inFlight_) {
        auto it = sendOrder_.find(p.get());
        sending.emplace_back(it != sendOrder_.end() ? it->second : UINT64_MAX, &p);
    }
    std::stable_sort(sending.begin(), sending.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Packages out;
    out.reserve(packageQueue_.size() + inFlight_.size());
    std::size_t failed = 0;
    for (const auto& [order, p] : sending) {
        while (failed < failedCount &&
               (failed < failedOrder_.size() ? failedOrder_[failed] : 0) < order) {
            out.push_back(packageQueue_[failed++]);
        }
        out.push_back(*p);
    }
    out.insert(out.end(), packageQueue_.begin() + static_cast<std::ptrdiff_t>(failed),
               packageQueue_.end());
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

bool EventPackageContainer::dropIfWithdrawn(
    const std::shared_ptr<const EventPackage>& eventPackage) {
    if (!eventPackage->withdrawn()) {
        return false;
    }
    SvlLog::warning("sendEventPackage :: package " + eventPackage->packageId() + " of " +
                    std::to_string(eventPackage->eventCount()) +
                    " events was built before the user data was deleted; dropped, not "
                    "sent under the new identity");
    {
        platform::MutexLock lock(mu_);
        removeSame(inFlight_, eventPackage);
        sendOrder_.erase(eventPackage.get());
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
                      "; it waits for the next upload");
        onSendResult(IEventSendActionResult::onFail(eventPackage));
    }
}

void EventPackageContainer::sendInRound(const std::shared_ptr<const EventPackage>& eventPackage) {
    if (dropIfWithdrawn(eventPackage)) {
        endRoundUpload();
        return;
    }
    eventSender_->sendEventPackageAsync(eventPackage, [this](const IEventSendActionResult& result) {
        onSendResult(result);
        endRoundUpload();
    });
}

void EventPackageContainer::endRoundUpload() {
    platform::MutexLock lock(mu_);
    --roundInFlight_;
    roundCv_.signalAll();
}

void EventPackageContainer::onSendResult(const IEventSendActionResult& result) {
    if (!result.package) {
        return;
    }
    bool acknowledged = false;
    bool withdrawn = false;
    {
        platform::MutexLock lock(mu_);
        removeSame(inFlight_, result.package);
        std::uint64_t order = UINT64_MAX;
        if (auto it = sendOrder_.find(result.package.get()); it != sendOrder_.end()) {
            order = it->second;
            sendOrder_.erase(it);
        }
        if (removeSame(dropped_, result.package)) {
            // Dropped on purpose while it was being sent: neither kept nor requeued.
        } else if (result.kind == IEventSendActionResult::Kind::onSuccess) {
            successPackageIdTable_.insert(result.package->packageId());
            acknowledged = true;
        } else if (result.package->withdrawn()) {
            // Its identity ended while it was being sent: never sent again.
            withdrawn = true;
        } else if (successPackageIdTable_.count(result.package->packageId()) == 0) {
            if (roundFailures_) {
                // Back before the packages queued after it, so the queue (and
                // the stored list) stays oldest first while the buffer keeps
                // adding packages during the round; among the round's
                // failures, in the order they were taken.
                const std::size_t at = std::min(*roundFailures_, packageQueue_.size());
                failedOrder_.resize(at, 0);
                const auto pos = static_cast<std::ptrdiff_t>(
                    std::upper_bound(failedOrder_.begin(), failedOrder_.end(), order) -
                    failedOrder_.begin());
                failedOrder_.insert(failedOrder_.begin() + pos, order);
                packageQueue_.insert(packageQueue_.begin() + pos, result.package);
                roundFailures_ = at + 1;
            } else {
                packageQueue_.push_back(result.package);
            }
        }
    }
    if (acknowledged) {
        store_->recordSettled(*result.package, true);
    } else if (withdrawn) {
        SvlLog::warning("sendEventPackage :: package " + result.package->packageId() +
                        " was built before the user data was deleted; dropped after its "
                        "upload failed");
        store_->recordSettled(*result.package, false);
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
    const std::size_t inFlightLimit = n >= BACKLOG_FOR_PARALLEL_UPLOADS ? MAX_IN_FLIGHT : 1;
    {
        platform::MutexLock lock(mu_);
        roundFailures_ = 0;
        failedOrder_.clear();
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::shared_ptr<const EventPackage> head;
        {
            // Taken from the queue and marked as being sent in one step, so
            // the stored list never misses it in between. The packages that
            // failed in this round wait at the head.
            platform::MutexLock lock(mu_);
            while (roundInFlight_ >= inFlightLimit) {
                roundCv_.wait();
            }
            const std::size_t at = std::min(*roundFailures_, packageQueue_.size());
            if (at == packageQueue_.size()) {
                break;
            }
            const auto it = packageQueue_.begin() + static_cast<std::ptrdiff_t>(at);
            head = std::move(*it);
            packageQueue_.erase(it);
            inFlight_.push_back(head);
            sendOrder_[head.get()] = ++sendCount_;
            ++roundInFlight_;
        }
        sendInRound(head);
    }
    platform::MutexLock lock(mu_);
    // A round ends with its last upload.
    while (roundInFlight_ > 0) {
        roundCv_.wait();
    }
    roundFailures_.reset();
    failedOrder_.clear();
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
