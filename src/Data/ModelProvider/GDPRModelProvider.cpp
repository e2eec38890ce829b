#include "Data/ModelProvider/GDPRModelProvider.h"

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DatesAndIds.h"
#include "Network/Model/GDPRModel.h"
#include "Platform/Crypto.h"

namespace sorvel {

GDPRModelProvider::GDPRModelProvider(std::shared_ptr<DataRegistry> registry)
    : registry_(std::move(registry)) {}

std::shared_ptr<IApiModel> GDPRModelProvider::getApiModel() {
    auto model = std::make_shared<GDPRModel>();
    model->url = Constants::GDPR_URL();
    model->subjectRequestId = platform::crypto::uuidString();
    model->submittedTime = FvnUtil::getCurrentDatetimeString();
    model->appkey = registry_->getStringOrNil(DataRegistryKey::STRING_APPKEY, std::nullopt);
    model->adid = registry_->getStringOrNil(DataRegistryKey::STRING_ADID, std::nullopt);
    return model;
}

}  // namespace sorvel
