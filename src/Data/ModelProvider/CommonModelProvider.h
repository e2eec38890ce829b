#pragma once

#include <functional>
#include <memory>

#include "Network/ApiModel.h"
#include "Network/Model/CommonModel.h"

namespace sorvel {

class DataRegistry;
class DeviceRealtimeDataProvider;

// Builds the common block of a request from the stored and current device
// data, with the current time as its request time.
class CommonModelProvider : public IDataModelProvider<CommonModel> {
  public:
    CommonModelProvider(std::shared_ptr<DataRegistry> registry,
                        std::shared_ptr<DeviceRealtimeDataProvider> realtimeProvider);

    // Refreshes the changing device data first (as a request does, see
    // DeviceRealtimeDataProvider::refreshDataForRequest).
    CommonModel getDataModel() override;

    // The OS notification permission. Off the main thread it is read from the
    // OS and handed to the permission listener; on the main thread (which must not
    // block waiting for the OS) an error line is logged and the stored value
    // is used.
    bool getOsPushEnable();

    // Receives each permission read from the OS; the push subsystem sets it
    // (Common/CoreHooks.h).
    using OsPushEnableListener = std::function<void(bool)>;
    static void setOsPushEnableListener(OsPushEnableListener listener);

  private:
    std::shared_ptr<DataRegistry> registry_;
    std::shared_ptr<DeviceRealtimeDataProvider> realtimeProvider_;
};

}  // namespace sorvel
