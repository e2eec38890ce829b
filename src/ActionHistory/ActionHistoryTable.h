#pragma once

#include <string>

namespace sorvel {

// The message-history table's name, columns and statement texts.
class ActionHistoryTable {
  public:
    ActionHistoryTable() = default;

    std::string createTableQuery() const;
    std::string dropTableQuery() const;
    std::string insertQuery() const;

    const std::string TABLE_NAME = "ActionHistory";
    const std::string COLUMN_NAME_HISTORY_ID = "HistoryId";
    const std::string COLUMN_NAME_HISTORY_ACTION_TYPE = "ActionType";
    const std::string COLUMN_NAME_HISTORY_TIMESTAMP = "TimeStamp";
    const std::string COLUMN_NAME_HISTORY_STEP_ID = "StepId";
    const std::string COLUMN_NAME_HISTORY_CYCLE_TIME = "CycleTime";
    const std::string COLUMN_NAME_HISTORY_CONTENT = "Content";
    const std::string COLUMN_NAME_HISTORY_CAMPAIGN_REVISION_NO = "CampaignRevisionNO";
    const std::string COLUMN_NAME_HISTORY_CAMPAIGN_ID = "CampaignId";
    const std::string COLUMN_NAME_HISTORY_GROUP = "GroupCode";
    const std::string COLUMN_NAME_HISTORY_IS_SERVER_SYNCED = "IsServerSynced";
    const std::string COLUMN_NAME_HISTORY_IS_READ = "IsRead";
};

}  // namespace sorvel
