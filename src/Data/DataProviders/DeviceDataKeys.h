#pragma once

namespace sorvel {

// Registry keys of the device data the providers store and the common block
// reads, and of the remote configuration values that have no case of their
// own yet. Each stored key is "svlPrefKey_" followed by the case name.
struct DeviceDataKey {
    static constexpr const char* STRING_DEVICE_MODEL = "svlPrefKey_STRING_DEVICE_MODEL";
    static constexpr const char* STRING_OS_VERSION = "svlPrefKey_STRING_OS_VERSION";
    static constexpr const char* STRING_PACKAGE_NAME = "svlPrefKey_STRING_PACKAGE_NAME";
    static constexpr const char* STRING_APP_VERSION = "svlPrefKey_STRING_APP_VERSION";
    static constexpr const char* STRING_BUILD_ID = "svlPrefKey_STRING_BUILD_ID";
    static constexpr const char* STRING_INSTALLER = "svlPrefKey_STRING_INSTALLER";
    static constexpr const char* STRING_IDFA = "svlPrefKey_STRING_IDFA";
    static constexpr const char* INT_ATT_STATUS = "svlPrefKey_INT_ATT_STATUS";
    static constexpr const char* STRING_NETWORK_TYPE = "svlPrefKey_STRING_NETWORK_TYPE";
    static constexpr const char* STRING_CARRIER_NAME = "svlPrefKey_STRING_CARRIER_NAME";
    static constexpr const char* STRING_RADIO_TYPE = "svlPrefKey_STRING_RADIO_TYPE";
    static constexpr const char* STRING_IP_ADDRESS = "svlPrefKey_STRING_IP_ADDRESS";
    static constexpr const char* STRING_LANGUAGE = "svlPrefKey_STRING_LANGUAGE";
};

struct ConfigDataKey {
    static constexpr const char* ARRAY_S3_CONFIG_BLOCKED_EVENTS =
        "svlPrefKey_ARRAY_S3_CONFIG_BLOCKED_EVENTS";
    static constexpr const char* INT_S3_CONFIG_MAX_PROPERTY_SIZE =
        "svlPrefKey_INT_S3_CONFIG_MAX_PROPERTY_SIZE";
};

}  // namespace sorvel
