#include "Event/UnsentPackageStore.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "Event/EventCounters.h"
#include "Platform/FileSystem.h"

namespace sorvel {

namespace {

std::string journalFolderFor(std::string folder) {
    return folder.empty() ? platform::preferencesFolder() : folder;
}

std::optional<std::string> storedId(const Value::Map& element) {
    auto it = element.find("package_id");
    if (it == element.end()) {
        return std::nullopt;
    }
    if (const std::string* id = it->second.getString()) {
        return *id;
    }
    return std::nullopt;
}

// Names an event of a package the start drops, for the log line that says
// which went: its log id and its package.
std::string describeFirstEvent(const EventPackage& package, bool first) {
    const std::vector<EventModel> events = package.eventModels();
    if (events.empty()) {
        return "package " + package.packageId();
    }
    const Value::Map event = (first ? events.front() : events.back()).toDictionary();
    const auto id = event.find("log_id");
    return "the event " + (id != event.end() ? id->second.toJson() : std::string("null")) +
           " of package " + package.packageId();
}

std::string joined(const std::vector<std::string>& ids) {
    std::string out;
    for (const auto& id : ids) {
        out += out.empty() ? "" : ", ";
        out += id;
    }
    return out;
}

}  // namespace

UnsentPackageStore::UnsentPackageStore(std::shared_ptr<DataRegistry> dataRegistry,
                                       std::shared_ptr<EventCounters> counters, Source source,
                                       std::string journalFolder,
                                       std::shared_ptr<EventJournal> journal)
    : dataRegistry_(std::move(dataRegistry)),
      counters_(std::move(counters)),
      source_(std::move(source)),
      journalFolder_(journalFolderFor(std::move(journalFolder))),
      journal_(std::move(journal)),
      // The list's checkpoints wait for the registry's writes: on the
      // registry's writer thread that wait runs them in place, and a stream
      // keeps one writer thread awake, not two.
      queue_(dataRegistry_ ? platform::DispatchQueue::makeSerial("eventPackageStoreQueue",
                                                                 dataRegistry_->writerQueue())
                           : platform::DispatchQueue::makeSerial("eventPackageStoreQueue")) {
    if (journal_) {
        return;
    }
    auto made = EventJournal::create(journalFolder_);
    if (made) {
        journal_ = std::move(made).value();
    } else {
        // Without one the packages are durable at checkpoints only.
        SvlLog::error("UnsentPackageStore :: no journal : " + made.status().message(), false);
    }
}

UnsentPackageStore::~UnsentPackageStore() {
    waitUntilIdle();
    (void)checkpointForExit();
}

bool UnsentPackageStore::checkpointForExit() {
    if (!journal_) {
        return true;
    }
    bool written = false;
    // The stop's checkpoint: once it is durable the journal says nothing more,
    // unless the open buffer still holds events (its record stays for the
    // next start) or packages were left out for the cap.
    const auto covered = markKeepingBuffer();
    auto stop = [&] {
        written = write(source_(), false, false, covered);
        if (written && journal_->size() == 0) {
            journal_->removeFile();
        }
    };
    if (queue_->isCurrent()) {
        stop();
    } else {
        queue_->sync(stop);
    }
    return written;
}

std::optional<EventJournal::Mark> UnsentPackageStore::markKeepingBuffer() {
    if (!journal_) {
        return std::nullopt;
    }
    platform::MutexLock lock(openMu_);
    const EventJournal::Mark mark = journal_->mark();
    if (!openEvents_.empty()) {
        appendBufferLocked();
    }
    return mark;
}

void UnsentPackageStore::appendBufferLocked() {
    const std::string counters = EventJournal::countersText(counters_->current());
    const char nul = '\0';
    if (Status written =
            journal_->append(EventJournal::Kind::BUFFER,
                             {counters, std::string_view(&nul, 1), "[", openEvents_, "]"});
        !written) {
        SvlLog::error("UnsentPackageStore :: the open buffer's events are not in the journal : " +
                          written.message(),
                      false);
    }
}

void UnsentPackageStore::clearJournalKeepingBuffer() {
    platform::MutexLock lock(openMu_);
    if (Status cleared = journal_->clear(); !cleared) {
        SvlLog::error("UnsentPackageStore :: journal not emptied : " + cleared.message(), false);
    }
    if (!openEvents_.empty()) {
        appendBufferLocked();
    }
}

void UnsentPackageStore::recordBuffered(const std::vector<EventModel>& events, std::size_t from) {
    if (from >= events.size()) {
        return;
    }
    if (!journal_) {
        return;
    }
    platform::MutexLock lock(openMu_);
    const std::size_t before = openEvents_.size();
    for (std::size_t i = from; i < events.size(); ++i) {
        if (!openEvents_.empty()) {
            openEvents_ += ',';
        }
        events[i].appendJson(openEvents_);
    }
    const std::string counters = EventJournal::countersText(counters_->current());
    const char nul = '\0';
    const std::string_view added =
        std::string_view(openEvents_).substr(before == 0 ? 0 : before + 1);
    if (Status written = journal_->append(EventJournal::Kind::EVENTS,
                                          {counters, std::string_view(&nul, 1), "[", added, "]"});
        !written) {
        SvlLog::error("UnsentPackageStore :: " + std::to_string(events.size() - from) +
                          " events of the open buffer not in the journal : " + written.message(),
                      false);
    }
}

void UnsentPackageStore::recordBufferCleared() {
    if (!journal_) {
        return;
    }
    platform::MutexLock lock(openMu_);
    openEvents_.clear();
    appendBufferLocked();
}

std::vector<EventModel> UnsentPackageStore::takeRestoredOpenEvents() {
    platform::MutexLock lock(openMu_);
    return std::exchange(restoredOpen_, {});
}

std::string UnsentPackageStore::journalPath() const {
    return journal_ ? journal_->path() : std::string();
}

UnsentPackageStore::Packages UnsentPackageStore::load() {
    struct Restored {
        std::shared_ptr<const EventPackage> package;
        std::optional<std::string> id;
    };
    std::vector<Restored> restored;
    // A package is the same one under another id when its events are: a
    // start restores packages with new ids, and a kill between its fresh
    // checkpoint and the deletion of the journals it replayed leaves both.
    std::unordered_map<std::string, std::string> eventsOfId;
    std::unordered_set<std::string> present;
    std::unordered_set<std::string> presentIds;
    auto restore = [&](const Value::Map& map, std::optional<std::string> id) -> bool {
        auto package = EventPackage::initFromDictionary(map);
        if (!package) {
            return false;
        }
        auto made = std::make_shared<const EventPackage>(std::move(package).value());
        if (id) {
            eventsOfId[*id] = made->eventsJson();
        }
        if (present.count(made->eventsJson()) == 0 && (!id || presentIds.count(*id) == 0)) {
            present.insert(made->eventsJson());
            if (id) {
                presentIds.insert(*id);
            }
            restored.push_back({std::move(made), std::move(id)});
        }
        return true;
    };
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
    } else {
        const std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
        const std::optional<Value> parsed = Value::fromJson(text);
        const Value::Array* list = parsed ? parsed->getArray() : nullptr;
        if (list == nullptr) {
            SvlLog::error("getPreviousPackageQueue :: can not cast data to dictionaryArray", true);
        }
        for (const Value& element : list != nullptr ? *list : Value::Array{}) {
            const Value::Map* map = element.getMap();
            if (map == nullptr || !restore(*map, storedId(*map))) {
                SvlLog::error("getPreviousPackageQueue :: error dic is " + element.toJson(), true);
            }
        }
    }

