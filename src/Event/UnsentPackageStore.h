#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Event/EventJournal.h"
#include "Event/EventPackage.h"
#include "Platform/Dispatch.h"
#include "Platform/Mutex.h"

namespace sorvel {

class DataRegistry;
class EventCounters;

// The unsent packages at rest: the stored list under
// DATA_UNSENT_EVENTPACKAGES (the compact JSON text of an array of package
// dictionaries, oldest first, capped at MAX_UNSENT_EVENTS events, the package
// that reaches the cap still written) and, beside it, this process's journal
// (EventJournal) of what changed since the list was last written whole.
//
// A package is durable once its journal record is written, on the caller's
// thread, when it is queued (about 12 us); its upload's end (acknowledged or
// dropped) is one more record. The events of the open buffer (not yet a
// package) are journaled too, each wake of the buffer's queue writing one
// record for the events it added, so a process killed mid-stream loses only
// what the buffer had not yet been woken for; the package they become
// supersedes those records, and every checkpoint's new file starts with what
// the buffer holds then. The list itself is a checkpoint: written whole
// when the owner saves (the app leaves the foreground), when the store stops,
// and when the journal holds more than CHECKPOINT_SETTLED_BYTES of records
// about packages that are gone (or twice the last list's size, when that is
// more); the journal then keeps only what came after (its files before the
// checkpoint's mark are deleted).
// Checkpoints run on a serial queue of their own ("eventPackageStoreQueue"),
// on the settings registry's writer thread, and are coalesced.
//
// A start reads the list, replays the journals that processes no longer
// running left behind (its own is new), dropping a torn tail with a log line
// that says what went, and, when they held anything, writes a fresh checkpoint
// and deletes them (those that held nothing at once). The events their open
// buffers held go to this process's buffer, ahead of any new one.
// A checkpoint that leaves packages out for the cap (they stay queued in
// memory, and are sent) notes their ids in the journal it cuts back: a start
// after a kill says how many events went with the process, and a start that
// restores more than the cap says which it drops. Nothing is said while the
// events are still on their way. Processes that share the folder each
// keep a journal, and a checkpoint keeps the entries of the stored list that another process put
// there as far as this process can see them; since each process reads the
// registry through its own cache, a journal is not cut back while another
// process holds one, so what the list loses the journals still hold.
//
// A checkpoint never overwrites a removal of the list by anyone else (the
// remote pause, the registry wipe of a delete), and the store itself never
// removes the value: checkpoints wait until the owner of the queue drops the
// unsent events (discard, which also empties the journal) or empties the
// queue (rebaseline), and the registry's report of the removal always reaches
// its listeners.
class UnsentPackageStore {
  public:
    static constexpr std::uint64_t CHECKPOINT_SETTLED_BYTES = 256 * 1024;

    using Packages = std::vector<std::shared_ptr<const EventPackage>>;
    // The packages to keep, oldest first; called on the store's queue.
    using Source = std::function<Packages()>;

    // journalFolder: where the journals live; by default beside the settings
    // stores, in the app's data folder. The counters go into each package's
    // journal record, take back what a replay finds, and are stored exactly
    // with every checkpoint. journal: this process's journal in that folder
    // when it was made (and locked) already, before the settings store was
    // opened; otherwise the store makes it now.
    UnsentPackageStore(std::shared_ptr<DataRegistry> dataRegistry,
                       std::shared_ptr<EventCounters> counters, Source source,
                       std::string journalFolder = {},
                       std::shared_ptr<EventJournal> journal = nullptr);
    // Lets the queued checkpoints finish, writes a last one and, when that
    // one is durable, deletes the journal.
    ~UnsentPackageStore();
    UnsentPackageStore(const UnsentPackageStore&) = delete;
    UnsentPackageStore& operator=(const UnsentPackageStore&) = delete;

    // Reads and parses the stored list, once, before any write, and replays
    // the journals left by processes that are gone. A missing value, text
    // that is not a JSON array, an element that is not a package and an event
    // that cannot be read are each logged and skipped; every other package is
    // kept (with a new id), and what exceeds the cap is dropped with a warning
    // that says how many events went. Without journals to replay the stored
    // value stays until the next checkpoint; when there is none, an empty list
    // is stored at once, so that a removal is always seen.
    Packages load();

    // The package was queued: its journal record, written before this
    // returns. fromBuffer: it is made of every event of the open buffer.
    void recordQueued(const EventPackage& package, bool fromBuffer = false);
    // Events joined the open buffer: one record for all of them, written
    // before this returns.
    void recordBuffered(const std::vector<EventModel>& events, std::size_t from);
    // The open buffer was emptied on purpose.
    void recordBufferCleared();
    // The open-buffer events load() found in the journals of processes that
    // are gone, oldest first (recorded in this process's journal already);
    // once.
    std::vector<EventModel> takeRestoredOpenEvents();
    // The last checkpoint of a process that ends: written now (after what is
    // queued), and the journal's files deleted when that checkpoint holds
    // everything they said. False when the checkpoint did not reach the disk.
    bool checkpointForExit();
    // The package's upload succeeded (acknowledged) or it was dropped on
    // purpose; may queue a checkpoint.
    void recordSettled(const EventPackage& package, bool acknowledged);

