#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sorvel/ActionHistoryResult.h"
#include "sorvel/Value.h"

namespace sorvel {

// The message-history operations, alike on the controller, the context states
// and the repository. Each completion is answered exactly once. The token of
// a server request is absent when the app gave none; the request then goes
// without an "Authorization" header.
class IActionHistoryOperations {
  public:
    virtual ~IActionHistoryOperations() = default;

    virtual void fetchActionHistoryFromServer(const std::optional<std::string>& token,
                                              ActionHistoryIdType idType,
                                              const std::vector<std::string>& actionType,
                                              ActionHistoryCompletion completion) = 0;
    virtual void insertPushData(const Value::Map& pushJsonDic) = 0;
    virtual void getActionHistory(std::int64_t skip, std::int64_t limit,
                                  const std::vector<std::string>& actionType,
                                  ActionHistoryCompletion completion) = 0;
    virtual void getAllActionHistory(const std::vector<std::string>& actionType,
                                     ActionHistoryCompletion completion) = 0;
    virtual void deleteAllActionHistory(const std::optional<std::string>& token,
                                        ActionHistoryIdType idType,
                                        ActionHistoryCompletion completion) = 0;
    virtual void deleteActionHistory(const std::optional<std::string>& token,
                                     const std::string& historyId, std::int64_t timeStamp,
                                     ActionHistoryCompletion completion) = 0;
    virtual void clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion completion) = 0;
    virtual void clearAllActionHistoryInLocalDB() = 0;
};

}  // namespace sorvel
