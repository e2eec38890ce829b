#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Base/Status.h"
#include "Common/KeyChain.h"
#include "Data/DataProviders/IDataProvider.h"
#include "Platform/Mutex.h"

namespace sorvel {

class DataRegistry;

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
class DeviceRealtimeDataProvider : public IDataProvider {
  public:
    static constexpr const char* QA_ADID_INFO_KEY = "SorvelQaAdid";

    DeviceRealtimeDataProvider(std::shared_ptr<DataRegistry> registry,
                               std::shared_ptr<KeyChain> keychain);
    // Without a device id for now, the stored one (if any) stays as it is.
    void refreshData() override;

    // The device id by the rule above (saves a new one to the keychain);
    // fails when there is none for now.
    StatusOr<std::string> resolveDeviceId();
    // Deletes the keychain item and forgets the id of this launch, so the next
    // resolve makes a new one instead of saving the deleted one again. Absent
    // on success; a missing item is a failure too.
    std::optional<KeyChainError> deleteDeviceId();

  private:
    std::shared_ptr<DataRegistry> registry_;
    std::shared_ptr<KeyChain> keychain_;
    platform::Mutex mu_;
    // The id this provider last read from the keychain or made, for this launch.
    std::optional<std::string> knownId_ GUARDED_BY(mu_);
};

}  // namespace sorvel
