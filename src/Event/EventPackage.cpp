#include "Event/EventPackage.h"

#include "Base/JsonText.h"
#include "Common/SvlLog.h"
#include "Platform/Crypto.h"

namespace sorvel {

const char* describe(EventPackageError) noexcept {
    return "Error occur while making EventPackage from Dictionary";
}

EventPackage::EventPackage(std::vector<EventModel> eventModels)
    : eventCount_(eventModels.size()), packageId_(platform::crypto::uuidString()) {
    // About what an event with a few parameters and properties takes.
    eventsJson_.reserve(eventModels.size() * 1024 + 2);
    eventsJson_ += '[';
    for (std::size_t i = 0; i < eventModels.size(); ++i) {
        if (i > 0) {
            eventsJson_ += ',';
        }
        eventModels[i].appendJson(eventsJson_);
    }
    eventsJson_ += ']';
    // A package can wait in memory a long time (offline, or behind a failing
    // server): it keeps no unused reserve.
    if (eventsJson_.capacity() - eventsJson_.size() > eventsJson_.size() / 8) {
        eventsJson_.shrink_to_fit();
    }
}

EventPackage::EventPackage(const EventPackage& other)
    : eventCount_(other.eventCount_),
      packageId_(other.packageId_),
      eventsJson_(other.eventsJson_),
      withdrawn_(other.withdrawn()) {}

EventPackage::EventPackage(EventPackage&& other) noexcept
    : eventCount_(other.eventCount_),
      packageId_(std::move(other.packageId_)),
      eventsJson_(std::move(other.eventsJson_)),
      withdrawn_(other.withdrawn()) {}

EventPackage& EventPackage::operator=(const EventPackage& other) {
    if (this != &other) {
        eventCount_ = other.eventCount_;
        packageId_ = other.packageId_;
        eventsJson_ = other.eventsJson_;
        withdrawn_.store(other.withdrawn());
    }
    return *this;
}

EventPackage& EventPackage::operator=(EventPackage&& other) noexcept {
    eventCount_ = other.eventCount_;
    packageId_ = std::move(other.packageId_);
    eventsJson_ = std::move(other.eventsJson_);
    withdrawn_.store(other.withdrawn());
    return *this;
}

std::vector<EventModel> EventPackage::eventModels() const {
    std::vector<EventModel> events;
    events.reserve(eventCount_);
    const std::optional<Value> parsed = Value::fromJson(eventsJson_);
    const Value::Array* list = parsed ? parsed->getArray() : nullptr;
    for (const Value& element : list != nullptr ? *list : Value::Array{}) {
        const Value::Map* map = element.getMap();
        if (auto event = map != nullptr ? EventModel::initFromDictionary(*map)
                                        : StatusOr<EventModel>(Status::error("not an object"))) {
            events.push_back(std::move(event).value());
        }
    }
    return events;
}

void EventPackage::appendJson(std::string& out) const {
    json::ObjectWriter o(out);
    o.key("eventModels") += eventsJson_;
    o.text("package_id", packageId_);
}

Value::Map EventPackage::toDictionary() const {
    // The dictionaries as the text holds them (an event's unreadable parts
    // stay as written, where reading it back as a model would drop them).
    std::optional<Value> events = Value::fromJson(eventsJson_);
    if (!events || !events->isArray()) {
        events = Value(Value::Array{});
    }
    return Value::Map{{"eventModels", std::move(*events)}, {"package_id", Value(packageId_)}};
}

StatusOr<EventPackage> EventPackage::initFromDictionary(const Value::Map& dictionary) {
    auto it = dictionary.find("eventModels");
    const Value::Array* list = it != dictionary.end() ? it->second.getArray() : nullptr;
    if (list == nullptr) {
        return Status::error(describe(EventPackageError::FromDictionaryParseError));
    }
    std::vector<EventModel> events;
    events.reserve(list->size());
    for (const Value& element : *list) {
        const Value::Map* map = element.getMap();
        auto event = map != nullptr ? EventModel::initFromDictionary(*map)
                                    : StatusOr<EventModel>(Status::error("not an object"));
        if (!event) {
            SvlLog::error("EventPackage From Dictionary Error", true);
            continue;
        }
        events.push_back(std::move(event).value());
    }
    return EventPackage(std::move(events));
}

}  // namespace sorvel
