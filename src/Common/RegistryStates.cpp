#include "Common/RegistryStates.h"

#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/GdprForgetMe.h"
#include "Common/SvlLog.h"
#include "Platform/Reachability.h"

namespace sorvel {

bool FvnUtil::isNetworkConnected() {
    return platform::Reachability::shared().currentStatus() != platform::Reachability::UNKNOWN;
}

bool FvnUtil::isSorvelDisabled(const DataRegistry& registry) {
    bool disabled =
        isGdprForgetMe([](GdprForgetMe::Done done) { executeGdprForgetMe(std::move(done)); },
                       registry) ||
        isPause(registry);
    if (!disabled) {
        DRStateResult state = getDRState(registry);
        const DRState* s = std::get_if<DRState>(&state);
        disabled = s != nullptr && isDeleteState(*s);
    }
    if (disabled) {
        SvlLog::debug("Sorvel Disabled : true", true);
    }
    return disabled;
}

bool FvnUtil::isGdprForgetMeServerResponse(const DataRegistry& registry) {
    return registry.getBool(DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC, false);
}

bool FvnUtil::isAllStop(const DataRegistry& registry) {
    return registry.getBool(DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP, false);
}

bool FvnUtil::isPause(const DataRegistry& registry) {
    return registry.getBool(DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE, false);
}

DRStateResult FvnUtil::getDRState(const DataRegistry& registry) {
    const std::optional<Value> stopped = registry.getValue(DataRegistryKey::BOOL_IS_SDK_STOPPED);
    if (!stopped || !stopped->isBool()) {
        return DRState::NORMAL;
    }
    const bool synced = registry.getBool(DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC, false);
    return makeDRState((*stopped->getBool() ? 2 : 0) + (synced ? 1 : 0));
}

bool FvnUtil::isBeforeFirstOpen(const DataRegistry& registry) {
    return !registry.getStringOrNil(DataRegistryKey::STRING_LAST_FIRSTOPEN_ID, std::nullopt);
}

bool FvnUtil::getPushEnable(const DataRegistry& registry) {
    return registry.getBool(DataRegistryKey::BOOL_IS_PUSH_ENABLE, false);
}

bool FvnUtil::getOsPushEnable(const DataRegistry& registry) {
    return registry.getBool(DataRegistryKey::BOOL_IS_PUSH_ENABLE_OS, false);
}

}  // namespace sorvel
