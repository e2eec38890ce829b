#include "Event/EventBundleModel.h"

#include "Base/JsonText.h"
#include "Common/Constants.h"

namespace sorvel {

EventBundleModel::EventBundleModel(CommonModel common,
                                   std::shared_ptr<const EventPackage> eventPackage,
                                   std::string appKey)
    : common_(std::move(common)), package_(std::move(eventPackage)), appKey_(std::move(appKey)) {}

Value::Map EventBundleModel::toDictionary() const {
    Value::Map package = package_->toDictionary();
    return Value::Map{{"common", Value(common_.toDictionary())},
                      {"evts", std::move(package["eventModels"])}};
}

ApiBody EventBundleModel::toApiBody() const {
    ApiBody body;
    const std::string& events = package_->eventsJson();
    body.json.reserve(events.size() + 1024);
    {
        json::ObjectWriter o(body.json);
        common_.appendJson(o.key("common"));
        o.key("evts") += events;
    }
    body.hasCommon = true;
    body.requestDatetime = common_.requestDatetime;
    return body;
}

std::string EventBundleModel::getUrl() const {
    return Constants::fill(Constants::EVENT_BULK_URL(), {appKey_});
}

}  // namespace sorvel
