#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Network/ApiModel.h"
#include "sorvel/ActionHistoryResult.h"

namespace sorvel {

// Builds the message-history list query. The ascending flag it is given has
// no effect: the condition always asks for ascending order.
class ActionHistoryQueryModelProvider : public IApiModelProvider {
  public:
    ActionHistoryQueryModelProvider(Value::Map commonModel, std::vector<std::string> actionType,
                                    std::int64_t skip, std::int64_t limit,
                                    std::int64_t fromTimeStamp, std::int64_t toTimeStamp,
                                    bool ascending, std::string id);
    std::shared_ptr<IApiModel> getApiModel() override;

  private:
    std::vector<std::string> actionType_;
    std::int64_t skip_;
    std::int64_t limit_;
    std::int64_t fromTimeStamp_;
    std::int64_t toTimeStamp_;
    bool ascending_;
    std::string id_;
    Value::Map commonModel_;
};

// Builds the deletion of a whole history (no history id) or of one entry.
class ActionHistoryDeleteModelProvider : public IApiModelProvider {
  public:
    ActionHistoryDeleteModelProvider(Value::Map common, std::string appkey, std::string id,
                                     std::optional<std::string> historyId, std::int64_t timestamp,
                                     ActionHistoryIdType actionHistoryDeleteType);
    std::shared_ptr<IApiModel> getApiModel() override;

  private:
    Value::Map common_;
    std::string appkey_;
    std::string id_;
    std::optional<std::string> historyId_;
    std::int64_t timestamp_;
    ActionHistoryIdType actionHistoryDeleteType_;
};

}  // namespace sorvel
