#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
// the new value. When the value changed, the key's listeners run on the
// caller's thread, in registration order, after the lock is released (they
// may re-enter the registry).
class DataRegistry {
  public:
    explicit DataRegistry(std::shared_ptr<IDataContext> context);
    ~DataRegistry();
    DataRegistry(const DataRegistry&) = delete;
    DataRegistry& operator=(const DataRegistry&) = delete;

    std::string getString(DataRegistryKey key, const std::string& def) const;
    std::optional<std::string> getStringOrNil(DataRegistryKey key,
                                              const std::optional<std::string>& def) const;
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

    // Reads the unsigned counter (0 when none), adds one, stores and returns the
    // sum, all under one lock: concurrent callers never get the same number.
    std::uint64_t incrementCounter(DataRegistryKey key);

    // Removes the value of every registry key; no listener is called.
    void removeAll();

    void addListener(DataRegistryKey key, std::shared_ptr<DataUnitEventListener> listener);

    // Blocks until every queued durable write has reached the store.
    void waitForPendingWrites() const;

  private:
    struct Pending {
        std::optional<Value> value;
        std::uint64_t generation = 0;
    };

    std::optional<Value> readLocked(const std::string& key) const EXCLUSIVE_LOCKS_REQUIRED(mu_);
    void put(std::string_view key, std::optional<Value> value);
    // Records the value and queues its durable write; returns the listeners to
    // call when it changed the stored value.
    std::vector<std::shared_ptr<DataUnitEventListener>> storeLocked(const std::string& key,
                                                                    std::optional<Value> value)
        EXCLUSIVE_LOCKS_REQUIRED(mu_);

    std::shared_ptr<IDataContext> context_;
    mutable platform::Mutex mu_;
    std::map<std::string, Pending, std::less<>> pending_ GUARDED_BY(mu_);
    std::uint64_t generation_ GUARDED_BY(mu_) = 0;
    std::map<std::string, std::vector<std::shared_ptr<DataUnitEventListener>>, std::less<>>
        listeners_ GUARDED_BY(mu_);
    // Last member: destroyed first, so queued writes drain while the rest lives.
    std::shared_ptr<platform::DispatchQueue> queue_;
};

}  // namespace sorvel
