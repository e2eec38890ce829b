#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace sorvel {

// The SDK's constant strings and numbers, and the server endpoints selected at
// start-up by region and server mode.
struct Constants {
    // Event groups and the SDK's own event names.
    static constexpr const char* EVENT_GROUP_STANDARD = "svl";
    static constexpr const char* EVENT_GROUP_CUSTOM = "custom";
    static constexpr const char* EVENT_NAME_START_SESSION = "start_session";
    static constexpr const char* EVENT_NAME_END_SESSION = "end_session";
    static constexpr const char* EVENT_NAME_DAILY_FIRST_OPEN = "daily_first_open";
    static constexpr const char* EVENT_NAME_DEEPLINK_OPEN = "deeplink_open";
    static constexpr const char* EVENT_NAME_USER_PROPERTY_CHANGED = "user_property_changed";
    static constexpr const char* EVENT_NAME_LOGIN = "login";
    static constexpr const char* EVENT_NAME_LOGOUT = "logout";
    static constexpr const char* EVENT_NAME_SET_PUSH = "set_push";
    static constexpr const char* EVENT_NAME_OPEN_PUSH = "open_push";
    static constexpr const char* EVENT_NAME_IN_APP_MESSAGE_ACTION = "in_app_message_action";
    // Carried by the restart request that follows a delete.
    static constexpr const char* EVENT_NAME_INIT_RESTART = "init_restart";
    // Common, commerce and game events.
    static constexpr const char* EVENT_NAME_SIGN_UP = "sign_up";
    static constexpr const char* EVENT_NAME_APP_UPDATE = "app_update";
    static constexpr const char* EVENT_NAME_INVITE = "invite";
    static constexpr const char* EVENT_NAME_USE_CREDIT = "use_credit";
    static constexpr const char* EVENT_NAME_PURCHASE = "purchase";
    static constexpr const char* EVENT_NAME_VIEW_HOME = "view_home";
    static constexpr const char* EVENT_NAME_CATEGORY_VIEW = "category_view";
    static constexpr const char* EVENT_NAME_PRODUCT_VIEW = "product_view";
    static constexpr const char* EVENT_NAME_ADD_TO_CART = "add_to_cart";
    static constexpr const char* EVENT_NAME_ADD_TO_WISHLIST = "add_to_wishlist";
    static constexpr const char* EVENT_NAME_REVIEW_ORDER = "review_order";
    static constexpr const char* EVENT_NAME_REFUND = "refund";
    static constexpr const char* EVENT_NAME_SEARCH = "search";
    static constexpr const char* EVENT_NAME_SHARE = "share";
    static constexpr const char* EVENT_NAME_LIST_VIEW = "list_view";
    static constexpr const char* EVENT_NAME_CART_VIEW = "cart_view";
    static constexpr const char* EVENT_NAME_PAYMENT_INFO_ADDED = "paymentinfo_added";
    static constexpr const char* EVENT_NAME_TUTORIAL_COMPLETED = "tutorial_completed";
    static constexpr const char* EVENT_NAME_CHARACTER_CREATED = "character_created";
    static constexpr const char* EVENT_NAME_STAGE_CLEARED = "stage_cleared";
    static constexpr const char* EVENT_NAME_LEVEL_ACHIEVED = "level_achieved";

