#pragma once

#include <memory>

#include "Network/ApiModel.h"

namespace sorvel {

class DataRegistry;

// Builds the GDPR erasure request for the stored device id and app key.
class GDPRModelProvider : public IApiModelProvider {
  public:
    explicit GDPRModelProvider(std::shared_ptr<DataRegistry> registry);
    std::shared_ptr<IApiModel> getApiModel() override;

  private:
    std::shared_ptr<DataRegistry> registry_;
};

}  // namespace sorvel
