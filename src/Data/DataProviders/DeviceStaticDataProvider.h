#pragma once

#include <memory>

#include "Data/DataProviders/IDataProvider.h"

namespace sorvel {

class DataRegistry;

// Stores the device and app values that stay fixed during the run: the device
// model, the OS version, the package name, the app version and build, and the
// installer.
class DeviceStaticDataProvider : public IDataProvider {
  public:
    static constexpr const char* INSTALLER = "AppStore";

    explicit DeviceStaticDataProvider(std::shared_ptr<DataRegistry> registry);
    void refreshData() override;

  private:
    std::shared_ptr<DataRegistry> registry_;
};

}  // namespace sorvel
