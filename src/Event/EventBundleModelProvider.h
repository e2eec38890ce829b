#pragma once

#include <memory>

#include "Event/EventPackage.h"
#include "Network/ApiModel.h"
#include "Network/Model/CommonModel.h"

namespace sorvel {

// Builds the upload body of one package over a common block made at send time.
class EventBundleModelProvider : public IApiModelProvider {
  public:
    EventBundleModelProvider(CommonModel commonModel,
                             std::shared_ptr<const EventPackage> eventPackage);

    // The app key of the URL is the common block's, "" when it has none.
    std::shared_ptr<IApiModel> getApiModel() override;

  private:
    CommonModel commonModel_;
    std::shared_ptr<const EventPackage> eventPackage_;
};

}  // namespace sorvel
