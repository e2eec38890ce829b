#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Mutex.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;

// The user properties and the "ci" properties every event carries, each map
// persisted whole in the registry, with one user snapshot id that changes
// whenever either map does.
//
// Saves and clears come from one queue at a time (the controller's); the maps
// are also read from the app's thread, so they sit behind a lock, which is
// never held while the registry (and its listeners) is called.
class UserPropertyManager {
  public:
    // The most keys both maps may hold together; read once at the start of
    // every save.
    using LimitSource = std::function<std::int64_t()>;

    // Without a limit source, the remote configuration's property maximum.
    explicit UserPropertyManager(std::shared_ptr<DataRegistry> dataRegistry,
                                 LimitSource limit = nullptr);

    // Copies of the current maps.
    Value::Map userPropertyDic() const;
    Value::Map ciPropertyDic() const;
    // The current maps in the typed form events carry
    // (FvnUtil::toTypedValueDictionary), made once per change of a map rather
    // than for every event.
    std::shared_ptr<const Value::Map> typedUserPropertyDic() const;
    std::shared_ptr<const Value::Map> typedCiPropertyDic() const;
    // What both typed maps take as JSON, as the event size limit counts it.
    std::size_t typedPropertiesBytes() const;

    // Merges the given entries in key order until both maps together reach the
    // limit; true when the map changed (then it is stored with a new snapshot
    // id). A value nested deeper than an event may carry is dropped with a
    // log line.
    bool saveUserProperty(const Value::Map& properties);
    bool saveCiProperty(const Value::Map& properties);
    std::optional<std::string> getUserSnapshotId() const;
    // Empties and stores both maps, with a new snapshot id, every time.
    void clearUserProperty();
    // The registry was wiped, maps and snapshot id with it: empties both maps
    // in memory and stores nothing, so the wipe stays as it is and the old
    // properties never come back on a later event.
    void forgetAfterRegistryWipe();
    std::int64_t totalPropertyCount() const;

  private:
    struct Target;
    bool save(const Value::Map& properties, const Target& target);

    const std::shared_ptr<DataRegistry> dataRegistry_;
    const LimitSource limit_;
    // Makes the typed forms of both maps again.
    void retypeLocked() EXCLUSIVE_LOCKS_REQUIRED(mu_);

    mutable platform::Mutex mu_;
    Value::Map userPropertyDic_ GUARDED_BY(mu_);
    Value::Map ciPropertyDic_ GUARDED_BY(mu_);
    std::shared_ptr<const Value::Map> typedUserPropertyDic_ GUARDED_BY(mu_);
    std::shared_ptr<const Value::Map> typedCiPropertyDic_ GUARDED_BY(mu_);
    std::size_t typedBytes_ GUARDED_BY(mu_) = 0;
};

}  // namespace sorvel
