#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Network/ApiModel.h"
#include "Network/DROperationType.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;
class DeviceRealtimeDataProvider;
class DeviceStaticDataProvider;
class EventCounters;
class UserPropertyManager;

// Builds the body of one delete/restart synchronisation request, posted to the
// event server's "/api/v6/drworks/%@" with the app key of its common block.
//
// Both device providers refresh what they store before the common block is
// made: after a delete the registry holds only the two keys, and the restart
// that follows must still say which device it comes from.
//
// An INITIALIZE request (a restart after a delete) carries the init-restart
// event. Its time, id and previous id are stored, so that a repeat after a
// restart the server did not confirm sends the very same event again.
class DRModelProvider : public IApiModelProvider {
  public:
    DRModelProvider(std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider,
                    std::shared_ptr<DeviceStaticDataProvider> deviceStaticDataProvider,
                    std::shared_ptr<DataRegistry> dataRegistry,
                    std::shared_ptr<EventCounters> counters,
                    std::shared_ptr<UserPropertyManager> userPropertyManager,
                    DROperationType operationType, std::string userId);

    // For INITIALIZE a new init-restart event, whose time and ids are stored.
    std::shared_ptr<IApiModel> getApiModel() override;
    // The INITIALIZE request with the stored init-restart event. When none is
    // stored (or its time or id is missing) a new one is made, with a log line.
    std::shared_ptr<IApiModel> getResendApiModel();

  private:
    std::shared_ptr<IApiModel> makeModel(std::optional<Value::Map> event);

    const std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider_;
    const std::shared_ptr<DeviceStaticDataProvider> deviceStaticDataProvider_;
    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<EventCounters> counters_;
    const std::shared_ptr<UserPropertyManager> userPropertyManager_;
    const DROperationType operationType_;
    const std::string userId_;
};

}  // namespace sorvel
