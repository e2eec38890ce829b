#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Base/Status.h"
#include "InAppMessage/InAppMessage.h"
#include "InAppMessage/InAppMessageSqliteStore.h"
#include "Platform/Dispatch.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;

// The campaign side of in-app messages: it stores the campaign lists the
// server sends, picks the message for an event, and serves the campaign
// images. Ingest, selection and the upkeep calls run on the caller's thread
// (the repository's in-app queue, which keeps them from overlapping); image
// lookups that may download run one at a time on "inAppMessageImageDownloadQueue".
class InAppMessageDAO {
  public:
    // Keys of the campaign-list answer ("type" and "per_period" each name two
    // fields at different depths).
    static constexpr const char* RESPONSE_DATA = "data";
    static constexpr const char* RESPONSE_CHECKSUM = "checksum";
    static constexpr const char* RESPONSE_STATUS = "status";
    static constexpr const char* RESPONSE_MINUTES_TO_EXPIRY = "minutes_to_expiry";
    static constexpr const char* RESPONSE_IAM = "in_app_messages";
    static constexpr const char* RESPONSE_IAM_CAMPAIGN_ID = "campaign_id";
    static constexpr const char* RESPONSE_IAM_PAGE_ORIENTATION = "page_orientation";
    static constexpr const char* RESPONSE_IAM_TYPE = "type";
    static constexpr const char* RESPONSE_IAM_LAYOUT = "layout";
    static constexpr const char* RESPONSE_IAM_CONTENTS = "contents";
    static constexpr const char* RESPONSE_IAM_CONTENTS_IMAGE = "image";
    static constexpr const char* RESPONSE_IAM_CONTENTS_IMAGE_CLICK_ACTION = "click_action";
    static constexpr const char* RESPONSE_IAM_CONTENTS_IMAGE_CLICK_ACTION_ACTION_ID = "action_id";
    static constexpr const char* RESPONSE_IAM_CONTENTS_IMAGE_CLICK_ACTION_ACTION_TYPE =
        "action_type";
    static constexpr const char* RESPONSE_IAM_CONTENTS_IMAGE_CLICK_ACTION_ACTION_ARG = "action_arg";
    static constexpr const char* RESPONSE_IAM_CONTENTS_IMAGE_URL = "url";
    static constexpr const char* RESPONSE_IAM_CONTENTS_IMAGE_URL_PORTRAIT = "portrait";
    static constexpr const char* RESPONSE_IAM_CONTENTS_IMAGE_URL_LANDSCAPE = "landscape";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BG_STYLE = "bg_style";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BG_STYLE_BG_COLOR = "bg_color";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BG_STYLE_OVERLAY_COLOR = "overlay_color";
    static constexpr const char* RESPONSE_IAM_CONTENTS_TEXT = "text";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BUTTONS = "buttons";
    static constexpr const char* RESPONSE_IAM_CONTENTS_DEFAULT_CLOSE_BUTTON =
        "default_close_button";
    static constexpr const char* RESPONSE_IAM_CONTENTS_DEFAULT_CLOSE_BUTTON_COLOR = "color";
    static constexpr const char* RESPONSE_IAM_CONTENTS_DEFAULT_CLOSE_BUTTON_BG_COLOR = "bg_color";
    static constexpr const char* RESPONSE_IAM_CONTENTS_STICKY_BANNER_OPTION =
        "sticky_banner_option";
    static constexpr const char* RESPONSE_IAM_TRIGGERS = "triggers";
    static constexpr const char* RESPONSE_IAM_TRIGGERS_TYPE = "type";
    static constexpr const char* RESPONSE_IAM_TRIGGERS_EVT = "evt";
    static constexpr const char* RESPONSE_IAM_TRIGGERS_PRIORITY = "priority";
    static constexpr const char* RESPONSE_IAM_EXT_ATTR = "ext_attr";
    static constexpr const char* RESPONSE_IAM_FREQUENCY_CAP = "frequency_cap";
    static constexpr const char* RESPONSE_IAM_FREQUENCY_CAP_PER_SESSION = "per_session";
    static constexpr const char* RESPONSE_IAM_FREQUENCY_CAP_PER_USER = "per_user";
    static constexpr const char* RESPONSE_IAM_FREQUENCY_CAP_PER_PERIOD = "per_period";
    static constexpr const char* RESPONSE_IAM_FREQUENCY_CAP_PER_PERIOD_PERIOD_IN_MINUTES =
        "period_in_minutes";
    static constexpr const char* RESPONSE_IAM_FREQUENCY_CAP_PER_PERIOD_PER_PERIOD = "per_period";
    static constexpr const char* RESPONSE_IAM_TIMEZONE_OFFSET = "timezone_offset";
    static constexpr const char* RESPONSE_IAM_TIMEZONE_TYPE = "timezone_type";
    static constexpr const char* RESPONSE_IAM_AVAILABLE_TIME = "available_time";
    static constexpr const char* RESPONSE_IAM_AVAILABLE_TIME_DAYS = "days";
    static constexpr const char* RESPONSE_IAM_AVAILABLE_TIME_START_MIN = "start_min";
    static constexpr const char* RESPONSE_IAM_AVAILABLE_TIME_END_MIN = "end_min";
    static constexpr const char* RESPONSE_IAM_START_DATETIME = "start_datetime";
    static constexpr const char* RESPONSE_IAM_END_DATETIME = "end_datetime";
    static constexpr const char* RESPONSE_IAM_LAST_UPDATED_DATETIME = "last_updated_datetime";
    // Values of the answer and of the stored rows.
    static constexpr const char* PORTRAIT = inapp::PORTRAIT;
    static constexpr const char* LANDSCAPE = inapp::LANDSCAPE;
    static constexpr const char* AVAILABLE_TIME_ALL = inapp::AVAILABLE_TIME_ALL;
    static constexpr const char* NO_IMAGE = inapp::NO_IMAGE;
    static constexpr const char* CHECKSUM_UNCHANGED = "unchanged";
    static constexpr const char* CHECKSUM_NO_ACTIVE_CAMPAIGN = "__no_active_campaign__";
    static constexpr const char* NULL_STRING = "null";

