#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Event/EventPackage.h"
#include "Platform/Dispatch.h"
#include "Platform/Mutex.h"

namespace sorvel {

class DataRegistry;

// The stored list of unsent packages under DATA_UNSENT_EVENTPACKAGES: the
// compact JSON text of an array of package dictionaries, oldest first, capped
// at MAX_UNSENT_EVENTS events (the package that reaches the cap is still
// written).
//
// Writes run on a serial queue of their own, never on the caller's thread, and
// are coalesced: a request while a write is queued adds nothing, a request
// while one runs queues one more. A write takes the packages from the source
// when it starts, so it covers every change requested before it; it returns
// only once the registry has made the bytes durable. A write starts no sooner
// than nine times its predecessor's duration after it (real time, at most
// MAX_WRITE_GAP): a full store under a steady stream of changes costs a tenth
// of a core at most, and a small one is written at once.
//
// A rewrite never overwrites what someone else stored since the store's own
// last write, and the store itself never removes the value. So a removal by
// anyone else (the remote pause, the registry wipe of a delete) is never
// overwritten: rewrites wait until the owner of the queue drops the unsent
// events (discard) or empties the queue (rebaseline), and the registry's
// report of the removal always reaches its listeners.
class UnsentPackageStore {
  public:
    static constexpr std::chrono::milliseconds MAX_WRITE_GAP{100};

    using Packages = std::vector<std::shared_ptr<const EventPackage>>;
    // The packages to keep, oldest first; called on the store's queue.
    using Source = std::function<Packages()>;

    UnsentPackageStore(std::shared_ptr<DataRegistry> dataRegistry, Source source);
    // Lets the queued writes finish.
    ~UnsentPackageStore();
    UnsentPackageStore(const UnsentPackageStore&) = delete;
    UnsentPackageStore& operator=(const UnsentPackageStore&) = delete;

    // Reads and parses the stored list, once, before any write. A missing
    // value, text that is not a JSON array, an element that is not a package
    // and an event that cannot be read are each logged and skipped; every
    // other package is kept (with a new id). The stored value stays until the
    // next write; when there is none, an empty list is stored at once, so that
    // a removal is always seen.
    Packages load();

    // Queues a write unless one is queued already. Unforced, a write whose
    // bytes would repeat the last ones written is skipped.
    void requestWrite(bool force = false);
    // A write still queued (or running, which may already have taken the
    // source) is followed by one of these packages instead, taken now, before
    // the source changed under it.
    void supersedePending(Packages packages);
    // Deliberate drop: the queued write is dropped and an empty list is
    // stored after any write already running, so nothing written before comes
    // back.
    void discard();
    // Takes what the registry holds now as the store's own last write (after
    // the queue was emptied on purpose, so that a removal that came before is
    // not taken for one that came after).
    void rebaseline();

    // Blocks until every write and removal queued before the call is durable.
    void waitUntilIdle() const;

    // The stored text of the packages, capped as above, put together from the
    // JSON each package keeps; writtenIds gets the ids of the packages written.
    static std::string encode(const Packages& packages,
                              std::vector<std::string>* writtenIds = nullptr);

  private:
    // overRemoval: also over a removal by someone else (a deliberate drop).
    void write(const Packages& packages, bool force, bool overRemoval);
    // The queued write of this ticket, unless it was dropped or superseded.
    void runTicket(std::uint64_t ticket);

    const std::shared_ptr<DataRegistry> dataRegistry_;
    const Source source_;
    mutable platform::Mutex mu_;
    // The ticket of the write queued and not yet started; 0 when none is.
    std::uint64_t pendingTicket_ GUARDED_BY(mu_) = 0;
    std::uint64_t lastTicket_ GUARDED_BY(mu_) = 0;
    bool pendingForced_ GUARDED_BY(mu_) = false;
    // A queued write has started and not finished.
    bool running_ GUARDED_BY(mu_) = false;
    // Touched only on the store's queue.
    std::optional<std::vector<std::string>> lastWrittenIds_;
    // What the store wrote last (or found at load): a rewrite lands only while
    // the registry still holds it.
    std::optional<Value::Bytes> lastBytes_;
    std::chrono::steady_clock::time_point nextWriteAllowed_;
    // Last member: destroyed first, so queued writes drain while the rest lives.
    std::shared_ptr<platform::DispatchQueue> queue_;
};

}  // namespace sorvel
