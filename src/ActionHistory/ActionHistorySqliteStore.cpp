#include "ActionHistory/ActionHistorySqliteStore.h"

#include <utility>

#include "Common/SvlLog.h"
#include "Common/TableDatabase.h"
#include "Platform/FileSystem.h"
#include "Platform/Sqlite.h"
#include "sorvel/ActionHistoryResult.h"

namespace sorvel {

namespace sqlite = platform::sqlite;

namespace {

// The IN list of action types holds single-quoted literals: a double-quoted
// word that names a column would be read as that column.
const char* const kSelectHead =
    "SELECT\nHistoryId,\nActionType,\nTimeStamp,\nContent,\nGroupCode,\nIsServerSynced,\nIsRead\n"
    "FROM ActionHistory\nWHERE ActionType in ";

// Pages are read newest first; without this a page sorts the whole table.
const char* const kTimeStampIndex =
    "CREATE INDEX IF NOT EXISTS ActionHistoryTimeStamp ON ActionHistory (TimeStamp)";

std::vector<ActionHistoryData> readRows(sqlite::Statement& stmt) {
    std::vector<ActionHistoryData> rows;
    while (stmt.step() == SQLITE_ROW) {
        rows.emplace_back(stmt.columnText(0), stmt.columnText(1), stmt.columnInt64(2),
                          stmt.columnText(3), stmt.columnText(4), stmt.columnInt(5) == 1,
                          stmt.columnInt(6) == 1);
    }
    return rows;
}

}  // namespace

struct ActionHistorySqliteStore::Db {
    std::unique_ptr<sqlite::Connection> connection;
    bool inTransaction = false;

