#include "ActionHistory/ActionHistorySqliteStore.h"

#include <sqlite3.h>

#include <utility>

#include "Common/SvlLog.h"
#include "Platform/FileSystem.h"
#include "sorvel/ActionHistoryResult.h"

namespace sorvel {

namespace {

// A SQL text literal of the value: single-quoted with quotes doubled, or, for
// a value holding a NUL byte (which would end the statement text there), its
// bytes in hex cast to text.
std::string quoted(const std::string& text) {
    if (text.find('\0') != std::string::npos) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        std::string out = "CAST(X'";
        for (const char c : text) {
            out += kHex[static_cast<unsigned char>(c) >> 4];
            out += kHex[static_cast<unsigned char>(c) & 0x0F];
        }
        out += "' AS TEXT)";
        return out;
    }
    std::string out = "'";
    for (const char c : text) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    out += '\'';
    return out;
}

// The IN list of action types as single-quoted literals: a double-quoted word
// could be read as a column name.
std::string inList(const std::vector<std::string>& items) {
    std::string out = "( ";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        out += quoted(items[i]);
    }
    out += " )";
    return out;
}

const char* const kSelectHead =
    "SELECT\nHistoryId,\nActionType,\nTimeStamp,\nContent,\nGroupCode,\nIsServerSynced,\nIsRead\n"
    "FROM ActionHistory\nWHERE ActionType in ";

std::string columnText(sqlite3_stmt* stmt, int i) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)))
                : std::string();
}

}  // namespace

struct ActionHistorySqliteStore::Db {
    sqlite3* handle = nullptr;
    int transactionDepth = 0;
    ~Db() { sqlite3_close_v2(handle); }

    struct Stmt {
        sqlite3_stmt* stmt = nullptr;
        int rc = SQLITE_ERROR;
        Stmt(sqlite3* db, const std::string& sql) {
            rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
        }
        ~Stmt() { sqlite3_finalize(stmt); }
        Stmt(const Stmt&) = delete;
        Stmt& operator=(const Stmt&) = delete;
        bool prepared() const { return rc == SQLITE_OK && stmt != nullptr; }
    };

    // Prepared and one step finished.
    bool run(const std::string& sql) {
        Stmt s(handle, sql);
        return s.prepared() && sqlite3_step(s.stmt) == SQLITE_DONE;
    }
};

ActionHistorySqliteStore::ActionHistorySqliteStore()
    : path_(platform::documentsFolder() + "/" + DATABASE_NAME) {
    auto db = std::make_unique<Db>();
    const bool fileOk = platform::ensurePrivateFile(path_).isOk();
    const int rc =
        fileOk ? sqlite3_open_v2(path_.c_str(), &db->handle,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr)
               : SQLITE_CANTOPEN;
    const bool usable =
        rc == SQLITE_OK && db->handle != nullptr &&
        sqlite3_busy_timeout(db->handle, 5000) == SQLITE_OK &&
        sqlite3_exec(db->handle, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr,
                     nullptr, nullptr) == SQLITE_OK;
    if (!usable) {
        SvlLog::debug("Unable to open ActionHistory Database", true);
        throw ActionHistoryError::OpenDatabaseError;
    }
    SvlLog::debug("Successfully opened connection to ActionHistory database at " + path_, true);
    db_ = std::move(db);
    createTable();
}

ActionHistorySqliteStore::~ActionHistorySqliteStore() = default;

