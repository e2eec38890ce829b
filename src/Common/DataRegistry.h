#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Base/Status.h"
#include "Common/DataContext.h"
#include "Common/DataRegistryKey.h"
#include "Platform/Dispatch.h"
#include "Platform/Mutex.h"
#include "sorvel/Value.h"

namespace sorvel {

// A change listener of one registry key. The registry keeps it, and whatever
// its callback captures, for the rest of the process.
class DataUnitEventListener {
  public:
    using Callback = std::function<void(const std::optional<Value>& newValue)>;
    explicit DataUnitEventListener(Callback cb) : callback_(std::move(cb)) {}
    void onChanged(const std::optional<Value>& newValue) const {
        if (callback_) {
            callback_(newValue);
        }
    }

  private:
    Callback callback_;
};

// The typed settings registry over an IDataContext.
//
// Reads return the stored value when it has the getter's type, else the
// default. A put compares the new value with the stored one and records it
// under one lock, then queues the durable write on the serial queue
// "DataRegistryQueue"; every read or write issued after the put returned sees
// the new value.
//
// The window between a put being visible and being on disk: the write is
// queued at once, with no delay of its own, and lands after the writes queued
// before it. The changes made while the queue is busy are written together,
// each key with its newest value, in one SQLite commit without a sync to the
// device (tens of microseconds on a local disk; a commit that checkpoints the
// log also syncs, a few milliseconds), which lands all of them or none and
// waits at most 5 s for a lock that another connection to the store holds.
// So the window is at most the queue's backlog times that bound, and without
// a backlog well under a millisecond (BM_RegistryPutUntilOnDisk measures it);
// waitForPendingWrites() closes it. A value the store already holds is not
// written again, so a burst of counter steps costs one store write, not one
// each. Under a steady stream of changes (a write is queued while the one
// before it runs) the next write waits STREAM_WRITE_GAP, or nine times the
// last one's duration when that is longer, at most MAX_WRITE_GAP, gathering
// what comes meanwhile: a stream costs a few hundred commits a second however
// many changes it carries (two counter steps per event), and each change is
// on disk within MAX_WRITE_GAP and one commit. A caller of
// waitForPendingWrites() never waits out such a gap. A kill loses at most
// the changes of that window, and what the store holds is always the state
// of one moment: each commit takes every waiting key's newest value, so a
// change never lands without the ones made before it (a stored event
// package never carries an order number the stored counter has not passed).
//
// When the value changed, the key's listeners run after the lock is released
// (they may re-enter the registry), on a writer's thread, in registration
// order. The changes of one key reach its listeners one at a time and in the
// order they were stored: when another thread is already notifying that key,
// a put leaves its change to that thread and returns, and a change that a
// newer one overtook before its turn is skipped. So a listener's last call
// always carries the key's stored value. Without a concurrent writer of the
// key, the listeners run on the caller's thread before the put returns.
class DataRegistry {
  public:
    static constexpr std::chrono::milliseconds STREAM_WRITE_GAP{2};
    static constexpr std::chrono::milliseconds MAX_WRITE_GAP{5};

    // The writes run on a thread of their own ("sorvel-writer"), which other
    // stores whose writes wait for the registry's share (writerQueue()).
    explicit DataRegistry(std::shared_ptr<IDataContext> context);
    ~DataRegistry();
    DataRegistry(const DataRegistry&) = delete;
    DataRegistry& operator=(const DataRegistry&) = delete;

    std::string getString(DataRegistryKey key, const std::string& def) const;
    std::optional<std::string> getStringOrNil(DataRegistryKey key,
                                              const std::optional<std::string>& def) const;
    // Answered without the lock while the key's version() stays where it was
    // at the last read: every event asks for a flag or two from the app's
    // threads, and callers on many threads would otherwise queue on the lock.
    bool getBool(DataRegistryKey key, bool def) const;
    std::int64_t getInt(DataRegistryKey key, std::int64_t def) const;
    std::int64_t getInt64(DataRegistryKey key, std::int64_t def) const;
    std::uint64_t getUInt64(DataRegistryKey key, std::uint64_t def) const;
    double getDouble(DataRegistryKey key, double def) const;
    Value::Map getDictionary(DataRegistryKey key, const Value::Map& def) const;
    Value::Array getArray(DataRegistryKey key, const Value::Array& def) const;
    std::optional<Value::Bytes> getData(DataRegistryKey key,
                                        const std::optional<Value::Bytes>& def) const;
    // The raw stored value, whatever its type.
    std::optional<Value> getValue(DataRegistryKey key) const;