    // The journals of processes that are gone: whole records in order, each
    // package once, without those whose upload ended.
    auto orphans = EventJournal::adoptOrphans(journalFolder_);
    bool replayed = false;
    EventJournal::Counters counters;
    // Each journal's open buffer as its records leave it (the texts of its
    // events' dictionaries), and those of the journals read before, in order.
    std::vector<std::string> open;
    std::vector<std::string> openBefore;
    // Each journal's packages left out of the list at its last checkpoint
    // and not settled since, as (id, events), and those of the journals
    // read before.
    std::vector<std::pair<std::string, std::size_t>> leftOut;
    std::vector<std::pair<std::string, std::size_t>> leftOutBefore;
    std::string stem;
    for (const auto& orphan : orphans) {
        if (orphan->journalStem() != stem) {
            stem = orphan->journalStem();
            std::move(open.begin(), open.end(), std::back_inserter(openBefore));
            open.clear();
            std::move(leftOut.begin(), leftOut.end(), std::back_inserter(leftOutBefore));
            leftOut.clear();
        }
        const EventJournal::Contents& contents = orphan->contents();
        replayed = replayed || !contents.records.empty() || contents.tornBytes > 0;
        for (const EventJournal::Record& record : contents.records) {
            if (record.kind == EventJournal::Kind::EVENTS ||
                record.kind == EventJournal::Kind::BUFFER) {
                auto events = EventJournal::readOpenEvents(record.data);
                const std::optional<Value> parsed =
                    events ? Value::fromJson(events->eventsJson) : std::nullopt;
                const Value::Array* list = parsed ? parsed->getArray() : nullptr;
                if (list == nullptr) {
                    SvlLog::error("getPreviousPackageQueue :: unreadable open-buffer record in " +
                                      orphan->path(),
                                  false);
                    continue;
                }
                if (events->counters.eventOrderNo >= counters.eventOrderNo) {
                    counters = events->counters;
                }
                if (record.kind == EventJournal::Kind::BUFFER) {
                    open.clear();
                }
                for (const Value& event : *list) {
                    open.push_back(event.toJson());
                }
                continue;
            }
            if (record.kind == EventJournal::Kind::LEFT_OUT) {
                leftOut.clear();
                std::size_t at = 0;
                while (at < record.data.size()) {
                    std::size_t end = record.data.find('\n', at);
                    end = end == std::string::npos ? record.data.size() : end;
                    const std::string line = record.data.substr(at, end - at);
                    const std::size_t blank = line.find(' ');
                    if (blank != std::string::npos) {
                        leftOut.emplace_back(line.substr(0, blank),
                                             std::strtoull(line.c_str() + blank + 1, nullptr, 10));
                    }
                    at = end + 1;
                }
                continue;
            }
            if (record.kind == EventJournal::Kind::BUFFER_PACKAGE) {
                open.clear();
            }
            if (record.kind == EventJournal::Kind::PACKAGE ||
                record.kind == EventJournal::Kind::BUFFER_PACKAGE) {
                auto package = EventJournal::readPackage(record.data);
                if (!package) {
                    SvlLog::error(
                        "getPreviousPackageQueue :: unreadable journal record in " + orphan->path(),
                        false);
                    continue;
                }
                if (package->counters.eventOrderNo >= counters.eventOrderNo) {
                    counters = package->counters;
                }
                const std::optional<Value> parsed = Value::fromJson(package->element);
                const Value::Map* map = parsed ? parsed->getMap() : nullptr;
                if (map == nullptr || !restore(*map, package->id)) {
                    SvlLog::error("getPreviousPackageQueue :: error dic is " + package->element,
                                  true);
                }
                continue;
            }
            std::erase_if(leftOut, [&](const auto& entry) { return entry.first == record.data; });
            const auto events = eventsOfId.find(record.data);
            std::erase_if(restored, [&](const Restored& r) {
                const bool settled =
                    r.id == record.data ||
                    (events != eventsOfId.end() && r.package->hasEventsJson(events->second));
                if (settled) {
                    present.erase(r.package->eventsJson());
                    if (r.id) {
                        presentIds.erase(*r.id);
                    }
                }
                return settled;
            });
        }
        if (contents.tornBytes > 0) {
            SvlLog::warning(
                "getPreviousPackageQueue :: the journal " + orphan->path() + " ends in " +
                    std::to_string(contents.tornBytes) + " unreadable bytes, dropped" +
                    (contents.tornPackageIds.empty()
                         ? std::string(" (no package recognisable in them)")
                         : " (part of package " + joined(contents.tornPackageIds) + ")"),
                false);
        }
    }

