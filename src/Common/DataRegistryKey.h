#pragma once

#include <array>
#include <string_view>

namespace sorvel {

// The registry's keys. Each case's stored key is the text the settings suite
// keeps it under; changing one loses what existing installations stored.
enum class DataRegistryKey {
    STRING_SECRETKEY,
    STRING_ADID,
    STRING_APPKEY,
    STRING_DEVICE_ID,
    STRING_REGISTRATION_ID,
    STRING_LAST_FIRSTOPEN_ID,
    STRING_LAST_DEEPLINK_ID,
    STRING_LAST_OPEN_ID,
    STRING_PREV_ID,
    DOUBLE_LOCATION_LAT,
    DOUBLE_LOCATION_LNG,
    STRING_LOCATION_LWID,
    STRING_USER_SNAPSHOT_ID,
    DICTIONARY_USER_PROPERTIES,
    DICTIONARY_CI_PROPERTIES,
    DICTIONARY_V1_USER_PROPERTIES,
    BOOL_IS_END_SESSION_SENT_LAST,
    STRING_LAST_CREATED_SESSION_ID,
    STRING_LAST_END_SESSION_ID,
    INT64_LAST_SESSION_CREATED_TIME,
    INT64_LAST_SESSION_END_TIME,
    BOOL_GDPR_FORGET_ME,
    BOOL_GDPR_FORGET_ME_SERVER_SYNC,
    BOOL_S3_CONFIG_SORVEL_PAUSE,
    BOOL_S3_CONFIG_SORVEL_ALL_STOP,
    STRING_DAILY_FIRST_OPEN_PREV_DATE,
    STRING_SVL_NOTIFICATION_ID,
    DATA_UNSENT_EVENTPACKAGES,
    V1_UNSENT_EVENTPACKAGES,
    BOOL_IS_SDK_STOPPED,
    BOOL_IS_SDK_STOPPED_SERVER_SYNC,
    STRING_INIT_RESTART_EVENT_DATETIME,
    BOOL_IS_MIGRATED_TO_V2,
    STRING_DEEPLINK_URL,
    STRING_LAST_SVL_TID,
    STRING_IN_APP_MESSAGE_CHECKSUM,
    INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY,
    INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME,
    BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE,
    UINT64_SESSION_ORDER_NO,
    UINT64_EVENT_ORDER_NO,
    DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA,
    STRING_ACTION_HISTORY_MINUTES_TO_REFRESH,
    BOOL_IS_PUSH_ENABLE,
    BOOL_IS_PUSH_ENABLE_OS,
};

struct DataRegistryKeyInfo {
    DataRegistryKey key;
    std::string_view stored;
};

// Every case with its stored key, in declaration order.
inline constexpr std::array<DataRegistryKeyInfo, 45> kDataRegistryKeys{{
    {DataRegistryKey::STRING_SECRETKEY, "svlPrefKey_secretKey"},
    {DataRegistryKey::STRING_ADID, "svlPrefKey_adidSorvelKv"},
    {DataRegistryKey::STRING_APPKEY, "svlPrefKey_appKey"},
    {DataRegistryKey::STRING_DEVICE_ID, "svlPrefKey_STRING_DEVICE_ID"},
    {DataRegistryKey::STRING_REGISTRATION_ID, "svlPrefKey_registrationId"},
    {DataRegistryKey::STRING_LAST_FIRSTOPEN_ID, "svlPrefKey_last_firstopen_id"},
    {DataRegistryKey::STRING_LAST_DEEPLINK_ID, "svlPrefKey_last_deeplinkopen_id"},
    {DataRegistryKey::STRING_LAST_OPEN_ID, "svlPrefKey_last_open_id"},
    {DataRegistryKey::STRING_PREV_ID, "svlPrefKey_prev_id"},
    {DataRegistryKey::DOUBLE_LOCATION_LAT, "svlPrefKey_loc_lat"},
    {DataRegistryKey::DOUBLE_LOCATION_LNG, "svlPrefKey_loc_lon"},
    {DataRegistryKey::STRING_LOCATION_LWID, "svlPrefKey_loc_lwid"},
    {DataRegistryKey::STRING_USER_SNAPSHOT_ID, "svlPrefKey_STRING_USER_SNAPSHOT_ID"},
    {DataRegistryKey::DICTIONARY_USER_PROPERTIES, "svlPrefKey_DICTIONARY_USER_PROPERTIES"},
    {DataRegistryKey::DICTIONARY_CI_PROPERTIES, "svlPrefKey_DICTIONARY_CI_PROPERTIES"},
    {DataRegistryKey::DICTIONARY_V1_USER_PROPERTIES, "svlPrefKey_user_properties"},
    {DataRegistryKey::BOOL_IS_END_SESSION_SENT_LAST, "svlPrefKey_BOOL_IS_END_SESSION_SENT_LAST"},
    {DataRegistryKey::STRING_LAST_CREATED_SESSION_ID, "svlPrefKey_STRING_LAST_CREATED_SESSION_ID"},
    {DataRegistryKey::STRING_LAST_END_SESSION_ID, "svlPrefKey_STRING_LAST_END_SESSION_ID"},
    {DataRegistryKey::INT64_LAST_SESSION_CREATED_TIME,
     "svlPrefKey_INT64_LAST_SESSION_CREATED_TIME"},
    {DataRegistryKey::INT64_LAST_SESSION_END_TIME, "svlPrefKey_INT64_LAST_SESSION_END_TIME"},
    {DataRegistryKey::BOOL_GDPR_FORGET_ME, "svlPrefKey_isGdprForgetMe"},
    {DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC, "svlPrefKey_isGdprForgetMeServerResponse"},
    {DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE, "svlPrefKey_BOOL_S3_CONFIG_SORVEL_PAUSE"},
    {DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP, "svlPrefKey_BOOL_S3_CONFIG_SORVEL_ALL_STOP"},
    {DataRegistryKey::STRING_DAILY_FIRST_OPEN_PREV_DATE, "svlPrefKey_svlDailyFirstOpenDateTime"},
    {DataRegistryKey::STRING_SVL_NOTIFICATION_ID, "svlPrefKey_STRING_SVL_NOTIFICATION_ID"},
    {DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, "svlPrefKey_ARRAY_UNSENT_EVENTPACKAGES"},
    {DataRegistryKey::V1_UNSENT_EVENTPACKAGES, "svlKvEvtDatasInfoStored"},
    {DataRegistryKey::BOOL_IS_SDK_STOPPED, "svlPrefKey_isSDKStopped"},
    {DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC, "svlPrefKey_isSDKStoppedServerSync"},
    {DataRegistryKey::STRING_INIT_RESTART_EVENT_DATETIME, "svlPrefKey_initRestartEventDatetime"},
    {DataRegistryKey::BOOL_IS_MIGRATED_TO_V2, "svlPrefKey_BOOL_IS_MIGRATED_TO_V2"},
    {DataRegistryKey::STRING_DEEPLINK_URL, "svlPrefKey_STRING_DEEPLINK_URL"},
    {DataRegistryKey::STRING_LAST_SVL_TID, "svlPrefKey_STRING_LAST_SVL_TID"},
    {DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, "svlPrefKey_STRING_IN_APP_MESSAGE_CHECKSUM"},
    {DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY,
     "svlPrefKey_INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY"},
    {DataRegistryKey::INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME,
     "svlPrefKey_INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME"},
    {DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE,
     "svlPrefKey_BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE"},
    {DataRegistryKey::UINT64_SESSION_ORDER_NO, "svlPrefKey_UINT64_SESSION_ORDER_NO"},
    {DataRegistryKey::UINT64_EVENT_ORDER_NO, "svlPrefKey_UINT64_EVENT_ORDER_NO"},
    {DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA,
     "svlPrefKey_DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA"},
    {DataRegistryKey::STRING_ACTION_HISTORY_MINUTES_TO_REFRESH,
     "svlPrefKey_STRING_ACTION_HISTORY_MINUTES_TO_REFRESH"},
    {DataRegistryKey::BOOL_IS_PUSH_ENABLE, "svlPrefKey_is_push_enable"},
    {DataRegistryKey::BOOL_IS_PUSH_ENABLE_OS, "svlPrefKey_is_push_enable_os"},
}};

// The stored key of a case (its raw value).
constexpr std::string_view rawValue(DataRegistryKey key) {
    return kDataRegistryKeys[static_cast<std::size_t>(key)].stored;
}

}  // namespace sorvel
