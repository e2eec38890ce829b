#include "Data/ModelProvider/ActionHistoryModelProviders.h"

#include <utility>

#include "Network/Model/ActionHistoryModels.h"

namespace sorvel {

ActionHistoryQueryModelProvider::ActionHistoryQueryModelProvider(
    Value::Map commonModel, std::vector<std::string> actionType, std::int64_t skip,
    std::int64_t limit, std::int64_t fromTimeStamp, std::int64_t toTimeStamp, bool ascending,
    std::string id)
    : actionType_(std::move(actionType)),
      skip_(skip),
      limit_(limit),
      fromTimeStamp_(fromTimeStamp),
      toTimeStamp_(toTimeStamp),
      ascending_(ascending),
      id_(std::move(id)),
      commonModel_(std::move(commonModel)) {}

std::shared_ptr<IApiModel> ActionHistoryQueryModelProvider::getApiModel() {
    ActionHistoryConditionModel condition;
    condition.actionType = actionType_;
    condition.skip = skip_;
    condition.limit = limit_;
    condition.fromTimeStamp = fromTimeStamp_;
    condition.toTimeStamp = toTimeStamp_;
    condition.id = id_;
    (void)ascending_;
    auto model = std::make_shared<ActionHistoryQueryModel>();
    model->common = commonModel_;
    model->condition = condition.toDictionary();
    return model;
}

ActionHistoryDeleteModelProvider::ActionHistoryDeleteModelProvider(
    Value::Map common, std::string appkey, std::string id, std::optional<std::string> historyId,
    std::int64_t timestamp, ActionHistoryIdType actionHistoryDeleteType)
    : common_(std::move(common)),
      appkey_(std::move(appkey)),
      id_(std::move(id)),
      historyId_(std::move(historyId)),
      timestamp_(timestamp),
      actionHistoryDeleteType_(actionHistoryDeleteType) {}

std::shared_ptr<IApiModel> ActionHistoryDeleteModelProvider::getApiModel() {
    auto model = std::make_shared<ActionHistoryDeleteModel>();
    model->common = common_;
    model->appkey = appkey_;
    model->id = id_;
    model->historyId = historyId_;
    model->timestamp = timestamp_;
    model->actionHistoryDeleteType = actionHistoryDeleteType_;
    return model;
}

}  // namespace sorvel