    std::move(open.begin(), open.end(), std::back_inserter(openBefore));
    std::move(leftOut.begin(), leftOut.end(), std::back_inserter(leftOutBefore));
    // Packages a checkpoint left out for the cap whose process died before
    // they were sent (unless a list still holds them): lost, and said so.
    std::erase_if(leftOutBefore,
                  [&](const auto& entry) { return presentIds.count(entry.first) != 0; });
    if (!leftOutBefore.empty()) {
        std::size_t lost = 0;
        for (const auto& entry : leftOutBefore) {
            lost += entry.second;
        }
        // Events lost: said where a developer looks, not only in QA mode.
        SvlLog::warning("getPreviousPackageQueue :: " + std::to_string(lost) +
                            " events over the cap of " +
                            std::to_string(Constants::MAX_UNSENT_EVENTS) +
                            " unsent events were lost with the process that held them (" +
                            std::to_string(leftOutBefore.size()) + " packages, from " +
                            leftOutBefore.front().first + " to " + leftOutBefore.back().first + ")",
                        false);
    }
    if (!openBefore.empty()) {
        // A kill after an earlier start took these events into its buffer
        // and before it deleted the journal it took them from leaves them
        // twice (and once more in the package the buffer made of them): each
        // event goes to the buffer once, and none a package holds.
        std::unordered_set<std::string> seen;
        for (const Restored& r : restored) {
            for (const EventModel& event : r.package->eventModels()) {
                std::string text;
                event.appendJson(text);
                seen.insert(std::move(text));
            }
        }
        platform::MutexLock lock(openMu_);
        for (const std::string& text : openBefore) {
            const std::optional<Value> parsed = Value::fromJson(text);
            const Value::Map* map = parsed ? parsed->getMap() : nullptr;
            auto event = EventModel::initFromDictionary(map != nullptr ? *map : Value::Map{});
            if (map == nullptr || !event) {
                SvlLog::error("getPreviousPackageQueue :: error event is " + text, true);
                continue;
            }
            std::string own;
            event.value().appendJson(own);
            if (!seen.insert(own).second) {
                continue;
            }
            openEvents_ += openEvents_.empty() ? "" : ",";
            openEvents_ += own;
            restoredOpen_.push_back(std::move(event).value());
        }
        if (journal_ && !restoredOpen_.empty()) {
            // In this process's journal before the adopted ones go.
            appendBufferLocked();
        }
    }

