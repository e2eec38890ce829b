#include "Data/DataProviders/DeviceStaticDataProvider.h"

#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Platform/Bundle.h"
#include "Platform/Device.h"

namespace sorvel {

DeviceStaticDataProvider::DeviceStaticDataProvider(std::shared_ptr<DataRegistry> registry)
    : registry_(std::move(registry)) {}

void DeviceStaticDataProvider::refreshData() {
    registry_->putString(platform::Device::model(), DataRegistryKey::STRING_DEVICE_MODEL);
    registry_->putString(platform::Device::osVersion(), DataRegistryKey::STRING_OS_VERSION);
    registry_->putString(platform::Bundle::bundleId(), DataRegistryKey::STRING_PACKAGE_NAME);
    registry_->putString(platform::Bundle::appVersion(), DataRegistryKey::STRING_APP_VERSION);
    registry_->putString(platform::Bundle::buildNumber(), DataRegistryKey::STRING_BUILD_ID);
    registry_->putString(std::string(INSTALLER), DataRegistryKey::STRING_INSTALLER);
}

}  // namespace sorvel