    // An absent text or data removes the stored value.
    void putString(const std::optional<std::string>& value, DataRegistryKey key);
    void putBool(bool value, DataRegistryKey key);
    void putInt(std::int64_t value, DataRegistryKey key);
    void putInt64(std::int64_t value, DataRegistryKey key);
    void putUInt64(std::uint64_t value, DataRegistryKey key);
    void putDouble(double value, DataRegistryKey key);
    void putDictionary(const Value::Map& value, DataRegistryKey key);
    void putArray(const Value::Array& value, DataRegistryKey key);
    void putData(const std::optional<Value::Bytes>& value, DataRegistryKey key);
    // Stores the data (absent: removes it) only while the key still holds
    // `expected` (absent: nothing), in one step; false, storing nothing, when
    // another write or a removal came in between. For a writer that must not
    // overwrite what someone else stored since its own last write.
    [[nodiscard]] bool putDataIfUnchanged(const std::optional<Value::Bytes>& expected,
                                          const std::optional<Value::Bytes>& value,
                                          DataRegistryKey key);

    // Reads the unsigned counter (0 when none), adds one, stores and returns the
    // sum, all under one lock: concurrent callers never get the same number.
    std::uint64_t incrementCounter(DataRegistryKey key);
    // Two counter steps as one: both under one lock, so an event's two numbers
    // come from the same moment and cost one trip through the registry.
    std::pair<std::uint64_t, std::uint64_t> incrementCounters(DataRegistryKey first,
                                                              DataRegistryKey second);

    // The raw stored values of several keys, read under one lock (one moment).
    template <std::size_t N>
    std::array<std::optional<Value>, N> getValues(
        const std::array<DataRegistryKey, N>& keys) const {
        std::array<std::optional<Value>, N> out;
        readValues(keys.data(), out.data(), nullptr, N);
        return out;
    }
    // The same, with each key's version() as of that moment.
    template <std::size_t N>
    std::array<std::optional<Value>, N> getValues(const std::array<DataRegistryKey, N>& keys,
                                                  std::array<std::uint64_t, N>& versions) const {
        std::array<std::optional<Value>, N> out;
        readValues(keys.data(), out.data(), versions.data(), N);
        return out;
    }

    // A number that grows whenever what a read of the key answers may have
    // changed (a put of another value, a removal, a wipe, a write the store
    // refused), without taking the registry's lock: whoever keeps something
    // made from a key's value rebuilds it only when this moved. A put has
    // raised it by the time it returns.
    std::uint64_t version(DataRegistryKey key) const {
        return versions_[static_cast<std::size_t>(key)].load(std::memory_order_acquire);
    }

    // Removes the value of every registry key; no listener is called. Reads
    // answer nothing from the call on. A store that refuses the wipe keeps
    // its values: once its refusal is in, reads answer them again (each
    // key's version() moves) and waitForPendingWrites() fails.
    void removeAll();

    void addListener(DataRegistryKey key, std::shared_ptr<DataUnitEventListener> listener);

    // Blocks until every queued durable write has been carried out. Fails when
    // a value the registry holds did not reach the disk (the store is read-only
    // or unavailable, or the write failed): that value lasts until the app
    // exits; the store has logged why.
    [[nodiscard]] Status waitForPendingWrites() const;
    // The queue of the registry's writes, as a target: a serial queue made
    // with it runs on the registry's writer thread, in turns with the
    // registry's writes, and may wait for them (waitForPendingWrites) from
    // its blocks.
    const std::shared_ptr<platform::DispatchQueue>& writerQueue() const { return queue_; }
    // Once every queued write is carried out, has the store give back the
    // disk space it holds beyond its values (its log, unused pages). Blocks
    // the caller for that long: for an app leaving the foreground or ending.
    void compact();

  private:
    struct Pending {
        std::optional<Value> value;
        std::uint64_t generation = 0;
    };
    // The change notifications of one key, numbered in store order.
    struct Notices {
        std::uint64_t stored = 0;     // number of the newest change
        std::optional<Value> value;   // its value
        std::uint64_t delivered = 0;  // number of the newest change handed to the listeners
        bool delivering = false;      // a writer's thread is calling the listeners
    };