    if (counters.eventOrderNo > 0 || counters.sessionOrderNo > 0) {
        // The registry may not have stored the last steps before the process
        // died: the numbers its packages carry are never handed out again.
        counters_->restore(counters);
    }

    Packages packages;
    std::size_t events = 0;
    std::size_t overCap = 0;
    std::string droppedRange;
    const std::shared_ptr<const EventPackage>* lastDropped = nullptr;
    for (Restored& r : restored) {
        if (events >= static_cast<std::size_t>(Constants::MAX_UNSENT_EVENTS)) {
            if (overCap == 0) {
                droppedRange = "from " + describeFirstEvent(*r.package, true);
            }
            overCap += r.package->eventCount();
            lastDropped = &r.package;
            continue;
        }
        events += r.package->eventCount();
        if (r.id) {
            ownIds_.insert(*r.id);
            storedIdOf_[r.package->packageId()] = *r.id;
        }
        packages.push_back(std::move(r.package));
    }
    if (lastDropped != nullptr) {
        droppedRange += " to " + describeFirstEvent(**lastDropped, false);
    }
    if (overCap > 0) {
        // Events lost: said where a developer looks, not only in QA mode.
        SvlLog::warning("getPreviousPackageQueue :: " + std::to_string(overCap) +
                            " events over the cap of " +
                            std::to_string(Constants::MAX_UNSENT_EVENTS) +
                            " unsent events dropped (" + droppedRange + ")",
                        false);
    }
    if (!replayed) {
        // Journals of processes that ended with nothing unsaid: nothing to
        // keep them for.
        for (const auto& orphan : orphans) {
            orphan->remove();
        }
    } else {
        // The fresh checkpoint holds what the journals said; only then do
        // they go (still locked until then, so no other start adopts them).
        // Off the starting thread: events recorded meanwhile are not held up
        // behind a write of the whole list.
        auto adopted = std::make_shared<std::vector<std::unique_ptr<EventJournal::Orphan>>>(
            std::move(orphans));
        queue_->async([this, packages, adopted] {
            if (write(packages, true, false, std::nullopt)) {
                for (const auto& orphan : *adopted) {
                    orphan->remove();
                }
            }
        });
    }
    return packages;
}

void UnsentPackageStore::recordQueued(const EventPackage& package, bool fromBuffer) {
    if (!journal_) {
        // Durable only at the next checkpoint: ask for it now.
        requestWrite();
        return;
    }
    Status written = Status::ok();
    {
        // Its events' own records are superseded in the same step.
        platform::MutexLock open(openMu_);
        if (fromBuffer) {
            platform::MutexLock lock(mu_);
            settledBytes_ += openEvents_.size();
            openEvents_.clear();
        }
        // The element is made once, into a buffer kept from one package to
        // the next, and goes to the journal as it lies.
        platform::MutexLock lock(scratchMu_);
        scratch_.clear();
        package.appendJson(scratch_);
        written = journal_->appendPackage(
            package.packageId(), scratch_, counters_->current(),
            fromBuffer ? EventJournal::Kind::BUFFER_PACKAGE : EventJournal::Kind::PACKAGE);
        if (scratch_.capacity() > kScratchKeptBytes) {
            std::string().swap(scratch_);
        }
    }
    if (!written) {
        SvlLog::error("UnsentPackageStore :: package " + package.packageId() +
                          " not in the journal : " + written.message(),
                      false);
        requestWrite();
    }
}

