#include "Event/UnsentPackageStore.h"

#include <algorithm>
#include <thread>

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"

namespace sorvel {

UnsentPackageStore::UnsentPackageStore(std::shared_ptr<DataRegistry> dataRegistry, Source source)
    : dataRegistry_(std::move(dataRegistry)),
      source_(std::move(source)),
      queue_(platform::DispatchQueue::makeSerial("eventPackageStoreQueue")) {}

UnsentPackageStore::~UnsentPackageStore() {
    waitUntilIdle();
}

UnsentPackageStore::Packages UnsentPackageStore::load() {
    Packages packages;
    const auto data =
        dataRegistry_->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
    lastBytes_ = data;
    if (!data) {
        SvlLog::debug("getPreviousPackageQueue :: no saved eventPackageData", true);
        const Value::Bytes empty{'[', ']'};
        if (dataRegistry_->putDataIfUnchanged(std::nullopt, empty,
                                              DataRegistryKey::DATA_UNSENT_EVENTPACKAGES)) {
            lastBytes_ = empty;
        }
        return packages;
    }
    const std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
    const std::optional<Value> parsed = Value::fromJson(text);
    const Value::Array* list = parsed ? parsed->getArray() : nullptr;
    if (list == nullptr) {
        SvlLog::error("getPreviousPackageQueue :: can not cast data to dictionaryArray", true);
        return packages;
    }
    for (const Value& element : *list) {
        const Value::Map* map = element.getMap();
        auto package = map != nullptr ? EventPackage::initFromDictionary(*map)
                                      : StatusOr<EventPackage>(Status::error("not an object"));
        if (!package) {
            SvlLog::error("getPreviousPackageQueue :: error dic is " + element.toJson(), true);
            continue;
        }
        packages.push_back(std::make_shared<const EventPackage>(std::move(package).value()));
    }
    return packages;
}

std::string UnsentPackageStore::encode(const Packages& packages,
                                       std::vector<std::string>* writtenIds) {
    std::size_t size = 2;
    std::size_t events = 0;
    std::size_t kept = 0;
    for (const auto& package : packages) {
        if (events >= static_cast<std::size_t>(Constants::MAX_UNSENT_EVENTS)) {
            break;
        }
        // The package's own text plus its id and the keys around it.
        size += package->eventsJson().size() + package->packageId().size() + 32;
        events += package->eventCount();
        ++kept;
    }
    std::string out;
    out.reserve(size);
    out += '[';
    for (std::size_t i = 0; i < kept; ++i) {
        if (i > 0) {
            out += ',';
        }
        packages[i]->appendJson(out);
        if (writtenIds != nullptr) {
            writtenIds->push_back(packages[i]->packageId());
        }
    }
    out += ']';
    return out;
}

void UnsentPackageStore::requestWrite(bool force) {
    platform::MutexLock lock(mu_);
    pendingForced_ = pendingForced_ || force;
    if (pendingTicket_ != 0) {
        return;
    }
    const std::uint64_t ticket = ++lastTicket_;
    pendingTicket_ = ticket;
    queue_->async([this, ticket] { runTicket(ticket); });
}

void UnsentPackageStore::runTicket(std::uint64_t ticket) {
    bool force = false;
    {
        platform::MutexLock lock(mu_);
        if (pendingTicket_ != ticket) {
            return;
        }
        pendingTicket_ = 0;
        force = pendingForced_;
        pendingForced_ = false;
        running_ = true;
    }
    const auto start = std::chrono::steady_clock::now();
    if (start < nextWriteAllowed_) {
        // Real time on purpose: this bounds the share of a real core.
        std::this_thread::sleep_for(nextWriteAllowed_ - start);
    }
    const auto begin = std::chrono::steady_clock::now();
    // Taken after the ticket was cleared (and after the pause): a change from
    // now on queues another write, so none is missed.
    write(source_(), force, false);
    const auto end = std::chrono::steady_clock::now();
    nextWriteAllowed_ =
        end + std::min<std::chrono::steady_clock::duration>(9 * (end - begin), MAX_WRITE_GAP);
    platform::MutexLock lock(mu_);
    running_ = false;
}

void UnsentPackageStore::supersedePending(Packages packages) {
    platform::MutexLock lock(mu_);
    if (pendingTicket_ == 0 && !running_) {
        // Every change so far is written: nothing to supersede.
        return;
    }
    // A write that is running may have taken the source after the change
    // that made these packages stale; this one runs after it.
    pendingTicket_ = 0;
    const bool force = pendingForced_;
    pendingForced_ = false;
    queue_->async([this, packages = std::move(packages), force] { write(packages, force, false); });
}

void UnsentPackageStore::discard() {
    {
        platform::MutexLock lock(mu_);
        pendingTicket_ = 0;
        pendingForced_ = false;
    }
    queue_->async([this] { write({}, true, true); });
}

void UnsentPackageStore::rebaseline() {
    queue_->async([this] {
        lastBytes_ =
            dataRegistry_->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
        lastWrittenIds_.reset();
    });
}

void UnsentPackageStore::write(const Packages& packages, bool force, bool overRemoval) {
    std::vector<std::string> ids;
    std::string text = encode(packages, &ids);
    if (!force && lastWrittenIds_ == ids) {
        return;
    }
    // The list can be most of a megabyte: its text goes as soon as the bytes
    // are made, and the bytes become the last write without another copy.
    std::optional<Value::Bytes> bytes(std::in_place, text.begin(), text.end());
    std::string().swap(text);
    std::optional<Value::Bytes> reread;
    const std::optional<Value::Bytes>* expected = &lastBytes_;
    while (!dataRegistry_->putDataIfUnchanged(*expected, bytes,
                                              DataRegistryKey::DATA_UNSENT_EVENTPACKAGES)) {
        reread = dataRegistry_->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
        expected = &reread;
        if (!reread && !overRemoval) {
            // Removed by someone else since the last write: the events are to
            // be dropped, and the removal stands until the owner of the queue
            // has dropped them.
            SvlLog::debug(
                "updateUnsentEventPackagesInDataRegistry :: the stored list was removed; "
                "not written until the unsent events are dropped",
                true);
            return;
        }
    }
    lastBytes_ = std::move(bytes);
    if (Status durable = dataRegistry_->waitForPendingWrites(); !durable) {
        // Kept in memory only; the next change of the queue tries again.
        SvlLog::error("updateUnsentEventPackagesInDataRegistry :: not on disk : " +
                      durable.message());
        lastWrittenIds_.reset();
        return;
    }
    lastWrittenIds_ = std::move(ids);
}

void UnsentPackageStore::waitUntilIdle() const {
    if (!queue_->isCurrent()) {
        queue_->sync([] {});
    }
}

}  // namespace sorvel
