#pragma once

#include <optional>
#include <string>

#include "Network/ApiModel.h"

namespace sorvel {

// The request for a deeplink the user tapped before installing the app. Its
// body has no common block; the request is signed with the time of sending.
struct DeferredDeeplinkModel : IApiModel {
    std::string platform;                 // "platform"
    std::optional<std::string> deviceId;  // "device_id"
    std::optional<std::string> appkey;    // fills the URL

    // The event server's "/api/v6/deferred-deeplink/%@" with the app key.
    std::string getUrl() const override;
    Value::Map toDictionary() const override;
};

}  // namespace sorvel