    // Prepared and one step finished.
    bool run(const std::string& sql) {
        sqlite::Statement s = connection->prepare(sql);
        return s.prepared() && s.step() == SQLITE_DONE;
    }
};

ActionHistorySqliteStore::ActionHistorySqliteStore()
    : path_(platform::documentsFolder() + "/" + DATABASE_NAME), db_(std::make_unique<Db>()) {
    db_->connection = openTableDatabase(DATABASE_NAME, "ActionHistory");
    if (!db_->connection) {
        throw ActionHistoryError::OpenDatabaseError;
    }
    createTable();
}

ActionHistorySqliteStore::~ActionHistorySqliteStore() = default;

void ActionHistorySqliteStore::createTable() {
    if (!db_->run(actionHistoryTable_.createTableQuery())) {
        SvlLog::error(
            "Can not Create ActionHistoryTable, errorMessage : " + db_->connection->errorMessage(),
            true);
        return;
    }
    (void)db_->run(kTimeStampIndex);
}

void ActionHistorySqliteStore::dropTable() {
    if (db_->run(actionHistoryTable_.dropTableQuery())) {
        SvlLog::debug("Delete ActionHistoryTable Success", true);
    } else {
        SvlLog::error("Can not Delete ActionHistoryTable", true);
    }
}

bool ActionHistorySqliteStore::clearAllActionHistoryInLocalDB() {
    if (db_->run("DELETE FROM ActionHistory")) {
        SvlLog::debug("clearAllActionHistoryInLocalDB() :: Success", true);
        return true;
    }
    SvlLog::error("clearAllActionHistoryInLocalDB() :: Can not Clear ActionHistoryTable", true);
    return false;
}

bool ActionHistorySqliteStore::clearSyncedActionHistoryInLocalDB() {
    if (db_->run("DELETE FROM ActionHistory\nWHERE IsServerSynced = 1")) {
        SvlLog::debug("clearSyncedActionHistoryInLocalDB() :: Success", true);
        return true;
    }
    SvlLog::error("clearSyncedActionHistoryInLocalDB() :: Can not Clear ActionHistoryTable", true);
    return false;
}

bool ActionHistorySqliteStore::deleteActionHistory(const std::string& historyId,
                                                   std::int64_t timeStamp) {
    const std::string sql =
        "DELETE FROM ActionHistory\nWHERE HistoryId = " + sqlite::quote(historyId) +
        "\nAND TimeStamp = " + std::to_string(timeStamp) + "\nAND IsServerSynced = 1";
    if (db_->run(sql)) {
        SvlLog::debug("deleteActionHistory:: Delete data success, historyId = " + historyId, true);
        return true;
    }
    SvlLog::error("deleteActionHistory :: Can not delete data, historyId = " + historyId, true);
    return false;
}

void ActionHistorySqliteStore::deleteOutDatedPushData(std::int64_t lastTimeStamp) {
    const std::string sql =
        "DELETE FROM ActionHistory\nWHERE IsServerSynced = 0\nAND TimeStamp < " +
        std::to_string(lastTimeStamp);
    if (db_->run(sql)) {
        SvlLog::debug(
            "deleteOutDatedPushData(lastTimeStamp:) :: deleteOutDatedPushData(lastTimeStamp:) "
            "success",
            true);
    } else {
        SvlLog::error("deleteOutDatedPushData(lastTimeStamp:) :: Can not delete outDatedPushdata",
                      true);
    }
}

void ActionHistorySqliteStore::insert(const std::string& historyId, const std::string& actionType,
                                      std::int64_t timeStamp, const std::string& stepId,
                                      const std::string& cycleTime, const std::string& content,
                                      std::int32_t campaignRevisionNo,
                                      const std::string& campaignId, const std::string& group,
                                      bool isServerSynced, bool isRead) {
    sqlite::Statement s = db_->connection->prepare(actionHistoryTable_.insertQuery());
    if (!s.prepared()) {
        SvlLog::debug("Insert to ActionHistoryTable not prepared, historyId : " + historyId, true);
        return;
    }
    s.bindText(1, historyId);
    s.bindText(2, actionType);
    s.bindInt64(3, timeStamp);
    s.bindText(4, stepId);
    s.bindText(5, cycleTime);
    s.bindText(6, content);
    s.bindInt(7, campaignRevisionNo);
    s.bindText(8, campaignId);
    s.bindText(9, group);
    s.bindBool(10, isServerSynced);
    s.bindBool(11, isRead);
    if (s.step() == SQLITE_DONE) {
        SvlLog::debug("Insert to ActionHistoryTable Success, historyId : " + historyId, true);
    } else {
        SvlLog::debug("Insert to ActionHistoryTable fail, historyId : " + historyId, true);
    }
}

std::vector<ActionHistoryData> ActionHistorySqliteStore::getAllActionHistory(
    const std::vector<std::string>& actionTypes) {
    const std::string sql = kSelectHead + sqlite::quotedList(actionTypes);
    sqlite::Statement s = db_->connection->prepare(sql);
    if (!s.prepared()) {
        SvlLog::error("getAllActionHistory :: can not prepare query string : " + sql, true);
        throw ActionHistoryError::SqliteQueryError;
    }
    return readRows(s);
}

std::vector<ActionHistoryData> ActionHistorySqliteStore::getActionHistory(
    std::int64_t skip, std::int64_t limit, const std::vector<std::string>& actionTypes) {
    // SQLite reads a negative LIMIT as "no limit": a page asked with one is
    // empty instead of the whole table.
    const std::string sql =
        kSelectHead + sqlite::quotedList(actionTypes) + "\nORDER BY TimeStamp DESC\nLIMIT " +
        std::to_string(limit < 0 ? 0 : limit) + "\nOFFSET " + std::to_string(skip < 0 ? 0 : skip);
    sqlite::Statement s = db_->connection->prepare(sql);
    if (!s.prepared()) {
        SvlLog::error("getActionHistory :: can not prepare query string : " + sql, true);
        throw ActionHistoryError::SqliteQueryError;
    }
    return readRows(s);
}

std::int64_t ActionHistorySqliteStore::getLastServerTimeStamp() {
    const std::string sql = "SELECT MAX(TimeStamp)\nFROM ActionHistory\nWHERE IsServerSynced = 1";
    sqlite::Statement s = db_->connection->prepare(sql);
    if (!s.prepared()) {
        SvlLog::error("getLastServerTimeStamp :: can not prepare query string : " + sql +
                          ", prepareResult : " + std::to_string(s.prepareResult()),
                      true);
        throw ActionHistoryError::SqliteQueryError;
    }
    return s.step() == SQLITE_ROW ? s.columnInt64(0) : 0;
}

void ActionHistorySqliteStore::inTransaction(const std::function<void()>& body) {
    if (db_->inTransaction) {
        body();
        return;
    }
    sqlite::Transaction transaction(*db_->connection);
    if (!transaction.begun().isOk()) {
        // Each statement then commits on its own.
        SvlLog::error("ActionHistory transaction not begun : " + transaction.begun().message(),
                      true);
        body();
        return;
    }
    db_->inTransaction = true;
    try {
        body();
    } catch (...) {
        db_->inTransaction = false;
        throw;
    }
    db_->inTransaction = false;
    if (Status committed = transaction.commit(); !committed.isOk()) {
        SvlLog::error("ActionHistory transaction not committed : " + committed.message(), true);
    }
}

}  // namespace sorvel