void ActionHistorySqliteStore::createTable() {
    if (!db_->run(actionHistoryTable_.createTableQuery())) {
        SvlLog::error(std::string("Can not Create ActionHistoryTable, errorMessage : ") +
                          sqlite3_errmsg(db_->handle),
                      true);
    }
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
    const std::string sql = "DELETE FROM ActionHistory\nWHERE HistoryId = " + quoted(historyId) +
                            "\nAND TimeStamp = " + std::to_string(timeStamp) +
                            "\nAND IsServerSynced = 1";
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
    Db::Stmt s(db_->handle, actionHistoryTable_.insertQuery());
    if (!s.prepared()) {
        SvlLog::debug("Insert to ActionHistoryTable not prepared, historyId : " + historyId, true);
        return;
    }
    auto text = [&](int i, const std::string& v) {
        sqlite3_bind_text64(s.stmt, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    };
    text(1, historyId);
    text(2, actionType);
    sqlite3_bind_int64(s.stmt, 3, timeStamp);
    text(4, stepId);
    text(5, cycleTime);
    text(6, content);
    sqlite3_bind_int(s.stmt, 7, campaignRevisionNo);
    text(8, campaignId);
    text(9, group);
    sqlite3_bind_int(s.stmt, 10, isServerSynced ? 1 : 0);
    sqlite3_bind_int(s.stmt, 11, isRead ? 1 : 0);
    if (sqlite3_step(s.stmt) == SQLITE_DONE) {
        SvlLog::debug("Insert to ActionHistoryTable Success, historyId : " + historyId, true);
    } else {
        SvlLog::debug("Insert to ActionHistoryTable fail, historyId : " + historyId, true);
    }
}

namespace {

std::vector<ActionHistoryData> readRows(sqlite3_stmt* stmt) {
    std::vector<ActionHistoryData> rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        rows.emplace_back(columnText(stmt, 0), columnText(stmt, 1), sqlite3_column_int64(stmt, 2),
                          columnText(stmt, 3), columnText(stmt, 4),
                          sqlite3_column_int(stmt, 5) == 1, sqlite3_column_int(stmt, 6) == 1);
    }
    return rows;
}

}  // namespace

std::vector<ActionHistoryData> ActionHistorySqliteStore::getAllActionHistory(
    const std::vector<std::string>& actionTypes) {
    const std::string sql = kSelectHead + inList(actionTypes);
    Db::Stmt s(db_->handle, sql);
    if (!s.prepared()) {
        SvlLog::error("getAllActionHistory :: can not prepare query string : " + sql, true);
        throw ActionHistoryError::SqliteQueryError;
    }
    return readRows(s.stmt);
}

std::vector<ActionHistoryData> ActionHistorySqliteStore::getActionHistory(
    std::int64_t skip, std::int64_t limit, const std::vector<std::string>& actionTypes) {
    const std::string sql =
        kSelectHead + inList(actionTypes) + "\nORDER BY TimeStamp DESC\nLIMIT " +
        std::to_string(limit < 0 ? 0 : limit) + "\nOFFSET " + std::to_string(skip < 0 ? 0 : skip);
    Db::Stmt s(db_->handle, sql);
    if (!s.prepared()) {
        SvlLog::error("getActionHistory :: can not prepare query string : " + sql, true);
        throw ActionHistoryError::SqliteQueryError;
    }
    return readRows(s.stmt);
}

std::int64_t ActionHistorySqliteStore::getLastServerTimeStamp() {
    const std::string sql = "SELECT MAX(TimeStamp)\nFROM ActionHistory\nWHERE IsServerSynced = 1";
    Db::Stmt s(db_->handle, sql);
    if (!s.prepared()) {
        SvlLog::error("getLastServerTimeStamp :: can not prepare query string : " + sql +
                          ", prepareResult : " + std::to_string(s.rc),
                      true);
        throw ActionHistoryError::SqliteQueryError;
    }
    return sqlite3_step(s.stmt) == SQLITE_ROW ? sqlite3_column_int64(s.stmt, 0) : 0;
}

void ActionHistorySqliteStore::inTransaction(const std::function<void()>& body) {
    if (db_->transactionDepth > 0) {
        body();
        return;
    }
    const bool began = db_->run("BEGIN IMMEDIATE");
    ++db_->transactionDepth;
    try {
        body();
    } catch (...) {
        --db_->transactionDepth;
        if (began) {
            db_->run("ROLLBACK");
        }
        throw;
    }
    --db_->transactionDepth;
    if (began && !db_->run("COMMIT")) {
        SvlLog::error(
            std::string("ActionHistory transaction not committed : ") + sqlite3_errmsg(db_->handle),
            true);
        db_->run("ROLLBACK");
    }
}

}  // namespace sorvel
