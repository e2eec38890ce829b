#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Base/Status.h"
#include "Common/KeyChain.h"
#include "Data/DataProviders/IDataProvider.h"
#include "Platform/Clock.h"
#include "Platform/Mutex.h"
#include "Platform/NotificationCenter.h"

namespace sorvel {

class DataRegistry;

// The values a request stores, as the registry holds them ("" and 0 where it
// holds none or one of another type, as the registry's getters answer).
struct RealtimeData {
    std::optional<std::string> adid;
    std::string idfa;
    std::int64_t attStatus = 0;
    std::optional<std::string> networkType;
    std::optional<std::string> carrier;
    std::optional<std::string> radio;
    std::optional<std::string> ipAddress;
    std::optional<std::string> language;

    bool operator==(const RealtimeData&) const = default;
    // The values `registry` holds now.
    static RealtimeData readFrom(const DataRegistry& registry);
};

// Stores the device values that can change while the app runs: the device id,
// the advertising id and tracking authorisation, the network type, carrier,
// radio and address, and the language.
//
// The device id is the Info key "SorvelQaAdid" in quality-assurance mode, else
// the one in the keychain, else (no item, or one that cannot be decoded) a new
// UUID that is saved to the keychain. A keychain that cannot be read right now
// never leads to a new id, which would split the user's history on the server:
// the id this provider resolved before is used, else there is none for now
// and the next call reads again.
//
// Every request stores these values again. Three of them cost a read of the
// OS each (the keychain item, the route tables, the network interfaces) and
// rarely change, so a request reads them again only when the last read is
// older than REREAD_INTERVAL or a change of reachability was posted since.
// A request skips the store's writes only while the registry provably holds
// what it would write: the values it found after its last writes, with no
// key's version moved since. So one removed or changed in the registry
// meanwhile is back at the next request.
class DeviceRealtimeDataProvider : public IDataProvider {
  public:
    static constexpr const char* QA_ADID_INFO_KEY = "SorvelQaAdid";
    static constexpr platform::Millis REREAD_INTERVAL{5000};

    DeviceRealtimeDataProvider(std::shared_ptr<DataRegistry> registry,
                               std::shared_ptr<KeyChain> keychain);
    ~DeviceRealtimeDataProvider() override;
    DeviceRealtimeDataProvider(const DeviceRealtimeDataProvider&) = delete;
    DeviceRealtimeDataProvider& operator=(const DeviceRealtimeDataProvider&) = delete;

    // Reads everything again. Without a device id for now, the stored one (if
    // any) stays as it is.
    void refreshData() override;
    // The refresh of every request: as refreshData(), with the rarely changing
    // OS values read again only as said above. Answers the values the
    // registry held once they were stored, shared with the next requests while
    // they stay; nothing when another writer changed one of them meanwhile
    // (the registry is then to be read).
    std::shared_ptr<const RealtimeData> refreshDataForRequest();

    // The device id by the rule above (saves a new one to the keychain);
    // fails when there is none for now.
    StatusOr<std::string> resolveDeviceId();
    // Deletes the keychain item and forgets the id of this launch, so the next
    // resolve makes a new one instead of saving the deleted one again. A
    // missing item is a failure too.
    StatusOr<void, KeyChainError> deleteDeviceId();

  private:
    // The OS values a request may take from the last read.
    struct OsValues {
        std::string networkType;
        std::optional<std::string> ipAddress;
    };
    // The values a request stores, read from the OS (or the last read).
    RealtimeData current(bool reread);
    std::shared_ptr<const RealtimeData> refresh(bool reread);
    // Stores `values`, then notes what the registry holds of them, with
    // the keys' versions of that moment.
    std::shared_ptr<const RealtimeData> store(const RealtimeData& values);
    // Whether the rarely changing values are to be read again now; when they
    // are, the read counts as done from now on.
    bool rereadDue();

    std::shared_ptr<DataRegistry> registry_;
    std::shared_ptr<KeyChain> keychain_;
    platform::Mutex mu_;
    // The id this provider last read from the keychain or made, for this launch.
    std::optional<std::string> knownId_ GUARDED_BY(mu_);

    platform::Mutex cacheMu_;
    std::optional<platform::MonoTime> lastRead_ GUARDED_BY(cacheMu_);
    std::optional<OsValues> osValues_ GUARDED_BY(cacheMu_);
    // What the registry held after the last writes, and the versions of its
    // keys then; nothing while it held something else.
    std::shared_ptr<const RealtimeData> stored_ GUARDED_BY(cacheMu_);
    std::array<std::uint64_t, 8> storedVersions_ GUARDED_BY(cacheMu_){};
    // Set by the reachability observer; shared with it so it can outlive this.
    const std::shared_ptr<std::atomic<bool>> reachabilityChanged_;
    platform::NotificationCenter::Token reachabilityToken_ = 0;
};

}  // namespace sorvel