    std::optional<Value> readLocked(const std::string& key) const EXCLUSIVE_LOCKS_REQUIRED(mu_);
    void put(DataRegistryKey key, std::optional<Value> value);
    void readValues(const DataRegistryKey* keys, std::optional<Value>* out, std::uint64_t* versions,
                    std::size_t count) const LOCKS_EXCLUDED(mu_);
    // Raises the key's version; under the lock, so a read under it sees the
    // value and the version of one moment.
    void bumpLocked(const std::string& key) EXCLUSIVE_LOCKS_REQUIRED(mu_);
    // Records the value and queues its durable write; returns whether this
    // thread is to call the key's listeners (see notify()).
    bool storeLocked(const std::string& key, std::optional<Value> value)
        EXCLUSIVE_LOCKS_REQUIRED(mu_);
    // The key's value without a copy where the registry holds it (its pending
    // change), else read from the store into `scratch`.
    const std::optional<Value>& currentLocked(const std::string& key,
                                              std::optional<Value>& scratch) const
        EXCLUSIVE_LOCKS_REQUIRED(mu_);
    // The same with the key's current value already read under this lock;
    // `current` may be the key's pending entry, not used once it is replaced.
    bool storeLocked(const std::string& key, std::optional<Value> value,
                     const std::optional<Value>& current) EXCLUSIVE_LOCKS_REQUIRED(mu_);
    // One counter step; `deliver` as storeLocked() answers.
    std::uint64_t incrementLocked(const std::string& key, bool& deliver)
        EXCLUSIVE_LOCKS_REQUIRED(mu_);
    // The keys one queued write lands. Changes join it until it starts, or
    // until a wipe is queued after it (from then on, the wipe's generation).
    struct Batch {
        std::vector<std::string> keys;
        std::uint64_t closedAt = UINT64_MAX;
        // Queued while the write before it ran: part of a steady stream.
        bool followsRunningWrite = false;
    };
    // Writes the newest value of each key of the batch in one commit.
    void flush(Batch& batch) LOCKS_EXCLUDED(mu_);
    // Calls the key's listeners with its newest change until no newer one is
    // left, without the lock.
    void notify(const std::string& key) LOCKS_EXCLUDED(mu_);
    // Notes whether the durable write of `key` reached the store.
    void noteWritten(const std::string& key, bool onDisk) EXCLUSIVE_LOCKS_REQUIRED(mu_);

    std::shared_ptr<IDataContext> context_;
    mutable platform::Mutex mu_;
    std::map<std::string, Pending, std::less<>> pending_ GUARDED_BY(mu_);
    std::uint64_t generation_ GUARDED_BY(mu_) = 0;
    // The write queued last while it has not started: changes join it.
    std::shared_ptr<Batch> openBatch_ GUARDED_BY(mu_);
    bool writing_ GUARDED_BY(mu_) = false;
    std::chrono::steady_clock::time_point nextWriteAllowed_ GUARDED_BY(mu_);
    // Callers in waitForPendingWrites(): no write waits out its gap meanwhile.
    mutable int waitingForWrites_ GUARDED_BY(mu_) = 0;
    mutable platform::CondVar gapCv_{&mu_};
    std::map<std::string, std::vector<std::shared_ptr<DataUnitEventListener>>, std::less<>>
        listeners_ GUARDED_BY(mu_);
    std::map<std::string, Notices, std::less<>> notices_ GUARDED_BY(mu_);
    // Keys whose last durable write did not reach the store.
    std::set<std::string, std::less<>> unsaved_ GUARDED_BY(mu_);
    // version() of every key, by the key's place in kDataRegistryKeys; raised
    // under mu_, read without it.
    std::array<std::atomic<std::uint64_t>, kDataRegistryKeys.size()> versions_{};
    // getBool()'s last answer per key: the version it was read at (shifted
    // up by 3), a bit saying the slot is filled, and whether the value was
    // absent or not a bool (0), false (1) or true (2). Filled from a read
    // made under mu_, so a slot whose version is current holds what a read
    // under the lock would give.
    mutable std::array<std::atomic<std::uint64_t>, kDataRegistryKeys.size()> boolReads_{};
    // Last member: destroyed first, so queued writes drain while the rest lives.
    std::shared_ptr<platform::DispatchQueue> queue_;
};

}  // namespace sorvel
