#include "Data/ModelProvider/CommonModelProvider.h"

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/FvnUtil.h"
#include "Common/SvlLog.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Platform/Device.h"
#include "Platform/Dispatch.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"

namespace sorvel {
namespace {

struct ListenerState {
    platform::Mutex mu;
    CommonModelProvider::OsPushEnableListener listener GUARDED_BY(mu);
};

ListenerState& listenerState() {
    // Never destroyed: a request on a global-queue thread may still build its
    // common block while the process exits.
    static platform::NoDestructor<ListenerState> holder;
    static ListenerState& state = holder.get();
    static const bool registered = [] {
        platform::registerResetHook([] {
            platform::MutexLock lock(state.mu);
            state.listener = nullptr;
        });
        return true;
    }();
    (void)registered;
    return state;
}

}  // namespace

CommonModelProvider::CommonModelProvider(
    std::shared_ptr<DataRegistry> registry,
    std::shared_ptr<DeviceRealtimeDataProvider> realtimeProvider)
    : registry_(std::move(registry)), realtimeProvider_(std::move(realtimeProvider)) {}

void CommonModelProvider::setOsPushEnableListener(OsPushEnableListener listener) {
    auto& s = listenerState();
    platform::MutexLock lock(s.mu);
    s.listener = std::move(listener);
}

bool CommonModelProvider::getOsPushEnable() {
    if (platform::isMainThread()) {
        SvlLog::error(
            "CommonModelProvider.getOsPushEnable :: called on the main thread; "
            "the stored permission is used");
        return FvnUtil::getOsPushEnable(*registry_);
    }
    using Status = platform::NotificationAuthorizationStatus;
    const Status status = platform::Device::notificationAuthorizationStatus();
    const bool enabled = status == Status::authorized || status == Status::provisional ||
                         status == Status::ephemeral;
    OsPushEnableListener listener;
    {
        auto& s = listenerState();
        platform::MutexLock lock(s.mu);
        listener = s.listener;
    }
    if (listener) {
        listener(enabled);
    }
    return enabled;
}

CommonModel CommonModelProvider::getDataModel() {
    if (realtimeProvider_) {
        realtimeProvider_->refreshDataForRequest();
    }
    const DataRegistry& reg = *registry_;
    auto str = [&](DataRegistryKey key) { return reg.getStringOrNil(key, std::nullopt); };

    CommonModel model;
    model.requestDatetime = FvnUtil::getCurrentDatetimeString();

    model.identity.adid = str(DataRegistryKey::STRING_ADID);
    model.identity.deviceId = str(DataRegistryKey::STRING_DEVICE_ID);
    model.identity.idfa =
        reg.getString(DataRegistryKey::STRING_IDFA, platform::Device::ZERO_ADVERTISING_ID);
    model.identity.attStatus = reg.getInt(DataRegistryKey::INT_ATT_STATUS, 0);
    model.identity.registrationId = str(DataRegistryKey::STRING_REGISTRATION_ID);
    model.identity.isPushEnable = reg.getBool(DataRegistryKey::BOOL_IS_PUSH_ENABLE, false);
    model.identity.isPushEnableOs = getOsPushEnable();

    model.device.model = str(DataRegistryKey::STRING_DEVICE_MODEL);
    model.device.osVersion = str(DataRegistryKey::STRING_OS_VERSION);
    model.device.language = str(DataRegistryKey::STRING_LANGUAGE);
    model.device.networkType = str(DataRegistryKey::STRING_NETWORK_TYPE);
    model.device.carrier = str(DataRegistryKey::STRING_CARRIER_NAME);
    model.device.radio = str(DataRegistryKey::STRING_RADIO_TYPE);
    model.device.ipAddress = str(DataRegistryKey::STRING_IP_ADDRESS);

    model.packageName = str(DataRegistryKey::STRING_PACKAGE_NAME);
    model.appkey = str(DataRegistryKey::STRING_APPKEY);
    model.apiVersion = SdkVersion::API_VERSION;
    model.sdkVersion = SdkVersion::SDK_VERSION;
    model.installer = str(DataRegistryKey::STRING_INSTALLER);
    model.appVersion = str(DataRegistryKey::STRING_APP_VERSION);
    model.buildId = str(DataRegistryKey::STRING_BUILD_ID);
    return model;
}

}  // namespace sorvel