    // Queues a checkpoint unless one is queued already. Unforced, one whose
    // bytes would repeat the last ones written is skipped.
    void requestWrite(bool force = false);
    // A checkpoint of these packages, taken now (before the queue changes
    // under it), after what is queued.
    void supersedePending(Packages packages);
    // Deliberate drop: the queued checkpoint is dropped, an empty list is
    // stored after any write already running, and the journal is emptied at
    // once (on the caller's thread, before anything queued after the drop is
    // recorded), so nothing written before comes back.
    void discard();
    // Takes what the registry holds now as the store's own last write (after
    // the queue was emptied on purpose, so that a removal that came before is
    // not taken for one that came after).
    void rebaseline();

    // Blocks until every checkpoint and removal queued before the call is durable.
    void waitUntilIdle() const;
    // The journal's file; empty when it could not be made.
    std::string journalPath() const;

    // The stored text of the packages, capped as above, put together from the
    // JSON each package keeps; writtenIds gets the ids of the packages written.
    static std::string encode(const Packages& packages,
                              std::vector<std::string>* writtenIds = nullptr);

  private:
    // overRemoval: also over a removal by someone else (a deliberate drop).
    // covered: the journal's length before the packages were taken; what it
    // held up to there goes once the list is durable. True when written.
    bool write(const Packages& packages, bool force, bool overRemoval,
               std::optional<EventJournal::Mark> covered);
    // Deletes the journal's files before the mark, once the list holding
    // packages[0, listed) is durable, noting the packages after those.
    void dropCoveredNotingLeftOut(EventJournal::Mark covered, const Packages& packages,
                                  std::size_t listed);
    // The queued checkpoint of this ticket, unless it was dropped or superseded.
    void runTicket(std::uint64_t ticket);
    // The entries of the stored list that another process wrote, as JSON
    // texts, when the list changed since the store's own last write.
    std::vector<std::string> foreignEntries(const std::optional<Value::Bytes>& current) const;

    // A mark for a checkpoint, followed at once by what the open buffer
    // holds, so the records deleted with the files before the mark are not
    // its only trace.
    std::optional<EventJournal::Mark> markKeepingBuffer();
    // Empties the journal but for what the open buffer holds.
    void clearJournalKeepingBuffer();
    void appendBufferLocked() EXCLUSIVE_LOCKS_REQUIRED(openMu_);

    // A package's element is built in scratch_ for its journal record; a
    // buffer grown past this by an unusually large package is let go.
    static constexpr std::size_t kScratchKeptBytes = 64 * 1024;

    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<EventCounters> counters_;
    // Held while the open buffer's records are written, so that they and
    // the marks of checkpoints come in one order.
    platform::Mutex openMu_ ACQUIRED_BEFORE(scratchMu_);
    // The dictionaries of the open buffer's events, joined by commas.
    std::string openEvents_ GUARDED_BY(openMu_);
    std::vector<EventModel> restoredOpen_ GUARDED_BY(openMu_);
    platform::Mutex scratchMu_;
    std::string scratch_ GUARDED_BY(scratchMu_);
    const Source source_;
    const std::string journalFolder_;
    std::shared_ptr<EventJournal> journal_;
    mutable platform::Mutex mu_;
    // The ticket of the checkpoint queued and not yet started; 0 when none is.
    std::uint64_t pendingTicket_ GUARDED_BY(mu_) = 0;
    std::uint64_t lastTicket_ GUARDED_BY(mu_) = 0;
    bool pendingForced_ GUARDED_BY(mu_) = false;
    // Bytes of journal records about packages no longer waiting.
    std::uint64_t settledBytes_ GUARDED_BY(mu_) = 0;
    // The size of the list the last checkpoint wrote.
    std::uint64_t lastListBytes_ GUARDED_BY(mu_) = 0;
    // Touched only on the store's queue (and by load, before it runs).
    std::optional<std::vector<std::string>> lastWrittenIds_;
    // Whether the journal's last LEFT_OUT record names any package.
    bool leftOutNoted_ = false;
    // Ids of the packages this process restored or wrote: every other entry
    // of the stored list belongs to another process.
    std::unordered_set<std::string> ownIds_;
    // The id each restored package was stored with, by its new id; written
    // by load only, before anything else reads it.
    std::unordered_map<std::string, std::string> storedIdOf_;
    // What the store wrote last (or found at load): a rewrite lands only while
    // the registry still holds it (or after merging what another process
    // wrote since).
    std::optional<Value::Bytes> lastBytes_;
    // Last member: destroyed first, so queued writes drain while the rest lives.
    std::shared_ptr<platform::DispatchQueue> queue_;
};

}  // namespace sorvel
