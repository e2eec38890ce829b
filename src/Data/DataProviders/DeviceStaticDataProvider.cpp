#include "Data/DataProviders/DeviceStaticDataProvider.h"

#include "Common/DataRegistry.h"
#include "Data/DataProviders/DeviceDataKeys.h"
#include "Platform/Bundle.h"
#include "Platform/Device.h"

namespace sorvel {

DeviceStaticDataProvider::DeviceStaticDataProvider(std::shared_ptr<DataRegistry> registry)
    : registry_(std::move(registry)) {}

void DeviceStaticDataProvider::refreshData() {
    registry_->putString(platform::Device::model(), DeviceDataKey::STRING_DEVICE_MODEL);
    registry_->putString(platform::Device::osVersion(), DeviceDataKey::STRING_OS_VERSION);
    registry_->putString(platform::Bundle::bundleId(), DeviceDataKey::STRING_PACKAGE_NAME);
    registry_->putString(platform::Bundle::appVersion(), DeviceDataKey::STRING_APP_VERSION);
    registry_->putString(platform::Bundle::buildNumber(), DeviceDataKey::STRING_BUILD_ID);
    registry_->putString(std::string(INSTALLER), DeviceDataKey::STRING_INSTALLER);
}

}  // namespace sorvel
