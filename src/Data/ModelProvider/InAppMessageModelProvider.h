#pragma once

#include <memory>

#include "Network/ApiModel.h"

namespace sorvel {

class DataRegistry;
class DeviceRealtimeDataProvider;

// Builds the campaign-list request from the current device data and the
// checksum of the last campaign list stored. Refreshing the device data may
// wait for the OS, so it is called off the main thread.
class InAppMessageModelProvider : public IApiModelProvider {
  public:
    InAppMessageModelProvider(std::shared_ptr<DataRegistry> dataRegistry,
                              std::shared_ptr<DeviceRealtimeDataProvider> realtimeProvider);
    std::shared_ptr<IApiModel> getApiModel() override;

  private:
    std::shared_ptr<DataRegistry> dataRegistry_;
    std::shared_ptr<DeviceRealtimeDataProvider> realtimeProvider_;
};

}  // namespace sorvel
