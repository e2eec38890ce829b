#include "Common/DataRegistry.h"

#include "Platform/ProcessState.h"

#include <algorithm>
#include <array>
#include <limits>

namespace sorvel {

namespace {

// The change test of a put: maps by the dictionary comparison, every other
// value by plain equality (so two byte buffers of the same length but other
// contents are a change), except that int64 and uint64 holding the same number
// are one value. Absent differs from any present value.
bool sameValue(const std::optional<Value>& a, const std::optional<Value>& b) {
    if (!a.has_value() || !b.has_value()) {
        return a.has_value() == b.has_value();
    }
    if (a->isMap() && b->isMap()) {
        return isEqual(*a->getMap(), *b->getMap());
    }
    if (a->isInteger() && b->isInteger()) {
        return isEqual(*a, *b);
    }
    return *a == *b;
}

// The stored key of every case as a string, made once: reads are frequent
// and the store looks keys up by string.
const std::array<std::string, kDataRegistryKeys.size()>& storedKeys() {
    static platform::NoDestructor<std::array<std::string, kDataRegistryKeys.size()>> keys([] {
        std::array<std::string, kDataRegistryKeys.size()> out;
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] = std::string(kDataRegistryKeys[i].stored);
        }
        return out;
    }());
    return keys.get();
}

const std::string& storedKey(DataRegistryKey key) {
    return storedKeys()[static_cast<std::size_t>(key)];
}

