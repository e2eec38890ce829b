#include "Network/Model/GDPRModel.h"

namespace sorvel {

Value::Map GDPRModel::toDictionary() const {
    Value::Map identity{
        {"identity_type", Value("device_id")},
        {"identity_format", Value("raw")},
        {"identity_value", adid ? Value(*adid) : Value(nullptr)},
    };
    return Value::Map{
        {"subject_request_id", Value(subjectRequestId)},
        {"subject_request_type", Value("erasure")},
        {"submitted_time", Value(submittedTime)},
        {"app_key", appkey ? Value(*appkey) : Value(nullptr)},
        {"subject_identities", Value(Value::Array{Value(std::move(identity))})},
    };
}

}  // namespace sorvel
