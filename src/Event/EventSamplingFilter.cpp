#include "Event/EventSamplingFilter.h"

#include <algorithm>

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DatesAndIds.h"
#include "Common/SvlLog.h"
#include "Event/LogEventParameter.h"
#include "Event/TypedValueDictionary.h"

namespace sorvel {

std::shared_ptr<EventSamplingFilter> EventSamplingFilter::create(
    std::shared_ptr<DataRegistry> dataRegistry) {
    auto filter = std::make_shared<EventSamplingFilter>(PassKey{}, dataRegistry);
    std::weak_ptr<EventSamplingFilter> weak = filter;
    dataRegistry->addListener(
        DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA,
        std::make_shared<DataUnitEventListener>([weak](const std::optional<Value>& value) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            const Value::Map* map = value ? value->getMap() : nullptr;
            if (map == nullptr) {
                SvlLog::error("value can not be casted to Dictionary : " +
                                  (value ? value->render() : std::string("nil")),
                              true);
                return;
            }
            self->setEventSamplingModel(std::make_shared<const EventSamplingModel>(
                EventSamplingModel::fromDictionary(*map)));
        }));
    return filter;
}

EventSamplingFilter::EventSamplingFilter(PassKey, std::shared_ptr<DataRegistry> dataRegistry)
    : dataRegistry_(std::move(dataRegistry)) {
    auto model = std::make_shared<const EventSamplingModel>(
        EventSamplingModel::fromDictionary(dataRegistry_->getDictionary(
            DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA, {})));
    platform::MutexLock lock(mu_);
    eventSamplingModel_ = std::move(model);
}

std::shared_ptr<const EventSamplingModel> EventSamplingFilter::eventSamplingModel() const {
    platform::MutexLock lock(mu_);
    return eventSamplingModel_;
}

void EventSamplingFilter::setEventSamplingModel(std::shared_ptr<const EventSamplingModel> model) {
    if (!model) {
        return;
    }
    platform::MutexLock lock(mu_);
    eventSamplingModel_.swap(model);
    // The old model is released after the lock, by `model` going out of scope.
}

bool EventSamplingFilter::isBlocked(const LogEventParameter& parameter) const {
    return isBlockedBySamplingFilter(getSamplingKey(parameter));
}

std::string EventSamplingFilter::getSamplingKey(const LogEventParameter& parameter) {
    std::string key = parameter.group + ":" + parameter.eventName;
    if (parameter.eventName != Constants::EVENT_NAME_START_SESSION) {
        return key;
    }
    const Value* given = parameter.findParam(Constants::PARAM_KEY_OPEN_TYPE);
    if (given == nullptr) {
        return key;
    }
    // The open type as it is written, with its type prefix.
    std::string typedOpenType;
    const std::string* openType = given->getString();
    if (parameter.paramForm == ParamForm::native && !given->isMap()) {
        typedOpenType = typedtext::text(*given);
        openType = &typedOpenType;
    }
    if (openType != nullptr && openType->find(':') != std::string::npos) {
        // The last piece of a split at every ":" (empty when it ends with one).
        return parameter.group + ":" + openType->substr(openType->rfind(':') + 1);
    }
    return key;
}

bool EventSamplingFilter::isBlockedBySamplingFilter(const std::string& key) const {
    if (std::any_of(eventsThatShouldNotBeSampled.begin(), eventsThatShouldNotBeSampled.end(),
                    [&](const char* exempt) { return key == exempt; })) {
        return false;
    }
    const std::shared_ptr<const EventSamplingModel> model = eventSamplingModel();
    const auto probability = model->getProbability(key);
    if (!probability) {
        return false;
    }
    const auto adid = dataRegistry_->getStringOrNil(DataRegistryKey::STRING_ADID, std::nullopt);
    if (!adid || model->type != EventSamplingType::ADID) {
        return false;
    }
    const auto hash = FvnUtil::getSHA256HashToUInt32(*adid, 7);
    if (!hash) {
        return false;
    }
    const std::uint32_t remainder = *hash % 100u;
    if (remainder >= *probability) {
        SvlLog::debug(
            key + " is blocked by sampling filter! (remainder = " + std::to_string(remainder) +
                ", probability = " + std::to_string(*probability) + ")",
            true);
        return true;
    }
    return false;
}

}  // namespace sorvel
