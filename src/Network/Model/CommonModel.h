#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Network/ApiModel.h"

namespace sorvel {

// Who the device and the user are, as every request tells the servers.
struct IdentityModel : IDataModel {
    std::optional<std::string> adid;            // "adid": the SDK's device id
    std::optional<std::string> deviceId;        // "device_id": the app's own device id
    std::string idfa;                           // "idfa": the advertising id (zeros when not read)
    std::int64_t attStatus = 0;                 // "att_status": tracking authorisation raw value
    std::optional<std::string> registrationId;  // "registration_id": the push token
    bool isPushEnable = false;                  // "is_push_enable"
    bool isPushEnableOs = false;                // "is_push_enable_os"

    Value::Map toDictionary() const override;
    // Appends the compact JSON of toDictionary() without building it.
    void appendJson(std::string& out) const;
};

// What the device is and how it is connected.
struct DeviceModel : IDataModel {
    std::string platform = "ios";            // "platform"
    std::optional<std::string> model;        // "model"
    std::optional<std::string> osVersion;    // "os_version"
    std::optional<std::string> language;     // "language"
    std::optional<std::string> networkType;  // "network_type": "wifi", "mobile" or "unknown"
    std::optional<std::string> carrier;      // "carrier"
    std::optional<std::string> radio;        // "radio"
    std::optional<std::string> ipAddress;    // "ip_address"

    Value::Map toDictionary() const override;
    void appendJson(std::string& out) const;
};

// The common block of every request body ("common").
struct CommonModel : IDataModel {
    std::string requestDatetime;             // "request_datetime": the signing time of the request
    IdentityModel identity;                  // "identity"
    DeviceModel device;                      // "device"
    std::optional<std::string> packageName;  // "package_name"
    std::optional<std::string> appkey;       // "app_key"
    std::string apiVersion;                  // "api_version"
    std::string sdkVersion;                  // "sdk_version"
    std::optional<std::string> installer;    // "installer"
    std::optional<std::string> appVersion;   // "app_version"
    std::optional<std::string> buildId;      // "build_id"

    Value::Map toDictionary() const override;
    // Appends the compact JSON of toDictionary() without building it: every
    // request writes one.
    void appendJson(std::string& out) const;
};

// The JSON text of a common block without its request time: the text before
// the time's value and the text after it. Written once for the values it
// holds, and shared by every request made while they stay.
struct CommonBlockText {
    explicit CommonBlockText(CommonModel model);

    // The values, with an empty request time.
    CommonModel model;
    std::string head;
    std::string tail;
};

// The common block of one request: the shared text of its values and the
// request's own time.
struct CommonBlock {
    std::shared_ptr<const CommonBlockText> text;
    std::string requestDatetime;

    // A block of its own for the model (nothing shared).
    static CommonBlock of(const CommonModel& model);
    // The block as a model, with its request time.
    CommonModel model() const;
    // The same bytes as model().appendJson(out), from the kept text.
    void appendJson(std::string& out) const;
};

}  // namespace sorvel
