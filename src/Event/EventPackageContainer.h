#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/Constants.h"
#include "Common/DRState.h"
#include "Event/EventPackage.h"
#include "Event/RecentIds.h"
#include "Platform/Clock.h"
#include "Platform/Dispatch.h"
#include "Platform/Mutex.h"

namespace sorvel {

class DataRegistry;
class EventCounters;
class EventJournal;
class EventUploadIntervalManager;
class UnsentPackageStore;

// The packages waiting for upload, oldest first. It restores the packages the
// previous run left unsent, hands packages one at a time to the sender, each
// once the one before it is answered, so the server gets them in the order
// their events were recorded; takes back the ones that failed (ahead of the
// packages queued while they were being sent, in the order they were taken,
// so the queue stays oldest first), and remembers the ids of the ones that
// succeeded.
//
// The packages at rest follow the queue (see UnsentPackageStore): a package
// queued is in the journal before addEventPackage returns, and its successful
// upload is one more record; the stored list is a checkpoint, written when the
// owner saves. A removal of the stored list by anyone else is never written
// over. A package being sent stays stored until its upload succeeds, so a kill
// loses none; a kill right after an upload may send that package once more
// (its events keep their log ids).
//
// The event buffer calls the sends on its upload queue and every other
// operation on its serial queue; the state is behind a lock because these
// and the store's writer run beside one another.
class EventPackageContainer {
  public:
    using Packages = std::vector<std::shared_ptr<const EventPackage>>;
    // While uploads fail, packages queued behind this many (the stored list's
    // worth: a backlog built offline, of more than the stored list holds)
    // wait long and keep their text deflated; those ahead stay plain, as the
    // next uploads and every checkpoint read them.
    static constexpr std::size_t PLAIN_BACKLOG =
        Constants::MAX_UNSENT_EVENTS / Constants::EVENT_PACKAGE_SIZE;
    // While the server takes uploads the backlog drains: a package packed
    // there is inflated again for its upload soon after, paying zlib twice to
    // save memory for a moment. Then the packages the server will take within
    // DRAIN_HORIZON, at the pace it took them since the packing pass was
    // asked for, stay plain, and at least this many (ten times the stored
    // list: a burst's worth at any pace a real server keeps).
    static constexpr std::size_t PLAIN_BACKLOG_WHILE_DELIVERING = 10 * PLAIN_BACKLOG;
    static constexpr platform::Millis DRAIN_HORIZON{2000};
    // How long after a package joins that backlog it is packed (with every
    // other one there that is still plain).
    static constexpr platform::Millis PACKING_DELAY{250};
    // A pass that packs this many packages marks a burst; the first pass
    // after it that packs fewer returns the memory the burst freed to the
    // system.
    static constexpr std::size_t RETURN_MEMORY_AFTER = 20;
    // The delete/restart state; sending waits while a restart is not synced.
    using DRStateReader = std::function<DRStateResult()>;

    // Restores the stored packages (an empty list is stored when there is
    // none). Without a reader the state is read from dataRegistry; without a
    // manager the shared upload scheduler is used. journal: this process's
    // journal, when it was made before the settings store opened (see
    // UnsentPackageStore); otherwise one is made now.
    EventPackageContainer(std::shared_ptr<IEventSender> eventSender,
                          std::shared_ptr<DataRegistry> dataRegistry,
                          DRStateReader drStateReader = nullptr,
                          EventUploadIntervalManager* intervalManager = nullptr,
                          std::shared_ptr<EventJournal> journal = nullptr);
    ~EventPackageContainer();
    EventPackageContainer(const EventPackageContainer&) = delete;
    EventPackageContainer& operator=(const EventPackageContainer&) = delete;

    // Writes a checkpoint of the queue now, even when it would not change.
    void updateUnsentEventPackagesInDataRegistry();
    Packages getPreviousPackageQueue();
    // Enqueues at the tail, unless the package's upload already succeeded.
    void addEventPackage(std::shared_ptr<const EventPackage> eventPackage);
    // The same for a package made of every event of the open buffer: its
    // record supersedes theirs.
    void addBufferPackage(std::shared_ptr<const EventPackage> eventPackage);
    // The open buffer's events from `from` on joined it since the last call
    // (one journal record for them all), or it was emptied on purpose.
    void recordBufferedEvents(const std::vector<EventModel>& buffer, std::size_t from);
    void recordBufferCleared();
    // The events the open buffers of processes that are gone held, oldest
    // first, for the buffer to start with; once.
    std::vector<EventModel> takeRestoredOpenEvents();
    // The process ends: a last checkpoint, written now, and the journal's
    // files deleted when it holds everything they said. False when it did
    // not reach the disk.
    bool storeForExit();
    // Starts the upload timer if needed and sends everything once enough
    // packages wait.
    void sendIfCountIntervalReached();
    void sendEventPackage(std::shared_ptr<const EventPackage> eventPackage);
    // Tries each package that waits now once, oldest first, one at a time on
    // the calling thread; a package that fails waits for the next call, ahead
    // of those queued meanwhile. Nothing while a restart is not synced with
    // the server.
    void sendAllEventPackages();
    // Empties the queue (a package being sent is not given back); the stored
    // list keeps what it held until the next change of the queue replaces it.
    void removeAllPackages();
    // A delete of the user's data is under way: every package queued or being sent
    // now was built for the identity that goes, and is dropped (with a log
    // line) instead of being sent; call it before the identity changes.
    void cutGeneration();
    // Deliberate drop: empties the queue (a package being sent is not given
    // back) and stores an empty list after any rewrite still running.
    void discardUnsentPackages();