// The key's place in kDataRegistryKeys, or none for a key the registry does
// not know. Puts pass the key made by storedKey(): found by its address.
std::optional<std::size_t> keyIndex(const std::string& key) {
    const auto& keys = storedKeys();
    std::less<const std::string*> before;
    if (!before(&key, keys.data()) && before(&key, keys.data() + keys.size())) {
        return static_cast<std::size_t>(&key - keys.data());
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == key) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace

DataRegistry::DataRegistry(std::shared_ptr<IDataContext> context)
    : context_(std::move(context)),
      queue_(platform::DispatchQueue::makeSerial(
          "DataRegistryQueue", platform::DispatchQueue::makeSerial("sorvel-writer"))) {}

DataRegistry::~DataRegistry() {
    // Queued writes refer to this registry; let them land before it goes. A
    // write that did not reach the disk was logged by the store.
    (void)waitForPendingWrites();
}

std::optional<Value> DataRegistry::readLocked(const std::string& key) const {
    if (auto it = pending_.find(key); it != pending_.end()) {
        return it->second.value;
    }
    return context_->get(key);
}

std::optional<Value> DataRegistry::getValue(DataRegistryKey key) const {
    platform::MutexLock lock(mu_);
    return readLocked(storedKey(key));
}

std::string DataRegistry::getString(DataRegistryKey key, const std::string& def) const {
    auto v = getValue(key);
    const std::string* s = v ? v->getString() : nullptr;
    return s ? *s : def;
}

std::optional<std::string> DataRegistry::getStringOrNil(
    DataRegistryKey key, const std::optional<std::string>& def) const {
    auto v = getValue(key);
    const std::string* s = v ? v->getString() : nullptr;
    return s ? std::optional<std::string>(*s) : def;
}

bool DataRegistry::getBool(DataRegistryKey key, bool def) const {
    constexpr std::uint64_t kFilled = 4;
    constexpr std::uint64_t kStateMask = 3;
    const auto index = static_cast<std::size_t>(key);
    const auto answer = [def](std::uint64_t state) { return state == 0 ? def : state == 2; };
    const std::uint64_t seen = boolReads_[index].load(std::memory_order_acquire);
    if ((seen & kFilled) != 0 && (seen >> 3) == (version(key) << 3 >> 3)) {
        return answer(seen & kStateMask);
    }
    platform::MutexLock lock(mu_);
    const auto v = readLocked(storedKey(key));
    const bool* b = v ? v->getBool() : nullptr;
    const std::uint64_t state = b ? (*b ? 2 : 1) : 0;
    boolReads_[index].store((version(key) << 3) | kFilled | state, std::memory_order_release);
    return answer(state);
}

std::int64_t DataRegistry::getInt(DataRegistryKey key, std::int64_t def) const {
    return getInt64(key, def);
}

std::int64_t DataRegistry::getInt64(DataRegistryKey key, std::int64_t def) const {
    auto v = getValue(key);
    auto i = v ? v->toInt64() : std::nullopt;
    return i ? *i : def;
}

std::uint64_t DataRegistry::getUInt64(DataRegistryKey key, std::uint64_t def) const {
    auto v = getValue(key);
    auto u = v ? v->toUInt64() : std::nullopt;
    return u ? *u : def;
}

double DataRegistry::getDouble(DataRegistryKey key, double def) const {
    auto v = getValue(key);
    const double* d = v ? v->getDouble() : nullptr;
    return d ? *d : def;
}

Value::Map DataRegistry::getDictionary(DataRegistryKey key, const Value::Map& def) const {
    auto v = getValue(key);
    const Value::Map* m = v ? v->getMap() : nullptr;
    return m ? *m : def;
}

Value::Array DataRegistry::getArray(DataRegistryKey key, const Value::Array& def) const {
    auto v = getValue(key);
    const Value::Array* a = v ? v->getArray() : nullptr;
    return a ? *a : def;
}

std::optional<Value::Bytes> DataRegistry::getData(DataRegistryKey key,
                                                  const std::optional<Value::Bytes>& def) const {
    auto v = getValue(key);
    const Value::Bytes* b = v ? v->getBytes() : nullptr;
    return b ? std::optional<Value::Bytes>(*b) : def;
}

const std::optional<Value>& DataRegistry::currentLocked(const std::string& key,
                                                        std::optional<Value>& scratch) const {
    if (auto it = pending_.find(key); it != pending_.end()) {
        return it->second.value;
    }
    scratch = context_->get(key);
    return scratch;
}

bool DataRegistry::storeLocked(const std::string& key, std::optional<Value> value) {
    std::optional<Value> scratch;
    return storeLocked(key, std::move(value), currentLocked(key, scratch));
}

bool DataRegistry::storeLocked(const std::string& key, std::optional<Value> value,
                               const std::optional<Value>& current) {
    bool deliver = false;
    // Equal values are also the same value: the second test is only needed
    // after the first passed (a list of most of a megabyte is compared once).
    const bool same = sameValue(current, value);
    if (!same) {
        if (auto it = listeners_.find(key); it != listeners_.end()) {
            Notices& notices = notices_[key];
            ++notices.stored;
            notices.value = value;
            deliver = !notices.delivering;
            notices.delivering = true;
        }
    }
    if (same && current == value && pending_.find(key) == pending_.end() &&
        unsaved_.count(key) == 0) {
        // The store holds exactly this value (or, for an absent one, nothing),
        // no other write of the key is queued and the last one reached the
        // disk: nothing to make durable.
        return deliver;
    }
    pending_[key] = Pending{std::move(value), ++generation_};
    bumpLocked(key);
    if (!openBatch_) {
        openBatch_ = std::make_shared<Batch>();
        openBatch_->followsRunningWrite = writing_;
        queue_->async([this, batch = openBatch_] { flush(*batch); });
    }
    if (std::find(openBatch_->keys.begin(), openBatch_->keys.end(), key) ==
        openBatch_->keys.end()) {
        openBatch_->keys.push_back(key);
    }
    return deliver;
}

void DataRegistry::flush(Batch& batch) {
    std::vector<IDataContext::Change> changes;
    std::vector<std::uint64_t> generations;
    {
        platform::MutexLock lock(mu_);
        // Real time on purpose: this bounds the commits a stream costs. The
        // batch stays open meanwhile, so what comes in joins this write; a
        // caller waiting for the writes cuts the wait short.
        while (batch.followsRunningWrite && waitingForWrites_ == 0 &&
               std::chrono::steady_clock::now() < nextWriteAllowed_) {
            if (!gapCv_.waitUntil(nextWriteAllowed_)) {
                break;
            }
        }
        if (openBatch_.get() == &batch) {
            // Started: later changes queue a write of their own.
            openBatch_.reset();
        }
        changes.reserve(batch.keys.size());
        for (auto& key : batch.keys) {
            auto it = pending_.find(key);
            if (it == pending_.end() || it->second.generation >= batch.closedAt) {
                // Nothing left to land, or a change after a wipe queued behind
                // this write: the wipe and a later write land it in order.
                continue;
            }
            generations.push_back(it->second.generation);
            changes.emplace_back(std::move(key), it->second.value);
        }
        writing_ = !changes.empty();
    }
    if (changes.empty()) {
        return;
    }
    const auto begin = std::chrono::steady_clock::now();
    const std::vector<Status> onDisk = context_->setAll(changes);
    const auto end = std::chrono::steady_clock::now();
    platform::MutexLock lock(mu_);
    nextWriteAllowed_ = end + std::clamp<std::chrono::steady_clock::duration>(
                                  9 * (end - begin), STREAM_WRITE_GAP, MAX_WRITE_GAP);
    writing_ = false;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const std::string& key = changes[i].first;
        const bool written = i < onDisk.size() && onDisk[i].isOk();
        noteWritten(key, written);
        if (auto it = pending_.find(key);
            it != pending_.end() && it->second.generation == generations[i]) {
            pending_.erase(it);
            if (!written) {
                // A value the store refused reads back as what it held before.
                bumpLocked(key);
            }
        }
    }
}

