#include "Data/ModelProvider/InAppMessageModelProvider.h"

#include "Common/DataRegistry.h"
#include "Data/ModelProvider/CommonModelProvider.h"
#include "Network/Model/InAppMessageModel.h"

namespace sorvel {

InAppMessageModelProvider::InAppMessageModelProvider(
    std::shared_ptr<DataRegistry> dataRegistry,
    std::shared_ptr<DeviceRealtimeDataProvider> realtimeProvider)
    : dataRegistry_(std::move(dataRegistry)), realtimeProvider_(std::move(realtimeProvider)) {}

std::shared_ptr<IApiModel> InAppMessageModelProvider::getApiModel() {
    CommonModel common = CommonModelProvider(dataRegistry_, realtimeProvider_).getDataModel();
    // Read now: a request built after an ingest carries that ingest's checksum.
    std::string checksum =
        dataRegistry_->getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, "");
    return std::make_shared<InAppMessageModel>(std::move(common), std::move(checksum));
}

}  // namespace sorvel
