#include "Event/EventBundleModel.h"

#include "Base/JsonText.h"
#include "Common/Constants.h"

namespace sorvel {

EventBundleModel::EventBundleModel(Value::Map common,
                                   std::shared_ptr<const EventPackage> eventPackage,
                                   std::string appKey)
    : common_(std::move(common)), package_(std::move(eventPackage)), appKey_(std::move(appKey)) {}

Value::Map EventBundleModel::toDictionary() const {
    Value::Array events;
    events.reserve(evts().size());
    for (const auto& event : evts()) {
        events.emplace_back(event.toDictionary());
    }
    return Value::Map{{"common", Value(common_)}, {"evts", Value(std::move(events))}};
}

ApiBody EventBundleModel::toApiBody() const {
    ApiBody body;
    const std::string& events = package_->eventsJson();
    body.json.reserve(events.size() + 1024);
    body.json += "{\"common\":";
    json::appendMap(body.json, common_);
    body.json += ",\"evts\":";
    body.json += events;
    body.json += '}';
    body.hasCommon = true;
    if (auto t = common_.find("request_datetime"); t != common_.end() && t->second.isString()) {
        body.requestDatetime = *t->second.getString();
    }
    return body;
}

std::string EventBundleModel::getUrl() const {
    return Constants::fill(Constants::EVENT_BULK_URL(), {appKey_});
}

}  // namespace sorvel