    // Nothing when the store cannot be opened (InAppMessageError::OpenDatabaseError):
    // the SDK then runs without in-app campaigns. Without a store given, the
    // default database in the Documents folder is opened. A store that opened
    // empty (new, or in place of a damaged file) has the stored checksum and
    // expiry of the campaign list removed, so that the next session start
    // asks for the whole list instead of being told it is unchanged.
    static std::shared_ptr<InAppMessageDAO> create(
        std::shared_ptr<DataRegistry> dataRegistry,
        std::shared_ptr<InAppMessageSqliteStore> store = nullptr);
    ~InAppMessageDAO();
    InAppMessageDAO(const InAppMessageDAO&) = delete;
    InAppMessageDAO& operator=(const InAppMessageDAO&) = delete;

    // ---- Ingest ---------------------------------------------------------------
    // Stores a campaign-list answer. An unchanged list (or none active) only
    // updates the checksum and expiry; a changed one replaces the stored list
    // in one transaction, and its checksum and expiry are stored once that
    // committed (the checksum only when every campaign was good). Bad answers
    // are logged and change nothing.
    void insertApiResponse2Table(const std::string& response);
    bool isCampaignChanged(const std::string& status, const std::string& checksum,
                           std::int64_t minutesToExpiry);
    // Writes every campaign of data["in_app_messages"]; NoValueError at the
    // first required key missing, leaving what was written before it. A
    // campaign whose id or a trigger name holds a NUL is left out, logged.
    StatusOr<void, InAppMessageError> insertInAppMessages(const Value::Map& data);

    // ---- Upkeep ---------------------------------------------------------------
    void closeForOneDay(const std::string& campaignId, const std::string& day, std::int64_t time);
    void resetFrequencyCapPerSession();
    void deleteCampaignsNotIn(const std::vector<std::string>& campaignIds);
    void deleteAllImagesAndDropTables();
    void createTables();

    // ---- Selection and images ------------------------------------------------------
    // The message of the first candidate for the event (group ":" name) that
    // is in its time window, under its caps and buildable for the
    // orientation; its showing is counted once it is built.
    std::shared_ptr<const InAppMessage> getInAppMessageByEventName(const std::string& eventName,
                                                                   bool isPortrait);
    // Waits on the image queue (a download included): never call it on the
    // main thread nor from a block of that queue.
    std::optional<ImageInfo> getAndSaveImageInfo(const std::string& campaignId, bool isPortrait,
                                                 bool isFirstShow);

    // ---- Campaign dates: epoch milliseconds of the list's UTC texts -------------
    static std::optional<std::int64_t> getStartDateTimeInt64(
        const std::optional<std::string>& text);
    // 0 (no end) for no text or "null".
    static std::optional<std::int64_t> getEndDateTimeInt64(const std::optional<std::string>& text);
    static std::optional<std::int64_t> getLastUpdatedDateTimeInt64(
        const std::optional<std::string>& text);
    static std::vector<std::string> sortCampaignIds(std::vector<SortableCampaignId> candidates);

    InAppMessageSqliteStore& store() { return *store_; }
    // Waits until the image downloads queued so far have run (tests, tools).
    void waitForImageQueue();

  private:
    InAppMessageDAO(std::shared_ptr<DataRegistry> dataRegistry,
                    std::shared_ptr<InAppMessageSqliteStore> store);
    // An image a written campaign waits for; fetched once its rows are there
    // for the image queue's connection to see.
    struct ImageDownload {
        std::string campaignId;
        std::string orientation;
    };
    StatusOr<void, InAppMessageError> insertInAppMessages(const Value::Map& data,
                                                          std::vector<ImageDownload>& downloads);
    StatusOr<void, InAppMessageError> insertCampaign(const Value::Map& campaign,
                                                     std::vector<std::string>& campaignIds,
                                                     std::vector<ImageDownload>& downloads);
    void queueImageDownload(const std::string& campaignId, const std::string& orientation);

    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<InAppMessageSqliteStore> store_;
    const std::shared_ptr<platform::DispatchQueue> imageDispatchQueue_;
};

}  // namespace sorvel
