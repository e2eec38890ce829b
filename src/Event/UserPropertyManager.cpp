#include "Event/UserPropertyManager.h"

#include <utility>
#include <vector>

#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "Event/EventInputGuard.h"
#include "Event/TypedValueDictionary.h"
#include "Network/S3ConfigHandler.h"
#include "Platform/Crypto.h"

namespace sorvel {

struct UserPropertyManager::Target {
    Value::Map UserPropertyManager::*map;
    DataRegistryKey key;
    const char* name;  // "userProperty" or "ciProperty", as the log lines say
};

UserPropertyManager::UserPropertyManager(std::shared_ptr<DataRegistry> dataRegistry,
                                         LimitSource limit)
    : dataRegistry_(std::move(dataRegistry)), limit_(limit ? std::move(limit) : LimitSource([] {
          return S3ConfigHandler::shared().configPropertyMaxSize();
      })) {
    Value::Map user = dataRegistry_->getDictionary(DataRegistryKey::DICTIONARY_USER_PROPERTIES, {});
    Value::Map ci = dataRegistry_->getDictionary(DataRegistryKey::DICTIONARY_CI_PROPERTIES, {});
    platform::MutexLock lock(mu_);
    userPropertyDic_ = std::move(user);
    ciPropertyDic_ = std::move(ci);
    retypeLocked();
}

void UserPropertyManager::retypeLocked() {
    typedUserPropertyDic_ =
        std::make_shared<const Value::Map>(FvnUtil::toTypedValueDictionary(userPropertyDic_));
    typedCiPropertyDic_ =
        std::make_shared<const Value::Map>(FvnUtil::toTypedValueDictionary(ciPropertyDic_));
    typedBytes_ = EventInputGuard::mapBytes(*typedUserPropertyDic_) +
                  EventInputGuard::mapBytes(*typedCiPropertyDic_);
}

std::size_t UserPropertyManager::typedPropertiesBytes() const {
    platform::MutexLock lock(mu_);
    return typedBytes_;
}

std::shared_ptr<const Value::Map> UserPropertyManager::typedUserPropertyDic() const {
    platform::MutexLock lock(mu_);
    return typedUserPropertyDic_;
}

std::shared_ptr<const Value::Map> UserPropertyManager::typedCiPropertyDic() const {
    platform::MutexLock lock(mu_);
    return typedCiPropertyDic_;
}

Value::Map UserPropertyManager::userPropertyDic() const {
    platform::MutexLock lock(mu_);
    return userPropertyDic_;
}

Value::Map UserPropertyManager::ciPropertyDic() const {
    platform::MutexLock lock(mu_);
    return ciPropertyDic_;
}

std::int64_t UserPropertyManager::totalPropertyCount() const {
    platform::MutexLock lock(mu_);
    return static_cast<std::int64_t>(userPropertyDic_.size() + ciPropertyDic_.size());
}

bool UserPropertyManager::saveUserProperty(const Value::Map& properties) {
    return save(properties, Target{&UserPropertyManager::userPropertyDic_,
                                   DataRegistryKey::DICTIONARY_USER_PROPERTIES, "userProperty"});
}

bool UserPropertyManager::saveCiProperty(const Value::Map& properties) {
    return save(properties, Target{&UserPropertyManager::ciPropertyDic_,
                                   DataRegistryKey::DICTIONARY_CI_PROPERTIES, "ciProperty"});
}

bool UserPropertyManager::save(const Value::Map& properties, const Target& target) {
    // Read before the lock is taken: the source is the caller's to choose.
    const std::int64_t limit = limit_();
    Value::Map merged;
    std::vector<std::string> tooDeep;
    std::vector<std::pair<std::string, std::size_t>> tooLarge;
    bool overLimit = false;
    bool changed = false;
    {
        platform::MutexLock lock(mu_);
        Value::Map& map = this->*target.map;
        const Value::Map before = map;
        // Every event carries the properties: one too large would have every
        // later event refused for its size.
        std::size_t bytes = 0;
        for (const Value::Map* m : {&userPropertyDic_, &ciPropertyDic_}) {
            for (const auto& [key, value] : *m) {
                bytes += EventInputGuard::entryBytes(key, value);
            }
        }
        for (const auto& [key, value] : properties) {
            const auto total =
                static_cast<std::int64_t>(userPropertyDic_.size() + ciPropertyDic_.size());
            if (total >= limit) {
                overLimit = true;
                break;
            }
            if (EventInputGuard::nestsDeeperThan(value, EventInputGuard::MAX_VALUE_DEPTH)) {
                tooDeep.push_back(key);
                continue;
            }
            const std::size_t added = EventInputGuard::entryBytes(key, value);
            auto existing = map.find(key);
            const std::size_t replaced =
                existing == map.end() ? 0 : EventInputGuard::entryBytes(key, existing->second);
            if (bytes - replaced + added > EventInputGuard::MAX_PROPERTIES_BYTES) {
                tooLarge.emplace_back(key, added);
                continue;
            }
            bytes = bytes - replaced + added;
            map[key] = value;
        }
        changed = !isEqual(before, map);
        if (changed) {
            merged = map;
        }
        // Even an equal value may differ in kind (5 and 5u): typed again as stored.
        retypeLocked();
    }
    for (const auto& key : tooDeep) {
        SvlLog::warning(std::string(target.name) + " " + EventInputGuard::nameForLog(key) +
                            " dropped : value nested deeper than " +
                            std::to_string(EventInputGuard::MAX_VALUE_DEPTH) + " levels",
                        true);
    }
    for (const auto& [key, size] : tooLarge) {
        SvlLog::warning(std::string(target.name) + " " + EventInputGuard::nameForLog(key) +
                            " dropped : value of about " + std::to_string(size) +
                            " bytes; the properties would take more than " +
                            std::to_string(EventInputGuard::MAX_PROPERTIES_BYTES),
                        true);
    }
    if (overLimit) {
        SvlLog::debug(
            std::string(target.name) + " count over property max size : " + std::to_string(limit),
            false);
    }
    if (!changed) {
        SvlLog::debug(std::string(target.name) + " did not changed because of same key-value",
                      true);
        return false;
    }
    dataRegistry_->putDictionary(merged, target.key);
    dataRegistry_->putString(platform::crypto::uuidString(),
                             DataRegistryKey::STRING_USER_SNAPSHOT_ID);
    return true;
}

std::optional<std::string> UserPropertyManager::getUserSnapshotId() const {
    return dataRegistry_->getStringOrNil(DataRegistryKey::STRING_USER_SNAPSHOT_ID, std::nullopt);
}

void UserPropertyManager::clearUserProperty() {
    {
        platform::MutexLock lock(mu_);
        userPropertyDic_.clear();
        ciPropertyDic_.clear();
        retypeLocked();
    }
    dataRegistry_->putDictionary({}, DataRegistryKey::DICTIONARY_USER_PROPERTIES);
    dataRegistry_->putDictionary({}, DataRegistryKey::DICTIONARY_CI_PROPERTIES);
    dataRegistry_->putString(platform::crypto::uuidString(),
                             DataRegistryKey::STRING_USER_SNAPSHOT_ID);
}

void UserPropertyManager::forgetAfterRegistryWipe() {
    platform::MutexLock lock(mu_);
    userPropertyDic_.clear();
    ciPropertyDic_.clear();
    retypeLocked();
}

}  // namespace sorvel
