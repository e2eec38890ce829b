#pragma once

#include <optional>
#include <string>

#include "Network/ApiModel.h"

namespace sorvel {

// The GDPR erasure request: one erasure of everything known under the device id.
struct GDPRModel : IApiModel {
    std::string url;
    std::string subjectRequestId;       // "subject_request_id": a fresh UUID
    std::string submittedTime;          // "submitted_time": the request time
    std::optional<std::string> appkey;  // "app_key"
    std::optional<std::string> adid;    // in "subject_identities"

    std::string getUrl() const override { return url; }
    Value::Map toDictionary() const override;
};

}  // namespace sorvel
