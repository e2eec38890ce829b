#include "Core/DisabledGuard.h"

#include <utility>

#include "Common/DataRegistry.h"
#include "Common/RegistryStates.h"

namespace sorvel {
namespace {

constexpr DataRegistryKey kWatched[] = {DataRegistryKey::BOOL_GDPR_FORGET_ME,
                                        DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE,
                                        DataRegistryKey::BOOL_IS_SDK_STOPPED};

}  // namespace

std::shared_ptr<SorvelDisabledGuard> SorvelDisabledGuard::create(
    std::shared_ptr<DataRegistry> registry) {
    auto guard = std::make_shared<SorvelDisabledGuard>(PassKey{}, std::move(registry));
    // Weak: the registry keeps its listeners for good.
    std::weak_ptr<SorvelDisabledGuard> weak = guard;
    for (DataRegistryKey key : kWatched) {
        guard->registry_->addListener(
            key, std::make_shared<DataUnitEventListener>([weak](const std::optional<Value>&) {
                if (auto self = weak.lock()) {
                    self->refresh();
                }
            }));
    }
    // After the listeners: a change from now on is seen by one or the other.
    guard->refresh();
    return guard;
}

SorvelDisabledGuard::SorvelDisabledGuard(PassKey, std::shared_ptr<DataRegistry> registry)
    : registry_(std::move(registry)) {}

void SorvelDisabledGuard::refresh() {
    platform::MutexLock lock(refreshMu_);
    bool any = false;
    for (DataRegistryKey key : kWatched) {
        any = any || registry_->getBool(key, false);
    }
    anyFlagSet_.store(any, std::memory_order_release);
}

bool SorvelDisabledGuard::isSorvelDisabled() const {
    if (!anyFlagSet_.load(std::memory_order_acquire)) {
        return false;
    }
    return FvnUtil::isSorvelDisabled(*registry_);
}

}  // namespace sorvel
