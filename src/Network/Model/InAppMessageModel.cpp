#include "Network/Model/InAppMessageModel.h"

#include "Common/Constants.h"

namespace sorvel {

std::string InAppMessageModel::getUrl() const {
    return Constants::IAM_CAMPAIGNS_URL();
}

Value::Map InAppMessageModel::toDictionary() const {
    return Value::Map{
        {"common", Value(commonModel.toDictionary())},
        {"in_app_message", Value(Value::Map{{"checksum", Value(checksum)}})},
    };
}

}  // namespace sorvel
