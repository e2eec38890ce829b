#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
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

    // Reads and parses the stored list. A missing value, text that is not a
    // JSON array, an element that is not a package and an event that cannot be
    // read are each logged and skipped; every other package is kept (with a
    // new id). The stored value stays until the next write.
    Packages load() const;

    // Queues a write unless one is queued already. Unforced, a write whose
    // bytes would repeat the last ones written is skipped.
    void requestWrite(bool force = false);
    // A write still queued is replaced by one of these packages, taken now,
    // before the source changes under it.
    void supersedePending(Packages packages);
    // Deliberate drop: the queued write is dropped and an empty list is
    // stored after any write already running, so nothing written before comes
    // back. The store never removes the value itself.
    void discard();

    // Blocks until every write and removal queued before the call is durable.
    void waitUntilIdle() const;

    // The stored text of the packages, capped as above; cache maps package ids
    // to their JSON and keeps only the entries used.
    static std::string encode(const Packages& packages,
                              std::unordered_map<std::string, std::string>* cache = nullptr,
                              std::vector<std::string>* writtenIds = nullptr);

  private:
    void write(const Packages& packages, bool force);
    // The queued write of this ticket, unless it was dropped or superseded.
    void runTicket(std::uint64_t ticket);

    const std::shared_ptr<DataRegistry> dataRegistry_;
    const Source source_;
    mutable platform::Mutex mu_;
    // The ticket of the write queued and not yet started; 0 when none is.
    std::uint64_t pendingTicket_ GUARDED_BY(mu_) = 0;
    std::uint64_t lastTicket_ GUARDED_BY(mu_) = 0;
    bool pendingForced_ GUARDED_BY(mu_) = false;
    // Touched only on the store's queue.
    std::unordered_map<std::string, std::string> jsonCache_;
    std::optional<std::vector<std::string>> lastWrittenIds_;
    std::chrono::steady_clock::time_point nextWriteAllowed_;
    // Last member: destroyed first, so queued writes drain while the rest lives.
    std::shared_ptr<platform::DispatchQueue> queue_;
};

}  // namespace sorvel
