#pragma once

#include <string>
#include <vector>

#include "Common/Table.h"

namespace sorvel {

// The five tables of the campaign database. Each knows its name and column
// names and writes its create, insert and drop statements from them; every
// other statement of the store is put together from the same names.

class InAppMessageTable final : public Table {
  public:
    const std::string TABLE_NAME = "InAppMessage";
    const std::string COLUMN_NAME_CAMPAIGN_ID = "CampaignId";
    const std::string COLUMN_NAME_PORTRAIT_AVAILABLE = "PortraitAvailable";
    const std::string COLUMN_NAME_LANDSCAPE_AVAILABLE = "LandscapeAvailable";
    const std::string COLUMN_NAME_EXTERNAL_ATTR = "ExternalAttr";
    const std::string COLUMN_NAME_TIMEZONE_OFFSET = "TimezoneOffset";
    const std::string COLUMN_NAME_TIMEZONE_TYPE = "TimezoneType";
    const std::string COLUMN_NAME_TYPE = "Type";
    const std::string COLUMN_NAME_LAYOUT = "Layout";
    const std::string COLUMN_NAME_HTML = "html";
    const std::string COLUMN_NAME_BG_STYLE_BG_COLOR = "BgStyleBgColor";
    const std::string COLUMN_NAME_BG_STYLE_OVERLAY_COLOR = "BgStyleOverlayColor";
    const std::string COLUMN_NAME_CONTENTS_TEXT = "ContentsText";
    const std::string COLUMN_NAME_CONTENTS_BUTTONS = "ContentsButtons";
    const std::string COLUMN_NAME_DEFAULT_CLOSE_BUTTON_COLOR = "DefaultCloseButtonColor";
    const std::string COLUMN_NAME_DEFAULT_CLOSE_BUTTON_BG_COLOR = "DefaultCloseButtonBgColor";
    const std::string COLUMN_NAME_STICKY_BANNER_OPTION = "StickyBannerOption";
    const std::string COLUMN_NAME_FREQUENCY_CAP_PER_SESSION = "FrequencyCapPerSession";
    const std::string COLUMN_NAME_FREQUENCY_CAP_PER_USER = "FrequencyCapPerUser";
    const std::string COLUMN_NAME_FREQUENCY_CAP_FOR_PERIOD_IN_MINUTES =
        "FrequencyCapForPeriodInMinutes";
    const std::string COLUMN_NAME_FREQUENCY_CAP_FOR_PERIOD_PER_PERIOD =
        "FrequencyCapForPeriodPerPeriod";
    const std::string COLUMN_NAME_START_DATETIME = "StartDateTime";
    const std::string COLUMN_NAME_END_DATETIME = "EndDateTime";
    const std::string COLUMN_NAME_LAST_UPDATED_DATETIME = "LastUpdatedTime";
    const std::string COLUMN_NAME_UNAVAILABLE_DAY = "UnavailableDay";
    const std::string COLUMN_NAME_UNAVAILABLE_TIME = "UnavailableTime";

    std::string createTableQuery() const override;
    std::string dropTableQuery() const override;
    std::string insertQuery() const override;

  private:
    std::vector<Column> columns() const;
};

class TriggersTable final : public Table {
  public:
    const std::string TABLE_NAME = "Triggers";
    const std::string COLUMN_NAME_CAMPAIGN_ID = "CampaignId";
    const std::string COLUMN_NAME_TYPE = "Type";
    const std::string COLUMN_NAME_EVENT_NAME = "EventName";
    const std::string COLUMN_NAME_PRIORITY = "Priority";

    std::string createTableQuery() const override;
    std::string dropTableQuery() const override;
    std::string insertQuery() const override;

  private:
    std::vector<Column> columns() const;
};

class AvailableTimeTable final : public Table {
  public:
    const std::string TABLE_NAME = "AvailableTime";
    const std::string COLUMN_NAME_CAMPAIGN_ID = "CampaignId";
    const std::string COLUMN_NAME_DAY = "Day";
    const std::string COLUMN_NAME_START_MIN = "StartMin";
    const std::string COLUMN_NAME_END_MIN = "EndMin";

    std::string createTableQuery() const override;
    std::string dropTableQuery() const override;
    std::string insertQuery() const override;

  private:
    std::vector<Column> columns() const;
};

class CurrentFrequencyCapTable final : public Table {
  public:
    const std::string TABLE_NAME = "CurrentFrequency";
    const std::string COLUMN_NAME_CAMPAIGN_ID = "CampaignId";
    const std::string COLUMN_NAME_CURRENT_FREQUENCY_CAP_PER_SESSION =
        "CurrentFrequencyCapPerSession";
    const std::string COLUMN_NAME_CURRENT_FREQUENCY_CAP_PER_USER = "CurrentFrequencyCapPerUser";
    const std::string COLUMN_NAME_FREQUENCY_LAST_GROUP_START_TIME = "FrequencyLastGroupStartTime";
    const std::string COLUMN_NAME_FREQUENCY_LAST_GROUP_COUNT = "FrequencyLastGroupCount";

    std::string createTableQuery() const override;
    std::string dropTableQuery() const override;
    std::string insertQuery() const override;

  private:
    std::vector<Column> columns() const;
};

class ImageTable final : public Table {
  public:
    const std::string TABLE_NAME = "Image";
    const std::string COLUMN_NAME_CAMPAIGN_ID = "CampaignId";
    const std::string COLUMN_NAME_ORIENTATION = "Orientation";
    const std::string COLUMN_NAME_URL = "Url";
    const std::string COLUMN_NAME_IMAGE_PATH_STRING = "ImagePathString";
    const std::string COLUMN_NAME_CLICK_ACTION = "ClickAction";
    const std::string COLUMN_NAME_IS_FIRST_SHOW = "IsFirstShow";

    std::string createTableQuery() const override;
    std::string dropTableQuery() const override;
    std::string insertQuery() const override;

  private:
    std::vector<Column> columns() const;
};

}  // namespace sorvel
