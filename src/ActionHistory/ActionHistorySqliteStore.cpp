#include "ActionHistory/ActionHistorySqliteStore.h"

#include <optional>
#include <thread>
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

// Prepared and one step finished.
bool run(sqlite::Connection& connection, const std::string& sql) {
    sqlite::Statement s = connection.prepare(sql);
    return s.prepared() && s.step() == SQLITE_DONE;
}

// SQLite's own busy handler sleeps ever longer between tries (up to 100 ms),
// so a writer of this store could miss every short gap another process
// leaves between its batches. This one tries every millisecond until the
// store's wait (at least as many milliseconds) has passed.
int pollEveryMillisecond(void* busyWaitMillis, int tries) {
    if (tries >= *static_cast<const int*>(busyWaitMillis)) {
        return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 1;
}

}  // namespace

std::unique_ptr<sqlite::Connection> ActionHistorySqliteStore::openConnection() {
    return openTableDatabase(DATABASE_NAME, "ActionHistory");
}

ActionHistorySqliteStore::ActionHistorySqliteStore(std::unique_ptr<sqlite::Connection> connection,
                                                   int busyWaitMillis)
    : path_(platform::documentsFolder() + "/" + DATABASE_NAME),
      connection_(std::move(connection)),
      busyWaitMillis_(busyWaitMillis) {
    sqlite3_busy_handler(connection_->raw(), &pollEveryMillisecond, &busyWaitMillis_);
    createTable();
}

ActionHistorySqliteStore::~ActionHistorySqliteStore() = default;

void ActionHistorySqliteStore::createTable() {
    if (!run(*connection_, actionHistoryTable_.createTableQuery())) {
        SvlLog::error(
            "Can not Create ActionHistoryTable, errorMessage : " + connection_->errorMessage(),
            true);
        return;
    }
    (void)run(*connection_, kTimeStampIndex);
}

void ActionHistorySqliteStore::dropTable() {
    if (run(*connection_, actionHistoryTable_.dropTableQuery())) {
        SvlLog::debug("Delete ActionHistoryTable Success", true);
    } else {
        SvlLog::error("Can not Delete ActionHistoryTable", true);
    }
}

bool ActionHistorySqliteStore::clearAllActionHistoryInLocalDB() {
    if (run(*connection_, "DELETE FROM ActionHistory")) {
        SvlLog::debug("clearAllActionHistoryInLocalDB() :: Success", true);
        return true;
    }
    SvlLog::error("clearAllActionHistoryInLocalDB() :: Can not Clear ActionHistoryTable", true);
    return false;
}

