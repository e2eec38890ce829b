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
        SvlLog::error(
            "DeviceRealtimeDataProvider :: no keychain; device id " + fresh + " is not kept",
            false);
        return fresh;
    }
    // Held from the read to the save, so that threads resolving at once on a
    // first launch agree on one new id.
    platform::MutexLock lock(mu_);
    auto stored = keychain_->getAdid();
    if (stored && !stored.value().empty()) {
        knownId_ = stored.value();
        return stored.value();
    }
    if (!stored && !stored.error().noUsableItem()) {
        if (knownId_) {
            SvlLog::warning(
                "DeviceRealtimeDataProvider :: getAdid failed : " + stored.error().description() +
                    "; the device id of this launch stays",
                false);
            return *knownId_;
        }
        return Status::error("the keychain cannot be read : " + stored.error().description());
    }
    // An id this launch already handed out is kept (and saved again) when the
    // item is missing, so a save that failed once does not make a new id on
    // every later call.
    std::string id = knownId_ ? *knownId_ : platform::crypto::uuidString();
    if (auto saved = keychain_->saveAdid(id); !saved) {
        SvlLog::error(
            "DeviceRealtimeDataProvider :: saveAdid failed : " + saved.error().description(),
            false);
    }
    knownId_ = id;
    return id;
}

StatusOr<void, KeyChainError> DeviceRealtimeDataProvider::deleteDeviceId() {
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
    (void)store(current(true));
}

