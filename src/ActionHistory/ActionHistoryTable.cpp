#include "ActionHistory/ActionHistoryTable.h"

#include <array>

namespace sorvel {

std::string ActionHistoryTable::createTableQuery() const {
    const std::array<Column, 11> columns{{
        {COLUMN_NAME_HISTORY_ID, "TEXT UNIQUE"},
        {COLUMN_NAME_HISTORY_ACTION_TYPE, "TEXT"},
        {COLUMN_NAME_HISTORY_TIMESTAMP, "INT"},
        {COLUMN_NAME_HISTORY_STEP_ID, "TEXT"},
        {COLUMN_NAME_HISTORY_CYCLE_TIME, "TEXT"},
        {COLUMN_NAME_HISTORY_CONTENT, "TEXT"},
        {COLUMN_NAME_HISTORY_CAMPAIGN_REVISION_NO, "INT"},
        {COLUMN_NAME_HISTORY_CAMPAIGN_ID, "TEXT"},
        {COLUMN_NAME_HISTORY_GROUP, "TEXT"},
        {COLUMN_NAME_HISTORY_IS_SERVER_SYNCED, "INT"},
        {COLUMN_NAME_HISTORY_IS_READ, "INT"},
    }};
    return createText(std::string(16, ' '), TABLE_NAME, columns);
}

std::string ActionHistoryTable::dropTableQuery() const {
    return dropText(TABLE_NAME);
}

std::string ActionHistoryTable::insertQuery() const {
    const std::array<std::string_view, 11> columns{COLUMN_NAME_HISTORY_ID,
                                                   COLUMN_NAME_HISTORY_ACTION_TYPE,
                                                   COLUMN_NAME_HISTORY_TIMESTAMP,
                                                   COLUMN_NAME_HISTORY_STEP_ID,
                                                   COLUMN_NAME_HISTORY_CYCLE_TIME,
                                                   COLUMN_NAME_HISTORY_CONTENT,
                                                   COLUMN_NAME_HISTORY_CAMPAIGN_REVISION_NO,
                                                   COLUMN_NAME_HISTORY_CAMPAIGN_ID,
                                                   COLUMN_NAME_HISTORY_GROUP,
                                                   COLUMN_NAME_HISTORY_IS_SERVER_SYNCED,
                                                   COLUMN_NAME_HISTORY_IS_READ};
    return insertText(true, TABLE_NAME, columns);
}

}  // namespace sorvel