    // Event parameter keys.
    static constexpr const char* PARAM_KEY_OPEN_TYPE = "svl:open_type";
    static constexpr const char* PARAM_KEY_USER_ID = "svl:user_id";
    static constexpr const char* PARAM_KEY_AGE = "svl:age";
    static constexpr const char* PARAM_KEY_GENDER = "svl:gender";
    static constexpr const char* PARAM_KEY_KAKAO_ID = "svl:kakao_id";
    static constexpr const char* PARAM_KEY_SESSION_ORDER_NO = "svl:session_order_no";
    static constexpr const char* PARAM_KEY_EVENT_ORDER_NO = "svl:event_order_no";
    static constexpr const char* PARAM_KEY_SEARCHADS_RESPONSE = "svl:searchads_response";
    static constexpr const char* PARAM_KEY_APPLE_SEARCHADS_ATTR_TOKEN =
        "svl:apple_searchads_attr_token";
    static constexpr const char* PARAM_KEY_MARKET_INSTALL_BTN_CLICKED =
        "svl:market_install_btn_clicked";
    static constexpr const char* PARAM_KEY_APP_INSTALL_START = "svl:app_install_start";
    static constexpr const char* PARAM_KEY_APP_INSTALL_COMPLETED = "svl:app_install_completed";
    static constexpr const char* PARAM_KEY_APP_FIRST_OPEN = "svl:app_first_open";
    static constexpr const char* PARAM_KEY_DEEPLINK_PAYLOAD = "svl:deeplink_payload";
    static constexpr const char* PARAM_KEY_DEEPLINK_ADKEY = "svl:deeplink_adkey";
    static constexpr const char* PARAM_KEY_TRACKER_ID = "svl:svl_tracker_id";
    static constexpr const char* PARAM_KEY_IS_USED_UNIVERSAL_LINK = "is_used_svl_universial_link";
    static constexpr const char* PARAM_KEY_ITEMS = "svl:items";
    static constexpr const char* PARAM_KEY_PAGE = "svl:page";
    // Query items of a tracking deeplink.
    static constexpr const char* DEEPLINK_QUERY_TID = "svl_tid";
    static constexpr const char* DEEPLINK_QUERY_TRACKER_ID = "svl_tracker_id";
    // Product dictionary keys.
    static constexpr const char* PRODUCT_KEY_ITEM_ID = "svl:item_id";
    static constexpr const char* PRODUCT_KEY_PRODUCT_ID = "svl:product_id";
    static constexpr const char* PRODUCT_KEY_PRODUCT_NAME = "svl:product_name";
    static constexpr const char* PRODUCT_KEY_PRICE = "svl:price";
    static constexpr const char* PRODUCT_KEY_QUANTITY = "svl:quantity";
    static constexpr const char* PRODUCT_KEY_DISCOUNT = "svl:discount";
    static constexpr const char* PRODUCT_KEY_SALES = "svl:sales";
    static constexpr const char* PRODUCT_KEY_CURRENCY = "svl:currency";
    static constexpr const char* PRODUCT_KEY_CATEGORY_PREFIX = "svl:category";
    // In-app message event keys.
    static constexpr const char* PARAM_KEY_GF_EVENT_TYPE = "svl:gf:event_type";
    static constexpr const char* PARAM_KEY_GF_IMAGE_URL = "svl:gf:image_url";
    static constexpr const char* PARAM_KEY_GF_IS_IMAGE_DOWNLOADED = "svl:gf:is_image_downloaded";
    static constexpr const char* PARAM_KEY_GF_IMAGE_SIZE = "svl:gf:image_size";
    static constexpr const char* PARAM_KEY_GF_ACTION_ID = "svl:gf:action_id";

    // Remote push payload and local notification keys.
    static constexpr const char* PUSH_KEY_APS = "aps";
    static constexpr const char* PUSH_KEY_ALERT = "alert";
    static constexpr const char* PUSH_KEY_TITLE = "title";
    static constexpr const char* PUSH_KEY_SUBTITLE = "subtitle";
    static constexpr const char* PUSH_KEY_BODY = "body";
    static constexpr const char* PUSH_KEY_IMG = "img";
    static constexpr const char* PUSH_KEY_GEN_VIBE = "gen_vibe";
    static constexpr const char* PUSH_KEY_GEN_SOUND = "gen_sound";
    static constexpr const char* PUSH_KEY_DEEP_LINK_URL = "deep_link_url";
    static constexpr const char* PUSH_KEY_DEEP_LINK_JSON = "deep_link_json";
    static constexpr const char* PUSH_KEY_NOTIFICATION_ID = "notification_id";
    static constexpr const char* PUSH_KEY_GF_CAMPAIGN_ID = "svl:gf:campaign_id";
    static constexpr const char* PUSH_KEY_GF_CAMPAIGN_REVISION_NO = "svl:gf:campaign_revision_no";
    static constexpr const char* PUSH_KEY_GF_STEP_ID = "svl:gf:step_id";
    static constexpr const char* PUSH_KEY_GF_CYCLE_TIME = "svl:gf:cycle_time";
    static constexpr const char* PUSH_KEY_CUSTOM_ALERT = "custom_alert";
    static constexpr const char* PUSH_KEY_PUSH_ID = "push_id";
    static constexpr const char* PUSH_KEY_PUSH_INFO = "push_info";

