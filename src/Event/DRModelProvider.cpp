#include "Event/DRModelProvider.h"

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DatesAndIds.h"
#include "Common/SvlLog.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Data/DataProviders/DeviceStaticDataProvider.h"
#include "Data/ModelProvider/CommonModelProvider.h"
#include "Event/EventModelProvider.h"
#include "Network/Model/DRModel.h"

namespace sorvel {

DRModelProvider::DRModelProvider(
    std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider,
    std::shared_ptr<DeviceStaticDataProvider> deviceStaticDataProvider,
    std::shared_ptr<DataRegistry> dataRegistry, std::shared_ptr<EventCounters> counters,
    std::shared_ptr<UserPropertyManager> userPropertyManager, DROperationType operationType,
    std::string userId)
    : deviceRealtimeDataProvider_(std::move(deviceRealtimeDataProvider)),
      deviceStaticDataProvider_(std::move(deviceStaticDataProvider)),
      dataRegistry_(std::move(dataRegistry)),
      counters_(std::move(counters)),
      userPropertyManager_(std::move(userPropertyManager)),
      operationType_(operationType),
      userId_(std::move(userId)) {}

std::shared_ptr<IApiModel> DRModelProvider::getApiModel() {
    if (operationType_ != DROperationType::INITIALIZE) {
        return makeModel(std::nullopt);
    }
    auto parameter = LogEventParameter::init(
        FvnUtil::createEventId(), std::nullopt, Constants::EVENT_GROUP_STANDARD,
        Constants::EVENT_NAME_INIT_RESTART, {}, 0, 0, 0, 0, FvnUtil::getCurrentDatetimeString());
    EventModel event =
        EventModelProvider(userPropertyManager_, dataRegistry_, counters_, std::move(parameter))
            .buildEventModel();
    dataRegistry_->putString(event.event_datetime,
                             DataRegistryKey::STRING_INIT_RESTART_EVENT_DATETIME);
    dataRegistry_->putString(event.log_id, DataRegistryKey::STRING_INIT_RESTART_EVENT_ID);
    dataRegistry_->putString(event.prev_id, DataRegistryKey::STRING_INIT_RESTART_PREV_ID);
    return makeModel(event.toDictionary());
}

std::shared_ptr<IApiModel> DRModelProvider::getResendApiModel() {
    auto datetime = dataRegistry_->getStringOrNil(
        DataRegistryKey::STRING_INIT_RESTART_EVENT_DATETIME, std::nullopt);
    auto eventId =
        dataRegistry_->getStringOrNil(DataRegistryKey::STRING_INIT_RESTART_EVENT_ID, std::nullopt);
    if (operationType_ != DROperationType::INITIALIZE || !datetime || !eventId) {
        SvlLog::warning(
            "DRModelProvider :: no stored init-restart event to resend; a new one is made", true);
        return getApiModel();
    }
    auto prevId =
        dataRegistry_->getStringOrNil(DataRegistryKey::STRING_INIT_RESTART_PREV_ID, std::nullopt);
    auto parameter =
        LogEventParameter::initWithDatetime(eventId, prevId, Constants::EVENT_GROUP_STANDARD,
                                            Constants::EVENT_NAME_INIT_RESTART, {}, 0, 0, datetime);
    EventModel event =
        EventModelProvider(userPropertyManager_, dataRegistry_, counters_, std::move(parameter))
            .buildEventModel();
    // The builder would take the previous id stored now when the first
    // attempt had none; the resent event keeps what was sent.
    event.prev_id = prevId;
    return makeModel(event.toDictionary());
}

std::shared_ptr<IApiModel> DRModelProvider::makeModel(std::optional<Value::Map> event) {
    if (deviceStaticDataProvider_) {
        deviceStaticDataProvider_->refreshData();
    }
    CommonModel common =
        CommonModelProvider(dataRegistry_, deviceRealtimeDataProvider_).getDataModel();
    auto model = std::make_shared<DRModel>();
    model->url = Constants::fill(Constants::DRWORKS_URL(), {common.appkey.value_or("")});
    model->common = common.toDictionary();
    model->operationType = operationType_;
    model->userId = userId_;
    model->event = std::move(event);
    return model;
}

}  // namespace sorvel
