#include "Event/EventBundleModel.h"

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

std::string EventBundleModel::getUrl() const {
    return Constants::fill(Constants::EVENT_BULK_URL(), {appKey_});
}

}  // namespace sorvel