    std::size_t packageCount() const;
    const std::shared_ptr<DataRegistry>& dataRegistry() const { return dataRegistry_; }
    // The order numbers and previous id the events take, loaded from the
    // registry and raised by what the restored journals carried.
    const std::shared_ptr<EventCounters>& counters() const { return counters_; }
    Packages snapshot() const;
    // Blocks until every checkpoint asked for before the call is durable.
    void waitForStoreWrites() const;

  private:
    // Queues a packing pass unless one is queued.
    void schedulePacking();
    // Swaps every package of the backlog still plain for its deflated copy.
    void packWaiting();
    // How many packages at the head stay plain at least: PLAIN_BACKLOG
    // unless the server takes uploads now.
    std::size_t plainBacklogLocked() const EXCLUSIVE_LOCKS_REQUIRED(mu_);
    // The same for a packing pass, with the pace of the uploads since it was
    // asked for.
    std::size_t plainBacklogForPassLocked() const EXCLUSIVE_LOCKS_REQUIRED(mu_);
    // Notes an upload's outcome; true when it turned the uploads to failing
    // while a backlog waits plain that must now be packed.
    bool noteOutcomeLocked(bool delivered) EXCLUSIVE_LOCKS_REQUIRED(mu_);
    void onSendResult(const IEventSendActionResult& result);
    // Sends the package, which inFlight_ holds; it is answered (a failure
    // when the sender gave no outcome) by the time this returns.
    void send(const std::shared_ptr<const EventPackage>& eventPackage);
    // Drops a package of an identity a delete ended instead of sending it;
    // false when it is not such a package.
    bool dropIfWithdrawn(const std::shared_ptr<const EventPackage>& eventPackage);
    // The packages the stored list must hold, oldest first.
    Packages persistableLocked() const EXCLUSIVE_LOCKS_REQUIRED(mu_);
    void addPackage(std::shared_ptr<const EventPackage> eventPackage, bool fromBuffer);

    const std::shared_ptr<IEventSender> eventSender_;
    const std::shared_ptr<DataRegistry> dataRegistry_;
    const DRStateReader drStateReader_;
    EventUploadIntervalManager& intervalManager_;
    const std::shared_ptr<EventCounters> counters_;
    mutable platform::Mutex mu_;
    std::deque<std::shared_ptr<const EventPackage>> packageQueue_ GUARDED_BY(mu_);
    std::vector<std::shared_ptr<const EventPackage>> inFlight_ GUARDED_BY(mu_);
    // Packages dropped while being sent: not given back when they fail.
    std::vector<std::shared_ptr<const EventPackage>> dropped_ GUARDED_BY(mu_);
    // A package comes back only while its upload overlaps another send of
    // it or a failure of it, within a few uploads of its success; the last
    // 10,000 ids (about 1 MB) cover that many times over without growing
    // for as long as the app runs.
    RecentIds successPackageIdTable_ GUARDED_BY(mu_){10000};
    // Whether an upload round runs; its failed packages wait in
    // roundFailed_, in the order they were taken, ahead of packageQueue_,
    // until it ends, so a round over a long offline backlog takes and gives
    // back each package in constant time.
    bool inRound_ GUARDED_BY(mu_) = false;
    std::vector<std::shared_ptr<const EventPackage>> roundFailed_ GUARDED_BY(mu_);
    bool packingScheduled_ GUARDED_BY(mu_) = false;
    // Whether the server takes uploads: set by a success, cleared by a
    // failure before any success of its round (a round over a dead
    // connection fails its first upload at once). Not known at start, which
    // counts as failing: an app launched offline packs its backlog.
    bool delivering_ GUARDED_BY(mu_) = false;
    bool roundDelivered_ GUARDED_BY(mu_) = false;
    // Uploads that succeeded, and their count and the time when the packing
    // pass to come was asked for: the pace the server takes packages at.
    std::uint64_t acknowledged_ GUARDED_BY(mu_) = 0;
    std::uint64_t acknowledgedAtSchedule_ GUARDED_BY(mu_) = 0;
    platform::MonoTime scheduledAt_ GUARDED_BY(mu_){};
    // A pass packed a burst's worth: the next quiet pass returns the memory.
    bool memoryToReturn_ GUARDED_BY(mu_) = false;
    // What a queued packing pass reaches the container through: the pass
    // never keeps the container alive, and its destructor waits for one
    // under way.
    struct PackingPass {
        explicit PackingPass(EventPackageContainer* o) : owner(o) {}
        platform::Mutex mu;
        EventPackageContainer* owner GUARDED_BY(mu);
    };
    const std::shared_ptr<PackingPass> packingPass_;
    // Last member: destroyed first, so its writer stops reading the state above.
    std::unique_ptr<UnsentPackageStore> store_;
};

}  // namespace sorvel
