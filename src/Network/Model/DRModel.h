#pragma once

#include <optional>
#include <string>

#include "Network/ApiModel.h"
#include "Network/DROperationType.h"
#include "sorvel/Value.h"

namespace sorvel {

// A delete/restart synchronisation request: what the app asked for, for which
// user, and, when the SDK starts again after a delete, the init-restart event.
struct DRModel : IApiModel {
    std::string url;
    Value::Map common;                                         // "common"
    DROperationType operationType = DROperationType::RESTART;  // "operation_type"
    std::string userId;                                        // "user_id"
    std::optional<Value::Map> event;                           // "event": only for INITIALIZE

    std::string getUrl() const override { return url; }
    Value::Map toDictionary() const override;
};

}  // namespace sorvel