void DataRegistry::notify(const std::string& key) {
    for (;;) {
        std::vector<std::shared_ptr<DataUnitEventListener>> listeners;
        std::optional<Value> value;
        {
            platform::MutexLock lock(mu_);
            Notices& notices = notices_[key];
            if (notices.delivered == notices.stored) {
                notices.delivering = false;
                return;
            }
            // Only the newest change is handed on: one it overtook is stale.
            notices.delivered = notices.stored;
            value = std::move(notices.value);
            notices.value.reset();
            listeners = listeners_[key];
        }
        try {
            for (const auto& listener : listeners) {
                listener->onChanged(value);
            }
        } catch (...) {
            // The next change of the key must still find someone to deliver it.
            platform::MutexLock lock(mu_);
            notices_[key].delivering = false;
            throw;
        }
    }
}

void DataRegistry::noteWritten(const std::string& key, bool onDisk) {
    if (onDisk) {
        unsaved_.erase(key);
    } else {
        unsaved_.insert(key);
    }
}

void DataRegistry::put(DataRegistryKey key, std::optional<Value> value) {
    const std::string& k = storedKey(key);
    bool deliver = false;
    {
        platform::MutexLock lock(mu_);
        deliver = storeLocked(k, std::move(value));
    }
    if (deliver) {
        notify(k);
    }
}

void DataRegistry::putString(const std::optional<std::string>& value, DataRegistryKey key) {
    put(key, value ? std::optional<Value>(Value(*value)) : std::nullopt);
}

void DataRegistry::putBool(bool value, DataRegistryKey key) {
    put(key, Value(value));
}

void DataRegistry::putInt(std::int64_t value, DataRegistryKey key) {
    put(key, Value(value));
}

void DataRegistry::putInt64(std::int64_t value, DataRegistryKey key) {
    put(key, Value(value));
}

void DataRegistry::putUInt64(std::uint64_t value, DataRegistryKey key) {
    put(key, Value(value));
}

void DataRegistry::putDouble(double value, DataRegistryKey key) {
    put(key, Value(value));
}

void DataRegistry::putDictionary(const Value::Map& value, DataRegistryKey key) {
    put(key, Value(value));
}

void DataRegistry::putArray(const Value::Array& value, DataRegistryKey key) {
    put(key, Value(value));
}

void DataRegistry::putData(const std::optional<Value::Bytes>& value, DataRegistryKey key) {
    put(key, value ? std::optional<Value>(Value(*value)) : std::nullopt);
}

bool DataRegistry::putDataIfUnchanged(const std::optional<Value::Bytes>& expected,
                                      const std::optional<Value::Bytes>& value,
                                      DataRegistryKey key) {
    const std::string& k = storedKey(key);
    bool deliver = false;
    {
        platform::MutexLock lock(mu_);
        std::optional<Value> scratch;
        const std::optional<Value>& current = currentLocked(k, scratch);
        const Value::Bytes* held = current ? current->getBytes() : nullptr;
        const bool unchanged = expected ? held != nullptr && *held == *expected : !current;
        if (!unchanged) {
            return false;
        }
        deliver =
            storeLocked(k, value ? std::optional<Value>(Value(*value)) : std::nullopt, current);
    }
    if (deliver) {
        notify(k);
    }
    return true;
}

