#include "Data/DataProviders/DeviceRealtimeDataProvider.h"

#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/KeyChain.h"
#include "Common/Language.h"
#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "Platform/Bundle.h"
#include "Platform/Crypto.h"
#include "Platform/Device.h"
#include "Platform/NotificationCenter.h"
#include "Platform/Reachability.h"

namespace sorvel {
namespace {

std::optional<std::string> primaryAddress() {
    for (const auto& ni : platform::Device::networkInterfaces()) {
        if (ni.up && !ni.loopback && ni.family == "ipv4") {
            return ni.address;
        }
    }
    return std::nullopt;
}

}  // namespace

DeviceRealtimeDataProvider::DeviceRealtimeDataProvider(std::shared_ptr<DataRegistry> registry,
                                                       std::shared_ptr<KeyChain> keychain)
    : registry_(std::move(registry)),
      keychain_(std::move(keychain)),
      reachabilityChanged_(std::make_shared<std::atomic<bool>>(false)) {
    reachabilityToken_ = platform::NotificationCenter::shared().addObserver(
        platform::Reachability::kSvlKvReachabilityChangedNotification,
        [changed = reachabilityChanged_](const std::string&, const std::optional<Value>&) {
            changed->store(true);
        });
}

DeviceRealtimeDataProvider::~DeviceRealtimeDataProvider() {
    platform::NotificationCenter::shared().removeObserver(reachabilityToken_);
}

StatusOr<std::string> DeviceRealtimeDataProvider::resolveDeviceId() {
    if (SvlLog::isQaMode()) {
        auto qa = platform::Bundle::info(QA_ADID_INFO_KEY);
        if (qa && qa->isString() && !qa->getString()->empty()) {
            return *qa->getString();
        }
    }
    if (!keychain_) {
        std::string fresh = platform::crypto::uuidString();
        SvlLog::error("DeviceRealtimeDataProvider :: no keychain; device id " + fresh +
                      " is not kept");
        return fresh;
    }
    // Held from the read to the save, so that threads resolving at once on a
    // first launch agree on one new id.
    platform::MutexLock lock(mu_);
    auto stored = keychain_->getAdid();
    if (auto* adid = std::get_if<std::string>(&stored); adid != nullptr && !adid->empty()) {
        knownId_ = *adid;
        return *adid;
    }
    if (const auto* error = std::get_if<KeyChainError>(&stored);
        error != nullptr && !error->noUsableItem()) {
        if (knownId_) {
            SvlLog::warning("DeviceRealtimeDataProvider :: getAdid failed : " +
                            error->description() + "; the device id of this launch stays");
            return *knownId_;
        }
        return Status::error("the keychain cannot be read : " + error->description());
    }
    // An id this launch already handed out is kept (and saved again) when the
    // item is missing, so a save that failed once does not make a new id on
    // every later call.
    std::string id = knownId_ ? *knownId_ : platform::crypto::uuidString();
    if (auto error = keychain_->saveAdid(id)) {
        SvlLog::error("DeviceRealtimeDataProvider :: saveAdid failed : " + error->description());
    }
    knownId_ = id;
    return id;
}

std::optional<KeyChainError> DeviceRealtimeDataProvider::deleteDeviceId() {
    platform::MutexLock lock(mu_);
    knownId_.reset();
    if (!keychain_) {
        return KeyChainError{platform::KeychainStatus::ITEM_NOT_FOUND};
    }
    return keychain_->deleteAdid();
}

void DeviceRealtimeDataProvider::refreshData() {
    // Counts as the last read, so the requests right after it need not read again.
    (void)rereadDue();
    refresh(true);
}

void DeviceRealtimeDataProvider::refreshDataForRequest() {
    refresh(rereadDue());
}

bool DeviceRealtimeDataProvider::rereadDue() {
    // Cleared before the read: a change posted while it runs makes the next
    // request read again.
    const bool changed = reachabilityChanged_->exchange(false);
    const platform::MonoTime now = platform::clockPtr()->monoNow();
    platform::MutexLock lock(cacheMu_);
    // A clock that went back (a host swapped it) makes the last read due too.
    if (!changed && osValues_ && lastRead_ && *lastRead_ <= now &&
        now - *lastRead_ < REREAD_INTERVAL) {
        return false;
    }
    lastRead_ = now;
    return true;
}

void DeviceRealtimeDataProvider::refresh(bool reread) {
    std::optional<std::string> knownId;
    if (!reread && !SvlLog::isQaMode()) {
        platform::MutexLock lock(mu_);
        knownId = knownId_;
    }
    auto adid = knownId ? StatusOr<std::string>(*knownId) : resolveDeviceId();
    if (adid) {
        registry_->putString(adid.value(), DataRegistryKey::STRING_ADID);
    } else {
        SvlLog::error("DeviceRealtimeDataProvider :: no device id for now : " +
                      adid.status().message());
    }

    // The advertising id is read only while the app allows it.
    std::string idfa = SVLBooleanState::isStopGettingIDFA().get()
                           ? std::string(platform::Device::ZERO_ADVERTISING_ID)
                           : platform::Device::advertisingIdentifier();
    registry_->putString(idfa, DataRegistryKey::STRING_IDFA);
    registry_->putInt(static_cast<std::int64_t>(platform::Device::trackingAuthorizationStatus()),
                      DataRegistryKey::INT_ATT_STATUS);

    OsValues os;
    if (reread) {
        os = OsValues{platform::Reachability::shared().currentStatus(), primaryAddress()};
        platform::MutexLock lock(cacheMu_);
        osValues_ = os;
    } else {
        platform::MutexLock lock(cacheMu_);
        os = osValues_.value_or(OsValues{});
    }
    registry_->putString(os.networkType, DataRegistryKey::STRING_NETWORK_TYPE);
    auto carrier = platform::Device::carrier();
    registry_->putString(carrier ? std::optional<std::string>(carrier->name) : std::nullopt,
                         DataRegistryKey::STRING_CARRIER_NAME);
    registry_->putString(platform::Device::radioAccessTechnology(),
                         DataRegistryKey::STRING_RADIO_TYPE);
    registry_->putString(os.ipAddress, DataRegistryKey::STRING_IP_ADDRESS);
    registry_->putString(FvnUtil::getLanguage(), DataRegistryKey::STRING_LANGUAGE);
}

}  // namespace sorvel
