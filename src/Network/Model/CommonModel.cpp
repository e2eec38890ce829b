#include "Network/Model/CommonModel.h"

namespace sorvel {
namespace {

// An absent field is sent as null, so every block always has the same keys.
Value orNull(const std::optional<std::string>& v) {
    return v ? Value(*v) : Value(nullptr);
}

}  // namespace

Value::Map IdentityModel::toDictionary() const {
    return Value::Map{
        {"adid", orNull(adid)},
        {"device_id", orNull(deviceId)},
        {"idfa", Value(idfa)},
        {"att_status", Value(attStatus)},
        {"registration_id", orNull(registrationId)},
        {"is_push_enable", Value(isPushEnable)},
        {"is_push_enable_os", Value(isPushEnableOs)},
    };
}

Value::Map DeviceModel::toDictionary() const {
    return Value::Map{
        {"platform", Value(platform)},
        {"model", orNull(model)},
        {"os_version", orNull(osVersion)},
        {"language", orNull(language)},
        {"network_type", orNull(networkType)},
        {"carrier", orNull(carrier)},
        {"radio", orNull(radio)},
        {"ip_address", orNull(ipAddress)},
    };
}

Value::Map CommonModel::toDictionary() const {
    return Value::Map{
        {"request_datetime", Value(requestDatetime)},
        {"identity", Value(identity.toDictionary())},
        {"device", Value(device.toDictionary())},
        {"package_name", orNull(packageName)},
        {"app_key", orNull(appkey)},
        {"api_version", Value(apiVersion)},
        {"sdk_version", Value(sdkVersion)},
        {"installer", orNull(installer)},
        {"app_version", orNull(appVersion)},
        {"build_id", orNull(buildId)},
    };
}

}  // namespace sorvel
