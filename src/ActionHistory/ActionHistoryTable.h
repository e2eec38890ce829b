#pragma once

#include <string>

#include "Common/Table.h"

namespace sorvel {

// The message-history table's name, columns and statement texts.
class ActionHistoryTable final : public Table {
  public:
    ActionHistoryTable() = default;

    std::string createTableQuery() const override;
    std::string dropTableQuery() const override;
    std::string insertQuery() const override;

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