bool ActionHistorySqliteStore::clearSyncedActionHistoryInLocalDB() {
    if (run(*connection_, "DELETE FROM ActionHistory\nWHERE IsServerSynced = 1")) {
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
    if (run(*connection_, sql)) {
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
    if (run(*connection_, sql)) {
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
    if (!writeRow({historyId, actionType, timeStamp, stepId, cycleTime, content, campaignRevisionNo,
                   campaignId, group, isServerSynced, isRead})) {
        // A received push is lost: no server keeps a copy to fetch again. Said
        // where a developer looks, not only in QA mode.
        logInsertFailed(historyId, false);
    }
}

void ActionHistorySqliteStore::logInsertFailed(const std::string& historyId, bool qaOnly) {
    SvlLog::error("Insert to ActionHistoryTable fail, historyId : " + historyId, qaOnly);
}

bool ActionHistorySqliteStore::writeRow(const ActionHistoryRow& row) {
    sqlite::Statement s = connection_->prepare(actionHistoryTable_.insertQuery());
    if (!s.prepared()) {
        SvlLog::debug("Insert to ActionHistoryTable not prepared, historyId : " + row.historyId,
                      true);
        return false;
    }
    s.bindText(1, row.historyId);
    s.bindText(2, row.actionType);
    s.bindInt64(3, row.timeStamp);
    s.bindText(4, row.stepId);
    s.bindText(5, row.cycleTime);
    s.bindText(6, row.content);
    s.bindInt(7, row.campaignRevisionNo);
    s.bindText(8, row.campaignId);
    s.bindText(9, row.group);
    s.bindBool(10, row.isServerSynced);
    s.bindBool(11, row.isRead);
    int rc = s.step();
    // Another connection kept the file locked through the whole wait.
    for (int attempt = 1; (rc & 0xff) == SQLITE_BUSY && attempt < INSERT_ATTEMPTS; ++attempt) {
        SvlLog::debug(
            "Insert to ActionHistoryTable busy, trying again, historyId : " + row.historyId, true);
        s.reset();
        rc = s.step();
    }
    if (rc == SQLITE_DONE) {
        SvlLog::debug("Insert to ActionHistoryTable Success, historyId : " + row.historyId, true);
        return true;
    }
    return false;
}

void ActionHistorySqliteStore::leaveLockFree() {
    const auto freeUntil = lastBatchEnd_ + std::chrono::milliseconds(LOCK_GAP_MILLIS);
    const auto now = std::chrono::steady_clock::now();
    if (now < freeUntil) {
        std::this_thread::sleep_for(freeUntil - now);
    }
}

void ActionHistorySqliteStore::insertRows(const std::vector<ActionHistoryRow>& rows) {
    std::size_t next = 0;
    while (next < rows.size()) {
        leaveLockFree();
        std::optional<sqlite::Transaction> transaction;
        for (int attempt = 0; attempt < INSERT_ATTEMPTS; ++attempt) {
            transaction.emplace(*connection_);
            if (transaction->begun().isOk()) {
                break;
            }
        }
        if (!transaction->begun().isOk()) {
            SvlLog::error("ActionHistory transaction not begun : " + transaction->begun().message(),
                          true);
            for (; next < rows.size(); ++next) {
                logInsertFailed(rows[next].historyId, true);
            }
            return;
        }
        const auto began = std::chrono::steady_clock::now();
        do {
            // The server's own entries: it still holds them.
            if (!writeRow(rows[next])) {
                logInsertFailed(rows[next].historyId, true);
            }
            ++next;
        } while (next < rows.size() && std::chrono::steady_clock::now() - began <
                                           std::chrono::milliseconds(MAX_LOCK_HOLD_MILLIS));
        if (Status committed = transaction->commit(); !committed.isOk()) {
            SvlLog::error("ActionHistory transaction not committed : " + committed.message(), true);
        }
        lastBatchEnd_ = std::chrono::steady_clock::now();
    }
}

StatusOr<std::vector<ActionHistoryData>, ActionHistoryError>
ActionHistorySqliteStore::getAllActionHistory(const std::vector<std::string>& actionTypes) {
    const std::string sql = kSelectHead + sqlite::quotedList(actionTypes);
    sqlite::Statement s = connection_->prepare(sql);
    if (!s.prepared()) {
        SvlLog::error("getAllActionHistory :: can not prepare query string : " + sql, true);
        return ActionHistoryError::SqliteQueryError;
    }
    return readRows(s);
}

StatusOr<std::vector<ActionHistoryData>, ActionHistoryError>
ActionHistorySqliteStore::getActionHistory(std::int64_t skip, std::int64_t limit,
                                           const std::vector<std::string>& actionTypes) {
    // SQLite reads a negative LIMIT as "no limit": a page asked with one is
    // empty instead of the whole table.
    const std::string sql =
        kSelectHead + sqlite::quotedList(actionTypes) + "\nORDER BY TimeStamp DESC\nLIMIT " +
        std::to_string(limit < 0 ? 0 : limit) + "\nOFFSET " + std::to_string(skip < 0 ? 0 : skip);
    sqlite::Statement s = connection_->prepare(sql);
    if (!s.prepared()) {
        SvlLog::error("getActionHistory :: can not prepare query string : " + sql, true);
        return ActionHistoryError::SqliteQueryError;
    }
    return readRows(s);
}

StatusOr<std::int64_t, ActionHistoryError> ActionHistorySqliteStore::getLastServerTimeStamp() {
    const std::string sql = "SELECT MAX(TimeStamp)\nFROM ActionHistory\nWHERE IsServerSynced = 1";
    sqlite::Statement s = connection_->prepare(sql);
    if (!s.prepared()) {
        SvlLog::error("getLastServerTimeStamp :: can not prepare query string : " + sql +
                          ", prepareResult : " + std::to_string(s.prepareResult()),
                      true);
        return ActionHistoryError::SqliteQueryError;
    }
    return s.step() == SQLITE_ROW ? s.columnInt64(0) : std::int64_t{0};
}

}  // namespace sorvel
