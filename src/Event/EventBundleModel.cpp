#include "Event/EventBundleModel.h"

#include "Base/JsonText.h"
#include "Common/Constants.h"

namespace sorvel {

EventBundleModel::EventBundleModel(CommonModel common,
                                   std::shared_ptr<const EventPackage> eventPackage,
                                   std::string appKey)
    : common_(CommonBlock::of(common)),
      package_(std::move(eventPackage)),
      appKey_(std::move(appKey)) {}

EventBundleModel::EventBundleModel(CommonBlock common,
                                   std::shared_ptr<const EventPackage> eventPackage)
    : common_(std::move(common)), package_(std::move(eventPackage)) {}

const std::string& EventBundleModel::appKey() const {
    static const std::string kNone;
    if (appKey_) {
        return *appKey_;
    }
    const auto& blockKey = common_.text->model.appkey;
    return blockKey ? *blockKey : kNone;
}

Value::Map EventBundleModel::toDictionary() const {
    Value::Map package = package_->toDictionary();
    return Value::Map{{"common", Value(common_.model().toDictionary())},
                      {"evts", std::move(package["eventModels"])}};
}

ApiBody EventBundleModel::toApiBody() const {
    ApiBody body = bodyWithoutTime();
    body.requestDatetime = common_.requestDatetime;
    return body;
}

ApiBody EventBundleModel::takeApiBody() && {
    ApiBody body = bodyWithoutTime();
    body.requestDatetime = std::move(common_.requestDatetime);
    return body;
}

ApiBody EventBundleModel::bodyWithoutTime() const {
    ApiBody body;
    const CommonBlockText& common = *common_.text;
    // {"common":<block>,"evts":<events>}: 19 bytes of frame and 24 of time.
    body.json.reserve(common.head.size() + common.tail.size() + package_->eventsJsonSize() + 48);
    {
        json::ObjectWriter o(body.json);
        common_.appendJson(o.key("common"));
        package_->appendEventsJson(o.key("evts"));
    }
    body.hasCommon = true;
    return body;
}

std::string EventBundleModel::getUrl() const {
    return Constants::eventBulkUrl(appKey());
}

}  // namespace sorvel
