#include "Event/EventBundleModelProvider.h"

#include "Event/EventBundleModel.h"

namespace sorvel {

EventBundleModelProvider::EventBundleModelProvider(CommonModel commonModel,
                                                   std::shared_ptr<const EventPackage> eventPackage)
    : commonModel_(std::move(commonModel)), eventPackage_(std::move(eventPackage)) {}

std::shared_ptr<IApiModel> EventBundleModelProvider::getApiModel() {
    return std::make_shared<EventBundleModel>(commonModel_, eventPackage_,
                                              commonModel_.appkey.value_or(""));
}

}  // namespace sorvel