void UnsentPackageStore::recordSettled(const EventPackage& package, bool acknowledged) {
    if (!journal_) {
        requestWrite();
        return;
    }
    const auto kind = acknowledged ? EventJournal::Kind::ACKNOWLEDGED : EventJournal::Kind::DROPPED;
    (void)journal_->append(kind, package.packageId());
    // A restored package is still listed under the id it was stored with
    // until the next checkpoint: a replay must find that one settled too.
    if (auto stored = storedIdOf_.find(package.packageId()); stored != storedIdOf_.end()) {
        (void)journal_->append(kind, stored->second);
    }
    bool checkpoint = false;
    {
        platform::MutexLock lock(mu_);
        settledBytes_ += package.eventsJsonSize() + 2 * package.packageId().size() + 50;
        // A checkpoint rewrites the whole list: while the list is long, the
        // journal may gather twice its size first, so a backlog costs no
        // more than half a list written per list settled. No more than
        // that: a start replays every record the journal holds.
        checkpoint = settledBytes_ > std::max(CHECKPOINT_SETTLED_BYTES, 2 * lastListBytes_);
    }
    if (checkpoint) {
        requestWrite();
    }
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
        size += package->eventsJsonSize() + package->packageId().size() + 32;
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
        settledBytes_ = 0;
    }
    // The journal's length before the packages are taken: a record written
    // after the source was read stays in the journal, and one written before
    // is about a change the packages already show.
    const auto covered = markKeepingBuffer();
    write(source_(), force, false, covered);
}

void UnsentPackageStore::supersedePending(Packages packages) {
    if (journal_ &&
        !dataRegistry_->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt)) {
        // The list was removed (a wipe, which tells no listener): what the
        // journal says about the packages goes with it.
        clearJournalKeepingBuffer();
    }
    const auto covered = markKeepingBuffer();
    bool force = false;
    {
        platform::MutexLock lock(mu_);
        pendingTicket_ = 0;
        force = pendingForced_;
        pendingForced_ = false;
    }
    // The journal's length was taken before the queue emptied, and these
    // packages are what it held then.
    queue_->async([this, packages = std::move(packages), force, covered] {
        write(packages, force, false, covered);
    });
}

void UnsentPackageStore::discard() {
    {
        platform::MutexLock lock(mu_);
        pendingTicket_ = 0;
        pendingForced_ = false;
    }
    if (journal_) {
        clearJournalKeepingBuffer();
    }
    queue_->async([this] { write({}, true, true, std::nullopt); });
}

void UnsentPackageStore::rebaseline() {
    queue_->async([this] {
        lastBytes_ =
            dataRegistry_->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
        lastWrittenIds_.reset();
    });
}

std::vector<std::string> UnsentPackageStore::foreignEntries(
    const std::optional<Value::Bytes>& current) const {
    std::vector<std::string> foreign;
    if (!current || current == lastBytes_) {
        return foreign;
    }
    const std::string_view text(reinterpret_cast<const char*>(current->data()), current->size());
    const std::optional<Value> parsed = Value::fromJson(text);
    const Value::Array* list = parsed ? parsed->getArray() : nullptr;
    for (const Value& element : list != nullptr ? *list : Value::Array{}) {
        const Value::Map* map = element.getMap();
        const auto id = map != nullptr ? storedId(*map) : std::nullopt;
        if (id && ownIds_.count(*id) == 0) {
            foreign.push_back(element.toJson());
        }
    }
    return foreign;
}