std::uint64_t DataRegistry::incrementLocked(const std::string& key, bool& deliver) {
    std::optional<Value> scratch;
    const std::optional<Value>& current = currentLocked(key, scratch);
    auto n = current ? current->toUInt64() : std::nullopt;
    const std::uint64_t base = n ? *n : 0;
    // Wrapping would hand out numbers already used; stay at the maximum.
    const std::uint64_t next = base == std::numeric_limits<std::uint64_t>::max() ? base : base + 1;
    deliver = storeLocked(key, Value(next), current);
    return next;
}

std::uint64_t DataRegistry::incrementCounter(DataRegistryKey key) {
    const std::string& k = storedKey(key);
    bool deliver = false;
    std::uint64_t next = 0;
    {
        platform::MutexLock lock(mu_);
        next = incrementLocked(k, deliver);
    }
    if (deliver) {
        notify(k);
    }
    return next;
}

std::pair<std::uint64_t, std::uint64_t> DataRegistry::incrementCounters(DataRegistryKey first,
                                                                        DataRegistryKey second) {
    const std::string& k1 = storedKey(first);
    const std::string& k2 = storedKey(second);
    bool deliver1 = false;
    bool deliver2 = false;
    std::pair<std::uint64_t, std::uint64_t> next;
    {
        platform::MutexLock lock(mu_);
        next.first = incrementLocked(k1, deliver1);
        next.second = incrementLocked(k2, deliver2);
    }
    if (deliver1) {
        notify(k1);
    }
    if (deliver2) {
        notify(k2);
    }
    return next;
}

void DataRegistry::readValues(const DataRegistryKey* keys, std::optional<Value>* out,
                              std::uint64_t* versions, std::size_t count) const {
    platform::MutexLock lock(mu_);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = readLocked(storedKey(keys[i]));
        if (versions != nullptr) {
            versions[i] = version(keys[i]);
        }
    }
}

void DataRegistry::bumpLocked(const std::string& key) {
    if (auto index = keyIndex(key)) {
        versions_[*index].fetch_add(1, std::memory_order_release);
    }
}

void DataRegistry::compact() {
    (void)waitForPendingWrites();
    context_->compact();
}

void DataRegistry::removeAll() {
    platform::MutexLock lock(mu_);
    std::uint64_t generation = ++generation_;
    if (openBatch_) {
        // Changes from now on land after the wipe, not in the write before it.
        openBatch_->closedAt = generation;
        openBatch_.reset();
    }
    for (const auto& info : kDataRegistryKeys) {
        pending_[std::string(info.stored)] = Pending{std::nullopt, generation};
        versions_[static_cast<std::size_t>(info.key)].fetch_add(1, std::memory_order_release);
    }
    queue_->async([this, generation] {
        const bool onDisk = context_->removeAll().isOk();
        platform::MutexLock lock(mu_);
        for (const auto& info : kDataRegistryKeys) {
            noteWritten(std::string(info.stored), onDisk);
        }
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->second.generation != generation) {
                ++it;
                continue;
            }
            if (!onDisk) {
                // The store kept its values: reads give them back again.
                bumpLocked(it->first);
            }
            it = pending_.erase(it);
        }
    });
}

void DataRegistry::addListener(DataRegistryKey key,
                               std::shared_ptr<DataUnitEventListener> listener) {
    if (!listener) {
        return;
    }
    platform::MutexLock lock(mu_);
    listeners_[std::string(rawValue(key))].push_back(std::move(listener));
}

Status DataRegistry::waitForPendingWrites() const {
    // On the queue itself the writes before this one have been carried out.
    if (!queue_->isCurrent()) {
        {
            platform::MutexLock lock(mu_);
            ++waitingForWrites_;
            gapCv_.signalAll();
        }
        queue_->sync([] {});
        platform::MutexLock lock(mu_);
        --waitingForWrites_;
    }
    platform::MutexLock lock(mu_);
    if (unsaved_.empty()) {
        return Status::ok();
    }
    std::string keys;
    for (const auto& key : unsaved_) {
        keys += (keys.empty() ? "" : ", ") + key;
    }
    return Status::error(std::to_string(unsaved_.size()) +
                         " values did not reach the disk and last until the app exits: " + keys);
}

}  // namespace sorvel
