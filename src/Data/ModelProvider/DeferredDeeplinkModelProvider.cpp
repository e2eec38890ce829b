#include "Data/ModelProvider/DeferredDeeplinkModelProvider.h"

#include "Common/DataRegistry.h"

namespace sorvel {

DeferredDeeplinkModelProvider::DeferredDeeplinkModelProvider(std::shared_ptr<DataRegistry> registry)
    : registry_(std::move(registry)) {}

std::shared_ptr<IApiModel> DeferredDeeplinkModelProvider::getApiModel() {
    return getDeferredDeeplinkModel();
}

std::shared_ptr<DeferredDeeplinkModel> DeferredDeeplinkModelProvider::getDeferredDeeplinkModel()
    const {
    auto model = std::make_shared<DeferredDeeplinkModel>();
    model->platform = PLATFORM;
    model->deviceId = registry_->getStringOrNil(DataRegistryKey::STRING_ADID, std::nullopt);
    model->appkey = registry_->getStringOrNil(DataRegistryKey::STRING_APPKEY, std::nullopt);
    return model;
}

}  // namespace sorvel
