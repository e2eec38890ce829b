#include "ActionHistory/ActionHistoryTable.h"

namespace sorvel {

std::string ActionHistoryTable::createTableQuery() const {
    const std::string indent(16, ' ');
    std::string q = indent + "CREATE TABLE IF NOT EXISTS " + TABLE_NAME + " (\n";
    q += indent + COLUMN_NAME_HISTORY_ID + " TEXT UNIQUE,\n";
    q += indent + COLUMN_NAME_HISTORY_ACTION_TYPE + " TEXT,\n";
    q += indent + COLUMN_NAME_HISTORY_TIMESTAMP + " INT,\n";
    q += indent + COLUMN_NAME_HISTORY_STEP_ID + " TEXT,\n";
    q += indent + COLUMN_NAME_HISTORY_CYCLE_TIME + " TEXT,\n";
    q += indent + COLUMN_NAME_HISTORY_CONTENT + " TEXT,\n";
    q += indent + COLUMN_NAME_HISTORY_CAMPAIGN_REVISION_NO + " INT,\n";
    q += indent + COLUMN_NAME_HISTORY_CAMPAIGN_ID + " TEXT,\n";
    q += indent + COLUMN_NAME_HISTORY_GROUP + " TEXT,\n";
    q += indent + COLUMN_NAME_HISTORY_IS_SERVER_SYNCED + " INT,\n";
    q += indent + COLUMN_NAME_HISTORY_IS_READ + " INT)";
    return q;
}

std::string ActionHistoryTable::dropTableQuery() const {
    return "DROP TABLE IF EXISTS " + TABLE_NAME;
}

std::string ActionHistoryTable::insertQuery() const {
    return "INSERT OR REPLACE INTO " + TABLE_NAME + " (\n" + COLUMN_NAME_HISTORY_ID + ",\n" +
           COLUMN_NAME_HISTORY_ACTION_TYPE + ",\n" + COLUMN_NAME_HISTORY_TIMESTAMP + ",\n" +
           COLUMN_NAME_HISTORY_STEP_ID + ",\n" + COLUMN_NAME_HISTORY_CYCLE_TIME + ",\n" +
           COLUMN_NAME_HISTORY_CONTENT + ",\n" + COLUMN_NAME_HISTORY_CAMPAIGN_REVISION_NO + ",\n" +
           COLUMN_NAME_HISTORY_CAMPAIGN_ID + ",\n" + COLUMN_NAME_HISTORY_GROUP + ",\n" +
           COLUMN_NAME_HISTORY_IS_SERVER_SYNCED + ",\n" + COLUMN_NAME_HISTORY_IS_READ +
           "\n) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
}

}  // namespace sorvel
