#pragma once

#include <string>

#include "Network/ApiModel.h"
#include "Network/Model/CommonModel.h"

namespace sorvel {

// The campaign-list request: the common block and the checksum of the list
// the device holds ("" when none), so the server can answer "unchanged".
struct InAppMessageModel : IApiModel {
    InAppMessageModel(CommonModel commonModel, std::string checksum)
        : commonModel(std::move(commonModel)), checksum(std::move(checksum)) {}

    CommonModel commonModel;  // "common"
    std::string checksum;     // "in_app_message": {"checksum": ...}

    // The campaign endpoint chosen now by region and server mode.
    std::string getUrl() const override;
    Value::Map toDictionary() const override;
};

}  // namespace sorvel
