#include "Network/Model/DeferredDeeplinkModel.h"

#include "Common/Constants.h"

namespace sorvel {

std::string DeferredDeeplinkModel::getUrl() const {
    return Constants::fill(Constants::DEFERRED_DEEPLINK_URL(), {appkey.value_or("")});
}

Value::Map DeferredDeeplinkModel::toDictionary() const {
    return Value::Map{
        {"platform", Value(platform)},
        {"device_id", deviceId ? Value(*deviceId) : Value(nullptr)},
    };
}

}  // namespace sorvel
