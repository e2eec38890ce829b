#include "Data/ModelProvider/CommonModelProvider.h"

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/DatesAndIds.h"
#include "Common/RegistryStates.h"
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
    std::shared_ptr<DeviceRealtimeDataProvider> realtimeProvider,
    std::shared_ptr<CommonBlockCache> cache)
    : registry_(std::move(registry)),
      realtimeProvider_(std::move(realtimeProvider)),
      cache_(std::move(cache)) {}

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

void CommonModelProvider::readFresh(CommonModel& model) {
    if (realtimeProvider_) {
        realtimeProvider_->refreshDataForRequest();
    }
    const DataRegistry& reg = *registry_;
    auto str = [&](DataRegistryKey key) { return reg.getStringOrNil(key, std::nullopt); };
    model.identity.adid = str(DataRegistryKey::STRING_ADID);
    model.identity.idfa =
        reg.getString(DataRegistryKey::STRING_IDFA, platform::Device::ZERO_ADVERTISING_ID);
    model.identity.attStatus = reg.getInt(DataRegistryKey::INT_ATT_STATUS, 0);
    model.identity.isPushEnableOs = getOsPushEnable();
    model.device.language = str(DataRegistryKey::STRING_LANGUAGE);
    model.device.networkType = str(DataRegistryKey::STRING_NETWORK_TYPE);
    model.device.carrier = str(DataRegistryKey::STRING_CARRIER_NAME);
    model.device.radio = str(DataRegistryKey::STRING_RADIO_TYPE);
    model.device.ipAddress = str(DataRegistryKey::STRING_IP_ADDRESS);
}

void CommonModelProvider::readStored(const DataRegistry& reg, CommonModel& model) {
    auto str = [&](DataRegistryKey key) { return reg.getStringOrNil(key, std::nullopt); };
    model.identity.deviceId = str(DataRegistryKey::STRING_DEVICE_ID);
    model.identity.registrationId = str(DataRegistryKey::STRING_REGISTRATION_ID);
    model.identity.isPushEnable = reg.getBool(DataRegistryKey::BOOL_IS_PUSH_ENABLE, false);
    model.device.model = str(DataRegistryKey::STRING_DEVICE_MODEL);
    model.device.osVersion = str(DataRegistryKey::STRING_OS_VERSION);
    model.packageName = str(DataRegistryKey::STRING_PACKAGE_NAME);
    model.appkey = str(DataRegistryKey::STRING_APPKEY);
    model.apiVersion = SdkVersion::API_VERSION;
    model.sdkVersion = SdkVersion::SDK_VERSION;
    model.installer = str(DataRegistryKey::STRING_INSTALLER);
    model.appVersion = str(DataRegistryKey::STRING_APP_VERSION);
    model.buildId = str(DataRegistryKey::STRING_BUILD_ID);
}

CommonModel CommonModelProvider::getDataModel() {
    CommonModel model;
    readFresh(model);
    model.requestDatetime = FvnUtil::getCurrentDatetimeString();
    readStored(*registry_, model);
    return model;
}

CommonBlock CommonModelProvider::getCommonBlock() {
    if (!cache_) {
        return CommonBlock::of(getDataModel());
    }
    CommonModel fresh;
    readFresh(fresh);
    std::string now = FvnUtil::getCurrentDatetimeString();
    return CommonBlock{cache_->textFor(fresh), std::move(now)};
}

namespace {

// The keys of the values a common block keeps between requests.
constexpr DataRegistryKey kStoredKeys[] = {
    DataRegistryKey::STRING_DEVICE_ID,    DataRegistryKey::STRING_REGISTRATION_ID,
    DataRegistryKey::BOOL_IS_PUSH_ENABLE, DataRegistryKey::STRING_DEVICE_MODEL,
    DataRegistryKey::STRING_OS_VERSION,   DataRegistryKey::STRING_PACKAGE_NAME,
    DataRegistryKey::STRING_APPKEY,       DataRegistryKey::STRING_INSTALLER,
    DataRegistryKey::STRING_APP_VERSION,  DataRegistryKey::STRING_BUILD_ID,
};

// Whether the values a request reads afresh are those of the kept text.
bool sameFreshValues(const CommonModel& a, const CommonModel& b) {
    return a.identity.adid == b.identity.adid && a.identity.idfa == b.identity.idfa &&
           a.identity.attStatus == b.identity.attStatus &&
           a.identity.isPushEnableOs == b.identity.isPushEnableOs &&
           a.device.language == b.device.language && a.device.networkType == b.device.networkType &&
           a.device.carrier == b.device.carrier && a.device.radio == b.device.radio &&
           a.device.ipAddress == b.device.ipAddress;
}

}  // namespace

CommonBlockCache::CommonBlockCache(std::shared_ptr<DataRegistry> registry)
    : registry_(std::move(registry)), changes_(std::make_shared<std::atomic<std::uint64_t>>(0)) {
    // The registry keeps its listeners for good: they hold the counter only.
    auto listener = std::make_shared<DataUnitEventListener>(
        [changes = changes_](const std::optional<Value>&) { changes->fetch_add(1); });
    for (DataRegistryKey key : kStoredKeys) {
        registry_->addListener(key, listener);
    }
}

std::shared_ptr<const CommonBlockText> CommonBlockCache::textFor(const CommonModel& fresh) {
    const std::uint64_t changes = changes_->load();
    {
        platform::MutexLock lock(mu_);
        if (text_ && builtAtChange_ == changes && sameFreshValues(text_->model, fresh)) {
            return text_;
        }
    }
    // Read after the count: a change that lands meanwhile makes the next
    // request read again.
    CommonModel model = fresh;
    CommonModelProvider::readStored(*registry_, model);
    auto text = std::make_shared<const CommonBlockText>(std::move(model));
    rebuilds_.fetch_add(1);
    platform::MutexLock lock(mu_);
    if (!text_ || builtAtChange_ <= changes) {
        text_ = text;
        builtAtChange_ = changes;
    }
    return text;
}

}  // namespace sorvel
