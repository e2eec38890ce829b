#include "Data/DataProviders/DeviceStaticDataProvider.h"

#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Platform/Bundle.h"
#include "Platform/Device.h"

namespace sorvel {

DeviceStaticDataProvider::DeviceStaticDataProvider(std::shared_ptr<DataRegistry> registry)
    : registry_(std::move(registry)) {}

void DeviceStaticDataProvider::refreshData() {
    registry_->putString(platform::Device::model(), rawValue(DataRegistryKey::STRING_DEVICE_MODEL));
    registry_->putString(platform::Device::osVersion(),
                         rawValue(DataRegistryKey::STRING_OS_VERSION));
    registry_->putString(platform::Bundle::bundleId(),
                         rawValue(DataRegistryKey::STRING_PACKAGE_NAME));
    registry_->putString(platform::Bundle::appVersion(),
                         rawValue(DataRegistryKey::STRING_APP_VERSION));
    registry_->putString(platform::Bundle::buildNumber(),
                         rawValue(DataRegistryKey::STRING_BUILD_ID));
    registry_->putString(std::string(INSTALLER), rawValue(DataRegistryKey::STRING_INSTALLER));
}

}  // namespace sorvel
