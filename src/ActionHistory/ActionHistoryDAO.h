#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ActionHistory/ActionHistorySqliteStore.h"
#include "Base/Status.h"
#include "sorvel/ActionHistoryModel.h"
#include "sorvel/ActionHistoryResult.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;

// The one door between the repository and the message-history store: server
// entries and received pushes become rows, rows become ActionHistory entries.
// It holds nothing but its store; every call comes from the repository's
// serial "FvnActionHistoryDispatchQueue", one at a time.
//
// Reads answer ActionHistoryError::SqliteQueryError when the store cannot run
// its query. A stored row whose content cannot be read is left out of the
// list with an error line, so one bad row never hides the rest of the inbox.
class ActionHistoryDAO {
  public:
    // Server entries are written a chunk at a time, each chunk in its own
    // short transaction, so that another process's write (a push stored
    // meanwhile) never waits long for a list of any length.
    static constexpr std::size_t CHUNK_ROWS = 500;
    static constexpr std::size_t CHUNK_BYTES = 1 << 20;

    // With no store given, opens the default one; its OpenDatabaseError
    // reaches the caller.
    static StatusOr<std::shared_ptr<ActionHistoryDAO>, ActionHistoryError> open(
        std::shared_ptr<DataRegistry> dataRegistry,
        std::shared_ptr<ActionHistorySqliteStore> store = nullptr);
    // Over an opened store.
    ActionHistoryDAO(std::shared_ptr<DataRegistry> dataRegistry,
                     std::shared_ptr<ActionHistorySqliteStore> store);

    // Takes a server list entry by entry, as its reader hands them over, and
    // stores each complete one as a synced row; an entry lacking a required
    // value is logged and skipped. Rows go to the store a chunk at a time, in
    // list order; finish() (or the end of the writer) stores the last chunk.
    class ServerListWriter {
      public:
        explicit ServerListWriter(ActionHistorySqliteStore& store);
        ~ServerListWriter();
        ServerListWriter(const ServerListWriter&) = delete;
        ServerListWriter& operator=(const ServerListWriter&) = delete;

        void add(const Value::Map& entry);
        // An element that is not an object is logged and skipped.
        void add(const Value& element);
        void finish();

      private:
        ActionHistorySqliteStore& store_;
        std::vector<ActionHistoryRow> rows_;
        std::size_t bytes_ = 0;
    };
    ServerListWriter serverListWriter();

    // Stores each complete server entry as a synced row (see
    // ServerListWriter).
    void insertActionHistory2Table(const Value::Array& historyArr);
    // Stores a received push as an unsynced "PUSH_IOS" row stamped now; logs
    // "insertPushData :: no essential Value" and stores nothing when a
    // required value is missing.
    void insertPushData(const Value::Map& pushJsonDic);
    void dropTable();
    void createTable();
    StatusOr<ActionHistoryResult::Entries, ActionHistoryError> getAllActionHistory(
        const std::vector<std::string>& actionType);
    StatusOr<ActionHistoryResult::Entries, ActionHistoryError> getActionHistory(
        std::int64_t skip, std::int64_t limit, const std::vector<std::string>& actionType);
    bool deleteActionHistory(const std::string& historyId, std::int64_t timeStamp);
    bool clearSyncedActionHistoryInLocalDB();
    bool clearAllActionHistoryInLocalDB();
    StatusOr<std::int64_t, ActionHistoryError> getLastServerTimeStamp();
    void deleteOutDatedPushData(std::int64_t lastTimeStamp);

  private:
    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<ActionHistorySqliteStore> store_;
};

}  // namespace sorvel