std::shared_ptr<const RealtimeData> DeviceRealtimeDataProvider::refreshDataForRequest() {
    return refresh(rereadDue());
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

namespace {

// The keys a request stores, in the order of kept versions.
constexpr std::array<DataRegistryKey, 8> kRealtimeKeys = {
    DataRegistryKey::STRING_ADID,         DataRegistryKey::STRING_IDFA,
    DataRegistryKey::INT_ATT_STATUS,      DataRegistryKey::STRING_NETWORK_TYPE,
    DataRegistryKey::STRING_CARRIER_NAME, DataRegistryKey::STRING_RADIO_TYPE,
    DataRegistryKey::STRING_IP_ADDRESS,   DataRegistryKey::STRING_LANGUAGE,
};

std::optional<std::string> textOf(std::optional<Value>& v) {
    std::string* s = v ? v->getString() : nullptr;
    return s ? std::optional<std::string>(std::move(*s)) : std::nullopt;
}

// The values as the registry's getters answer them.
RealtimeData realtimeDataOf(std::array<std::optional<Value>, kRealtimeKeys.size()>& v) {
    RealtimeData d;
    d.adid = textOf(v[0]);
    d.idfa = textOf(v[1]).value_or(std::string(platform::Device::ZERO_ADVERTISING_ID));
    d.attStatus = (v[2] ? v[2]->toInt64() : std::nullopt).value_or(0);
    d.networkType = textOf(v[3]);
    d.carrier = textOf(v[4]);
    d.radio = textOf(v[5]);
    d.ipAddress = textOf(v[6]);
    d.language = textOf(v[7]);
    return d;
}

bool holdsCarrier(const std::optional<std::string>& held) {
    const auto carrier = platform::Device::carrier();
    return carrier ? held == carrier->name : !held;
}

}  // namespace

RealtimeData RealtimeData::readFrom(const DataRegistry& registry) {
    auto values = registry.getValues(kRealtimeKeys);
    return realtimeDataOf(values);
}

RealtimeData DeviceRealtimeDataProvider::current(bool reread) {
    RealtimeData d;
    std::optional<std::string> knownId;
    if (!reread && !SvlLog::isQaMode()) {
        platform::MutexLock lock(mu_);
        knownId = knownId_;
    }
    auto adid = knownId ? StatusOr<std::string>(std::move(*knownId)) : resolveDeviceId();
    if (adid) {
        d.adid = std::move(adid).value();
    } else {
        SvlLog::error(
            "DeviceRealtimeDataProvider :: no device id for now : " + adid.status().message(),
            false);
    }
    // The advertising id is read only while the app allows it.
    d.idfa = SVLBooleanState::isStopGettingIDFA().get()
                 ? std::string(platform::Device::ZERO_ADVERTISING_ID)
                 : platform::Device::advertisingIdentifier();
    d.attStatus = static_cast<std::int64_t>(platform::Device::trackingAuthorizationStatus());
    OsValues os;
    if (reread) {
        os = OsValues{platform::Reachability::shared().currentStatus(), primaryAddress()};
        platform::MutexLock lock(cacheMu_);
        osValues_ = os;
    } else {
        platform::MutexLock lock(cacheMu_);
        os = osValues_.value_or(OsValues{});
    }
    d.networkType = std::move(os.networkType);
    auto carrier = platform::Device::carrier();
    d.carrier = carrier ? std::optional<std::string>(std::move(carrier->name)) : std::nullopt;
    d.radio = platform::Device::radioAccessTechnology();
    d.ipAddress = std::move(os.ipAddress);
    d.language = FvnUtil::getLanguage();
    return d;
}

std::shared_ptr<const RealtimeData> DeviceRealtimeDataProvider::refresh(bool reread) {
    if (!reread && !SvlLog::isQaMode()) {
        std::shared_ptr<const RealtimeData> last;
        std::array<std::uint64_t, kRealtimeKeys.size()> versions{};
        bool sameOs = false;
        {
            platform::MutexLock lock(cacheMu_);
            last = stored_;
            versions = storedVersions_;
            sameOs = last && osValues_ && last->networkType == osValues_->networkType &&
                     last->ipAddress == osValues_->ipAddress;
        }
        bool unchanged = sameOs;
        for (std::size_t i = 0; unchanged && i < kRealtimeKeys.size(); ++i) {
            unchanged = registry_->version(kRealtimeKeys[i]) == versions[i];
        }
        if (unchanged) {
            platform::MutexLock lock(mu_);
            unchanged = knownId_ && last->adid == *knownId_;
        }
        // The OS is read as each request reads it; only the writes of what
        // the registry already holds are left out.
        if (unchanged &&
            last->idfa == (SVLBooleanState::isStopGettingIDFA().get()
                               ? std::string_view(platform::Device::ZERO_ADVERTISING_ID)
                               : std::string_view(platform::Device::advertisingIdentifier())) &&
            last->attStatus ==
                static_cast<std::int64_t>(platform::Device::trackingAuthorizationStatus()) &&
            holdsCarrier(last->carrier) &&
            last->radio == platform::Device::radioAccessTechnology() &&
            last->language == FvnUtil::getLanguage()) {
            return last;
        }
    }
    return store(current(reread));
}

std::shared_ptr<const RealtimeData> DeviceRealtimeDataProvider::store(const RealtimeData& d) {
    // Without a device id for now the stored one (if any) stays as it is.
    if (d.adid) {
        registry_->putString(d.adid, DataRegistryKey::STRING_ADID);
    }
    registry_->putString(d.idfa, DataRegistryKey::STRING_IDFA);
    registry_->putInt(d.attStatus, DataRegistryKey::INT_ATT_STATUS);
    registry_->putString(d.networkType, DataRegistryKey::STRING_NETWORK_TYPE);
    registry_->putString(d.carrier, DataRegistryKey::STRING_CARRIER_NAME);
    registry_->putString(d.radio, DataRegistryKey::STRING_RADIO_TYPE);
    registry_->putString(d.ipAddress, DataRegistryKey::STRING_IP_ADDRESS);
    registry_->putString(d.language, DataRegistryKey::STRING_LANGUAGE);

    // Read back with the versions of one moment: another writer may have
    // come in between, and then the next request writes again.
    std::array<std::uint64_t, kRealtimeKeys.size()> versions{};
    auto values = registry_->getValues(kRealtimeKeys, versions);
    auto held = std::make_shared<const RealtimeData>(realtimeDataOf(values));
    platform::MutexLock lock(cacheMu_);
    if (d.adid && *held == d) {
        stored_ = held;
        storedVersions_ = versions;
    } else {
        stored_.reset();
    }
    return held;
}

}  // namespace sorvel
