#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ActionHistory/ActionHistoryTable.h"
#include "Base/Status.h"
#include "Platform/Sqlite.h"
#include "sorvel/ActionHistoryResult.h"

namespace sorvel {

// One row of the ActionHistory table as read back. StepId, CycleTime,
// CampaignRevisionNO and CampaignId are written but never read.
struct ActionHistoryData {
    ActionHistoryData(std::string historyId, std::string actionType, std::int64_t timeStamp,
                      std::string content, std::string group, bool isServerSynced, bool isRead)
        : historyId(std::move(historyId)),
          actionType(std::move(actionType)),
          timeStamp(timeStamp),
          content(std::move(content)),
          group(std::move(group)),
          isServerSynced(isServerSynced),
          isRead(isRead) {}

    std::string historyId;
    std::string actionType;
    std::int64_t timeStamp;
    std::string content;
    std::string group;
    bool isServerSynced;
    bool isRead;
};

// One row as the inserts write it.
struct ActionHistoryRow {
    std::string historyId;
    std::string actionType;
    std::int64_t timeStamp = 0;
    std::string stepId;
    std::string cycleTime;
    std::string content;
    std::int32_t campaignRevisionNo = 0;
    std::string campaignId;
    std::string group;
    bool isServerSynced = false;
    bool isRead = false;
};

// The message-history database "FvnActionHistory.sqlite" in the app's
// Documents folder: one table, ActionHistory, whose HistoryId is unique
// (inserts replace). The connection is opened once, in serialised mode, and
// kept for the store's life; the store takes no lock of its own, its caller
// runs it on one serial queue.
//
// Another process may write the same file (an app started twice on one data
// folder). A write waits for the other's write lock, polling every
// millisecond for up to BUSY_WAIT_MILLIS; the store itself never holds the
// lock long: a batch of rows commits every MAX_LOCK_HOLD_MILLIS and leaves
// the lock free for a moment before its next transaction.
//
// Create, drop, insert and the deletes report a failure as a log line (and
// false from the clears and the single delete). The selects answer
// ActionHistoryError::SqliteQueryError when their statement cannot be
// prepared; a step error ends the rows read so far. The operations are
// virtual so that a caller's failure paths can be exercised.
class ActionHistorySqliteStore {
  public:
    static constexpr const char* DATABASE_NAME = "FvnActionHistory.sqlite";
    // How long one write waits for another connection's lock before it is
    // tried again, and how often it is tried in all.
    static constexpr int BUSY_WAIT_MILLIS = 5000;
    static constexpr int INSERT_ATTEMPTS = 3;
    // The longest a batch keeps the write lock, and the least time it leaves
    // it free before taking it again.
    static constexpr int MAX_LOCK_HOLD_MILLIS = 50;
    static constexpr int LOCK_GAP_MILLIS = 2;

    // Opens (creating when missing) the database and creates the table;
    // OpenDatabaseError, after the line "Unable to open ActionHistory
    // Database", when it cannot be opened for writing. Store may be a
    // subclass that inherits the constructor.
    template <class Store = ActionHistorySqliteStore>
    static StatusOr<std::shared_ptr<Store>, ActionHistoryError> open(
        int busyWaitMillis = BUSY_WAIT_MILLIS) {
        auto connection = openConnection();
        if (!connection) {
            return ActionHistoryError::OpenDatabaseError;
        }
        return std::make_shared<Store>(std::move(connection), busyWaitMillis);
    }

    // The store over a connection open() made.
    ActionHistorySqliteStore(std::unique_ptr<platform::sqlite::Connection> connection,
                             int busyWaitMillis);
    virtual ~ActionHistorySqliteStore();
    ActionHistorySqliteStore(const ActionHistorySqliteStore&) = delete;
    ActionHistorySqliteStore& operator=(const ActionHistorySqliteStore&) = delete;

    virtual void createTable();
    virtual void dropTable();
    virtual bool clearAllActionHistoryInLocalDB();
    virtual bool clearSyncedActionHistoryInLocalDB();
    // Removes the synced row with this id and time; a match of no row succeeds.
    virtual bool deleteActionHistory(const std::string& historyId, std::int64_t timeStamp);
    // Removes every device-only row older than the time.
    virtual void deleteOutDatedPushData(std::int64_t lastTimeStamp);
    // One row, committed at once. A write that found the file locked by
    // another connection through the whole wait is tried again; a row that
    // could not be written is logged as an error that is not QA-only.
    virtual void insert(const std::string& historyId, const std::string& actionType,
                        std::int64_t timeStamp, const std::string& stepId,
                        const std::string& cycleTime, const std::string& content,
                        std::int32_t campaignRevisionNo, const std::string& campaignId,
                        const std::string& group, bool isServerSynced, bool isRead);
    // The rows in order, in as few transactions as keep each one within
    // MAX_LOCK_HOLD_MILLIS. A reader (or a process killed meanwhile) sees
    // the rows of the transactions committed so far: a first part of the
    // batch, each row whole.
    virtual void insertRows(const std::vector<ActionHistoryRow>& rows);
    // Every row of the types, in SQLite's order.
    virtual StatusOr<std::vector<ActionHistoryData>, ActionHistoryError> getAllActionHistory(
        const std::vector<std::string>& actionTypes);
    // At most limit rows of the types after skipping skip, newest first. A
    // negative skip counts as 0; a negative limit gives no rows.
    virtual StatusOr<std::vector<ActionHistoryData>, ActionHistoryError> getActionHistory(
        std::int64_t skip, std::int64_t limit, const std::vector<std::string>& actionTypes);
    // The largest TimeStamp among synced rows; 0 when there is none.
    virtual StatusOr<std::int64_t, ActionHistoryError> getLastServerTimeStamp();

    // The full path of the database file.
    const std::string& path() const { return path_; }

  private:
    static std::unique_ptr<platform::sqlite::Connection> openConnection();
    // False: the row is not stored; the caller logs it.
    bool writeRow(const ActionHistoryRow& row);
    static void logInsertFailed(const std::string& historyId, bool qaOnly);
    // Waits until the write lock has been free for LOCK_GAP_MILLIS since
    // this store's last batch transaction ended.
    void leaveLockFree();

    ActionHistoryTable actionHistoryTable_;
    std::string path_;
    std::unique_ptr<platform::sqlite::Connection> connection_;
    // Read by the busy handler.
    int busyWaitMillis_;
    std::chrono::steady_clock::time_point lastBatchEnd_;
};

}  // namespace sorvel
