#include "Network/Model/DRModel.h"

namespace sorvel {

Value::Map DRModel::toDictionary() const {
    Value::Map body{
        {"common", Value(common)},
        {"operation_type", Value(rawValue(operationType))},
        {"user_id", Value(userId)},
    };
    if (event) {
        body.emplace("event", Value(*event));
    }
    return body;
}

}  // namespace sorvel
