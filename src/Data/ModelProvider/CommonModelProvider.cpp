#include "Data/ModelProvider/CommonModelProvider.h"

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/DatesAndIds.h"
#include "Common/RegistryStates.h"
#include "Common/SdkState.h"
#include "Common/SvlLog.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Platform/Device.h"
#include "Platform/Dispatch.h"
#include "Platform/Mutex.h"

namespace sorvel {
namespace {

struct ListenerState : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::osPushListener;

    platform::Mutex mu;
    // Shared, so that a request takes it without copying the function.
    std::shared_ptr<const CommonModelProvider::OsPushEnableListener> listener GUARDED_BY(mu);

    // A request of the last SDK still building its common block tells nobody.
    void retire() override {
        std::shared_ptr<const CommonModelProvider::OsPushEnableListener> gone;
        platform::MutexLock lock(mu);
        gone.swap(listener);
    }
};

ListenerState& listenerState() {
    return SdkState::shared().part<ListenerState>();
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
    auto shared =
        listener ? std::make_shared<const OsPushEnableListener>(std::move(listener)) : nullptr;
    auto& s = listenerState();
    platform::MutexLock lock(s.mu);
    s.listener.swap(shared);
}

bool CommonModelProvider::getOsPushEnable() {
    if (platform::isMainThread()) {
        SvlLog::error(
            "CommonModelProvider.getOsPushEnable :: called on the main thread; "
            "the stored permission is used",
            false);
        return FvnUtil::getOsPushEnable(*registry_);
    }
    return readOsPushEnable();
}

bool CommonModelProvider::readOsPushEnable() {
    using Status = platform::NotificationAuthorizationStatus;
    const Status status = platform::Device::notificationAuthorizationStatus();
    const bool enabled = status == Status::authorized || status == Status::provisional ||
                         status == Status::ephemeral;
    std::shared_ptr<const OsPushEnableListener> listener;
    {
        auto& s = listenerState();
        platform::MutexLock lock(s.mu);
        listener = s.listener;
    }
    if (listener) {
        (*listener)(enabled);
    }
    return enabled;
}

std::shared_ptr<const RealtimeData> CommonModelProvider::freshData() {
    std::shared_ptr<const RealtimeData> data;
    if (realtimeProvider_) {
        data = realtimeProvider_->refreshDataForRequest();
    }
    if (!data) {
        data = std::make_shared<const RealtimeData>(RealtimeData::readFrom(*registry_));
    }
    return data;
}

void CommonModelProvider::fillFresh(const RealtimeData& data, bool pushEnableOs,
                                    CommonModel& model) {
    model.identity.adid = data.adid;
    model.identity.idfa = data.idfa;
    model.identity.attStatus = data.attStatus;
    model.identity.isPushEnableOs = pushEnableOs;
    model.device.language = data.language;
    model.device.networkType = data.networkType;
    model.device.carrier = data.carrier;
    model.device.radio = data.radio;
    model.device.ipAddress = data.ipAddress;
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
    auto data = freshData();
    fillFresh(*data, getOsPushEnable(), model);
    model.requestDatetime = FvnUtil::getCurrentDatetimeString();
    readStored(*registry_, model);
    return model;
}

CommonBlock CommonModelProvider::getCommonBlock() {
    if (!cache_) {
        return CommonBlock::of(getDataModel());
    }
    auto data = freshData();
    const bool pushEnableOs = getOsPushEnable();
    std::string now = FvnUtil::getCurrentDatetimeString();
    return CommonBlock{cache_->textFor(*data, pushEnableOs), std::move(now)};
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
bool sameFreshValues(const CommonModel& a, const RealtimeData& b, bool pushEnableOs) {
    return a.identity.adid == b.adid && a.identity.idfa == b.idfa &&
           a.identity.attStatus == b.attStatus && a.identity.isPushEnableOs == pushEnableOs &&
           a.device.language == b.language && a.device.networkType == b.networkType &&
           a.device.carrier == b.carrier && a.device.radio == b.radio &&
           a.device.ipAddress == b.ipAddress;
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

std::shared_ptr<const CommonBlockText> CommonBlockCache::textFor(const RealtimeData& fresh,
                                                                 bool pushEnableOs) {
    const std::uint64_t changes = changes_->load();
    {
        platform::MutexLock lock(mu_);
        if (text_ && builtAtChange_ == changes &&
            sameFreshValues(text_->model, fresh, pushEnableOs)) {
            return text_;
        }
    }
    // Read after the count: a change that lands meanwhile makes the next
    // request read again.
    CommonModel model;
    CommonModelProvider::fillFresh(fresh, pushEnableOs, model);
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