bool UnsentPackageStore::write(const Packages& packages, bool force, bool overRemoval,
                               std::optional<EventJournal::Mark> covered) {
    // Durable with the list (one wait below covers both): once the journal
    // is cut back, the registry alone says which numbers were handed out.
    const bool countersPut = counters_->checkpoint();
    std::vector<std::string> ids;
    const std::string ours = encode(packages, &ids);
    std::optional<Value::Bytes> current = lastBytes_;
    bool mergeNeeded = false;
    std::optional<Value::Bytes> bytes;
    for (;;) {
        const std::vector<std::string> foreign =
            mergeNeeded ? foreignEntries(current) : std::vector<std::string>{};
        if (!force && foreign.empty() && !mergeNeeded && lastWrittenIds_ == ids) {
            // The list held exactly these packages when this process last
            // wrote it; another process may have written it since.
            current =
                dataRegistry_->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
            if (current != lastBytes_) {
                if (!current && !overRemoval) {
                    return false;
                }
                mergeNeeded = !overRemoval;
                continue;
            }
            if (countersPut && !dataRegistry_->waitForPendingWrites()) {
                return false;
            }
            if (covered && journal_ &&
                !EventJournal::othersRunning(journalFolder_, journal_->path())) {
                dropCoveredNotingLeftOut(*covered, packages, ids.size());
            }
            return true;
        }
        if (foreign.empty()) {
            bytes.emplace(ours.begin(), ours.end());
        } else {
            std::string text = "[";
            for (const std::string& entry : foreign) {
                text += text.size() > 1 ? "," : "";
                text += entry;
            }
            if (ours.size() > 2) {
                text += ',';
                text.append(ours, 1, ours.size() - 2);
            }
            text += ']';
            bytes.emplace(text.begin(), text.end());
        }
        if (dataRegistry_->putDataIfUnchanged(current, bytes,
                                              DataRegistryKey::DATA_UNSENT_EVENTPACKAGES)) {
            break;
        }
        current = dataRegistry_->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
        if (!current && !overRemoval) {
            // Removed by someone else since the last write: the events are to
            // be dropped, and the removal stands until the owner of the queue
            // has dropped them.
            SvlLog::debug(
                "updateUnsentEventPackagesInDataRegistry :: the stored list was removed; "
                "not written until the unsent events are dropped",
                true);
            return false;
        }
        // Another process wrote the list since: its entries are kept.
        mergeNeeded = !overRemoval;
    }
    {
        platform::MutexLock lock(mu_);
        lastListBytes_ = bytes ? bytes->size() : 0;
    }
    lastBytes_ = std::move(bytes);
    ownIds_.insert(ids.begin(), ids.end());
    if (Status durable = dataRegistry_->waitForPendingWrites(); !durable) {
        // Kept in memory and in the journal; the next checkpoint tries again.
        SvlLog::error(
            "updateUnsentEventPackagesInDataRegistry :: not on disk : " + durable.message(), false);
        lastWrittenIds_.reset();
        return false;
    }
    const std::size_t listedPackages = ids.size();
    lastWrittenIds_ = std::move(ids);
    // Another process on this folder may write the list over this one (each
    // sees only its own copy of the stored value): while one runs, the journal
    // keeps every record, and the next start replays them all.
    if (covered && journal_ && !EventJournal::othersRunning(journalFolder_, journal_->path())) {
        dropCoveredNotingLeftOut(*covered, packages, listedPackages);
    }
    return true;
}

void UnsentPackageStore::dropCoveredNotingLeftOut(EventJournal::Mark covered,
                                                  const Packages& packages, std::size_t listed) {
    if (Status dropped = journal_->dropCovered(covered); !dropped) {
        SvlLog::error("UnsentPackageStore :: journal kept whole : " + dropped.message(), false);
        return;
    }
    if (listed >= packages.size() && !leftOutNoted_) {
        return;
    }
    // The packages left out are still queued and will most likely be sent
    // (a burst's backlog): nothing is lost yet. Their records went with the
    // files, so the journal names them, should the process die first.
    // Only those still waiting now: one whose upload ended meanwhile told
    // the journal so already, maybe before this record.
    // A backlog can hold thousands of packages: their ids are looked up in
    // place, in the queue's own packages, which `queued` keeps alive.
    Packages queued;
    std::unordered_set<std::string_view> waiting;
    if (listed < packages.size()) {
        queued = source_();
        waiting.reserve(queued.size());
        for (const auto& p : queued) {
            waiting.insert(p->packageId());
        }
    }
    std::string lines;
    lines.reserve((packages.size() - std::min(listed, packages.size())) * 48);
    for (std::size_t i = listed; i < packages.size(); ++i) {
        if (waiting.count(packages[i]->packageId()) == 0) {
            continue;
        }
        lines += packages[i]->packageId();
        lines += ' ';
        lines += std::to_string(packages[i]->eventCount());
        lines += '\n';
    }
    leftOutNoted_ = listed < packages.size();
    (void)journal_->append(EventJournal::Kind::LEFT_OUT, lines);
}

void UnsentPackageStore::waitUntilIdle() const {
    if (!queue_->isCurrent()) {
        queue_->sync([] {});
    }
}

}  // namespace sorvel
