#pragma once

#include <memory>
#include <string>

#include "Data/DataProviders/IDataProvider.h"

namespace sorvel {

class DataRegistry;
class KeyChain;

// Stores the device values that can change while the app runs: the device id,
// the advertising id and tracking authorisation, the network type, carrier,
// radio and address, and the language.
//
// The device id is the Info key "SorvelQaAdid" in quality-assurance mode, else
// the one in the keychain, else a new UUID that is saved to the keychain.
class DeviceRealtimeDataProvider : public IDataProvider {
  public:
    static constexpr const char* QA_ADID_INFO_KEY = "SorvelQaAdid";

    DeviceRealtimeDataProvider(std::shared_ptr<DataRegistry> registry,
                               std::shared_ptr<KeyChain> keychain);
    void refreshData() override;

    // The device id by the rule above (saves a new one to the keychain).
    std::string resolveDeviceId();

  private:
    std::shared_ptr<DataRegistry> registry_;
    std::shared_ptr<KeyChain> keychain_;
};

}  // namespace sorvel
