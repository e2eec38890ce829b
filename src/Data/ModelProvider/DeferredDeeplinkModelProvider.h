#pragma once

#include <memory>

#include "Network/ApiModel.h"
#include "Network/Model/DeferredDeeplinkModel.h"

namespace sorvel {

class DataRegistry;

// Builds the deferred-deeplink request: platform "ios", the stored device id
// and app key.
class DeferredDeeplinkModelProvider : public IApiModelProvider {
  public:
    static constexpr const char* PLATFORM = "ios";

    explicit DeferredDeeplinkModelProvider(std::shared_ptr<DataRegistry> registry);
    std::shared_ptr<IApiModel> getApiModel() override;
    std::shared_ptr<DeferredDeeplinkModel> getDeferredDeeplinkModel() const;

  private:
    std::shared_ptr<DataRegistry> registry_;
};

}  // namespace sorvel
