#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Event/EventPackage.h"
#include "Network/ApiModel.h"
#include "Network/Model/CommonModel.h"
#include "sorvel/Value.h"

namespace sorvel {

// The body of one bulk upload: the common block and the events of one package.
// The app key goes into the URL, not into the body.
class EventBundleModel : public IApiModel {
  public:
    EventBundleModel(CommonModel common, std::shared_ptr<const EventPackage> eventPackage,
                     std::string appKey);
    // Over a common block whose text is kept between requests; the app key
    // is the block's ("" when it has none).
    EventBundleModel(CommonBlock common, std::shared_ptr<const EventPackage> eventPackage);

    // {"common": ..., "evts": [event dictionaries in order]}.
    Value::Map toDictionary() const override;
    // The common block written out, followed by the JSON the package keeps of
    // its events: the same text as the dictionary's, without building either.
    ApiBody toApiBody() const override;
    // The same body, the request time moved into it rather than copied.
    ApiBody takeApiBody() &&;
    // The event-bulk URL with the app key in place of its "%@".
    std::string getUrl() const override;

    CommonModel common() const { return common_.model(); }
    std::vector<EventModel> evts() const { return package_->eventModels(); }
    const std::string& appKey() const;

  private:
    // The text of the body, its request time not yet set.
    ApiBody bodyWithoutTime() const;

    CommonBlock common_;
    // The events are the package's, shared rather than copied.
    std::shared_ptr<const EventPackage> package_;
    // Given apart from the common block; else the block's is used.
    std::optional<std::string> appKey_;
};

}  // namespace sorvel