    // Message-history keys.
    static constexpr const char* HISTORY_KEY_ID = "id";
    static constexpr const char* HISTORY_KEY_TYPE = "type";
    static constexpr const char* HISTORY_KEY_CONTENTS = "contents";
    static constexpr const char* HISTORY_KEY_TIMESTAMP = "timestamp";
    static constexpr const char* HISTORY_KEY_CAMPAIGN_ID = "campaign_id";
    static constexpr const char* HISTORY_KEY_CAMPAIGN_REVISION_NO = "campaign_revision_no";
    static constexpr const char* HISTORY_KEY_STEP_ID = "step_id";
    static constexpr const char* HISTORY_KEY_CYCLE_TIME = "cycle_time";
    static constexpr const char* HISTORY_KEY_ACTION_GROUP = "action_group";
    static constexpr const char* HISTORY_KEY_HISTORIES = "histories";
    static constexpr const char* HISTORY_KEY_MINUTES_TO_REFRESH = "minutes_to_refresh";

    // Storage.
    static constexpr const char* V1_STORAGE_KEY = "quorinKey";
    static constexpr const char* KEYCHAIN_ADID_ACCOUNT_PREFIX = "sorvel_adid_key_";

    // Info keys and their defaults.
    static constexpr const char* SERVER_MODE_KEY = "SorvelServerMode";
    static constexpr const char* REGION_KEY = "FvnRegion";
    static constexpr const char* REGION_AP1 = "ap1";
    static constexpr const char* REGION_AP2 = "ap2";

    // Limits.
    static constexpr int EVENT_PACKAGE_SIZE = 10;
    static constexpr int MAX_UNSENT_EVENTS = 1000;
    static constexpr int EVENT_PAGE_SIZE = 100;
    static constexpr int SESSION_TIMEOUT_SECONDS = 60;
    static constexpr int MAX_USER_PROPERTY_KEY_LENGTH = 50;
    static constexpr int MAX_ATTR_STRING_LENGTH = 1024;
    static constexpr int MAX_PRODUCT_ATTR_KEY_LENGTH = 50;
    static constexpr int MAX_PRODUCT_ATTR_COUNT = 100;
    static constexpr int MAX_CATEGORY_COUNT = 5;

    // Paths appended to the selected bases; "%@" takes the app key (then the id).
    static constexpr const char* EVENT_BULK_PATH = "/api/v6/event/bulk/%@";
    static constexpr const char* DEFERRED_DEEPLINK_PATH = "/api/v6/deferred-deeplink/%@";
    static constexpr const char* DRWORKS_PATH = "/api/v6/drworks/%@";
    static constexpr const char* GDPR_PATH = "/api/opengdpr_requests";
    static constexpr const char* CONFIG_PATH_LIVE = "/prod/sdk.config/%@/config.json";
    static constexpr const char* CONFIG_PATH_DEVELOPMENT = "/dev/sdk.config/%@/config.json";
    static constexpr const char* IAM_CAMPAIGNS_PATH = "/api/v1/inappmessage/campaigns/get";
    static constexpr const char* ACTION_HISTORY_LIST_PATH = "/api/v6/actionhistory/List";
    static constexpr const char* ACTION_HISTORY_DEVICE_PATH = "/api/v6/actionhistory/%@/device/%@";
    static constexpr const char* ACTION_HISTORY_USER_PATH = "/api/v6/actionhistory/%@/user/%@";

    // Server modes of the Info key "SorvelServerMode"; any other value is live.
    static constexpr std::int64_t SERVER_MODE_DEVELOPMENT = 1;
    static constexpr std::int64_t SERVER_MODE_STAGING = 2;

    // Selects the endpoints: mode 1 development, 2 staging, anything else live;
    // region "ap1" or "ap2", anything else is logged and served as "ap2".
    // Until the first call the endpoints are those of live "ap2".
    static void configureEndpoints(std::int64_t serverMode, const std::string& region);

    // The selected endpoints (full URLs; "%@" still to be filled).
    static std::string EVENT_BULK_URL();
    static std::string DEFERRED_DEEPLINK_URL();
    static std::string DRWORKS_URL();
    static std::string GDPR_URL();
    static std::string CONFIG_URL();
    static std::string IAM_CAMPAIGNS_URL();
    static std::string WEB_API_BASE_URL();
    // fill(EVENT_BULK_URL(), {appKey}) written in one piece: every upload
    // asks for it.
    static std::string eventBulkUrl(std::string_view appKey);

    // Replaces each "%@" of the pattern, in order, by the next argument; a
    // "%@" without an argument left stays as it is.
    static std::string fill(std::string_view pattern, std::initializer_list<std::string_view> args);
};

struct SdkVersion {
    static constexpr const char* SDK_VERSION = SORVEL_VERSION_STRING;
    static constexpr const char* API_VERSION = "6.0.0";
};

}  // namespace sorvel
