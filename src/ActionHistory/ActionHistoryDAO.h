#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sorvel/ActionHistoryModel.h"
#include "sorvel/ActionHistoryResult.h"
#include "sorvel/Value.h"

namespace sorvel {

class ActionHistorySqliteStore;
class DataRegistry;

// The one door between the repository and the message-history store: server
// entries and received pushes become rows, rows become ActionHistory entries.
// It holds nothing but its store; every call comes from the repository's
// serial "FvnActionHistoryDispatchQueue", one at a time.
//
// Reads throw ActionHistoryError::SqliteQueryError when the store cannot run
// its query. A stored row whose content cannot be read is left out of the
// list with an error line, so one bad row never hides the rest of the inbox.
class ActionHistoryDAO {
  public:
    // With no store given, opens the default one; its OpenDatabaseError
    // (thrown as ActionHistoryError) reaches the caller.
    explicit ActionHistoryDAO(std::shared_ptr<DataRegistry> dataRegistry,
                              std::shared_ptr<ActionHistorySqliteStore> store = nullptr);

    // Stores each complete server entry as a synced row, all in one
    // transaction; an entry lacking a required value is logged and skipped.
    void insertActionHistory2Table(const Value::Array& historyArr);
    // Stores a received push as an unsynced "PUSH_IOS" row stamped now; logs
    // "insertPushData :: no essential Value" and stores nothing when a
    // required value is missing.
    void insertPushData(const Value::Map& pushJsonDic);
    void dropTable();
    void createTable();
    ActionHistoryResult::Entries getAllActionHistory(const std::vector<std::string>& actionType);
    ActionHistoryResult::Entries getActionHistory(std::int64_t skip, std::int64_t limit,
                                                  const std::vector<std::string>& actionType);
    bool deleteActionHistory(const std::string& historyId, std::int64_t timeStamp);
    bool clearSyncedActionHistoryInLocalDB();
    bool clearAllActionHistoryInLocalDB();
    std::int64_t getLastServerTimeStamp();
    void deleteOutDatedPushData(std::int64_t lastTimeStamp);

  private:
    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<ActionHistorySqliteStore> store_;
};

}  // namespace sorvel
