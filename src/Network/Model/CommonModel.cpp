#include "Network/Model/CommonModel.h"

#include "Base/JsonText.h"

namespace sorvel {
namespace {

// An absent field is sent as null, so every block always has the same keys.
Value orNull(const std::optional<std::string>& v) {
    return v ? Value(*v) : Value(nullptr);
}

}  // namespace

void IdentityModel::appendJson(std::string& out) const {
    json::ObjectWriter o(out);
    o.text("adid", adid);
    o.value("att_status", Value(attStatus));
    o.text("device_id", deviceId);
    o.text("idfa", idfa);
    o.value("is_push_enable", Value(isPushEnable));
    o.value("is_push_enable_os", Value(isPushEnableOs));
    o.text("registration_id", registrationId);
}

void DeviceModel::appendJson(std::string& out) const {
    json::ObjectWriter o(out);
    o.text("carrier", carrier);
    o.text("ip_address", ipAddress);
    o.text("language", language);
    o.text("model", model);
    o.text("network_type", networkType);
    o.text("os_version", osVersion);
    o.text("platform", platform);
    o.text("radio", radio);
}

void CommonModel::appendJson(std::string& out) const {
    json::ObjectWriter o(out);
    o.text("api_version", apiVersion);
    o.text("app_key", appkey);
    o.text("app_version", appVersion);
    o.text("build_id", buildId);
    device.appendJson(o.key("device"));
    identity.appendJson(o.key("identity"));
    o.text("installer", installer);
    o.text("package_name", packageName);
    o.text("request_datetime", requestDatetime);
    o.text("sdk_version", sdkVersion);
}

CommonBlockText::CommonBlockText(CommonModel values) : model(std::move(values)) {
    model.requestDatetime.clear();
    std::string whole;
    model.appendJson(whole);
    // The time is the last member but one; the one after it is the SDK's
    // version, a constant, so the last match is the time's own key.
    static constexpr std::string_view kTimeMember = R"("request_datetime":"")";
    const std::size_t at = whole.rfind(kTimeMember);
    const std::size_t valueAt = at + kTimeMember.size() - 2;
    head = whole.substr(0, valueAt);
    tail = whole.substr(valueAt + 2);
}

CommonBlock CommonBlock::of(const CommonModel& model) {
    return CommonBlock{std::make_shared<const CommonBlockText>(model), model.requestDatetime};
}

CommonModel CommonBlock::model() const {
    CommonModel m = text->model;
    m.requestDatetime = requestDatetime;
    return m;
}

void CommonBlock::appendJson(std::string& out) const {
    out += text->head;
    json::appendString(out, requestDatetime);
    out += text->tail;
}

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
