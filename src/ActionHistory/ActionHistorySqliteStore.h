#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ActionHistory/ActionHistoryTable.h"

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

// The message-history database "FvnActionHistory.sqlite" in the app's
// Documents folder: one table, ActionHistory, whose HistoryId is unique
// (inserts replace). The connection is opened once, in serialised mode, and
// kept for the store's life; the store takes no lock of its own, its caller
// runs it on one serial queue.
//
// Create, drop, insert and the deletes never throw: a failure is one log line
// (and false from the clears and the single delete). The selects throw
// ActionHistoryError::SqliteQueryError when their statement cannot be
// prepared; a step error ends the rows read so far. The operations are virtual
// so that a caller's failure paths can be exercised.
class ActionHistorySqliteStore {
  public:
    static constexpr const char* DATABASE_NAME = "FvnActionHistory.sqlite";

    // Opens (creating when missing) the database and creates the table;
    // throws ActionHistoryError::OpenDatabaseError after the line "Unable to
    // open ActionHistory Database" when it cannot be opened for writing.
    ActionHistorySqliteStore();
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
    virtual void insert(const std::string& historyId, const std::string& actionType,
                        std::int64_t timeStamp, const std::string& stepId,
                        const std::string& cycleTime, const std::string& content,
                        std::int32_t campaignRevisionNo, const std::string& campaignId,
                        const std::string& group, bool isServerSynced, bool isRead);
    // Every row of the types, in SQLite's order.
    virtual std::vector<ActionHistoryData> getAllActionHistory(
        const std::vector<std::string>& actionTypes);
    // At most limit rows of the types after skipping skip, newest first. A
    // negative skip counts as 0; a negative limit gives no rows.
    virtual std::vector<ActionHistoryData> getActionHistory(
        std::int64_t skip, std::int64_t limit, const std::vector<std::string>& actionTypes);
    // The largest TimeStamp among synced rows; 0 when there is none.
    virtual std::int64_t getLastServerTimeStamp();

    // Runs body inside one transaction, so that a batch of inserts commits
    // once. Nested use runs body as part of the outer transaction.
    virtual void inTransaction(const std::function<void()>& body);

    // The full path of the database file.
    const std::string& path() const { return path_; }

  private:
    struct Db;
    ActionHistoryTable actionHistoryTable_;
    std::string path_;
    std::unique_ptr<Db> db_;
};

}  // namespace sorvel
