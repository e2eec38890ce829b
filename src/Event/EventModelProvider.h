#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Event/EventModel.h"
#include "Event/LogEventParameter.h"
#include "Network/ApiModel.h"

namespace sorvel {

class DataRegistry;
class EventCounters;
class UserPropertyManager;

// Turns one LogEventParameter into its EventModel: stamps it with what the
// registry holds now (last ids, session id, location), numbers it with the
// event counters and takes their previous id, fills in the time when the
// caller gave none and attaches the user-property snapshot. One provider
// serves one event.
//
// Each counter advance is one atomic step of the counters (in memory), so
// events built on several threads at once still get unique numbers.
class EventModelProvider : public IDataModelProvider<EventModel> {
  public:
    EventModelProvider(std::shared_ptr<UserPropertyManager> userPropertyManager,
                       std::shared_ptr<DataRegistry> dataRegistry,
                       std::shared_ptr<EventCounters> counters,
                       LogEventParameter logEventParameter);

    // Advances the counters whose number the parameter leaves at 0 and adds
    // "svl:session_order_no" and "svl:event_order_no" to the parameters.
    EventModel buildEventModel() &;
    // The same on a provider about to go: the parameter's name, group, id and
    // parameter map move into the event instead of being copied.
    EventModel buildEventModel() &&;
    EventModel getDataModel() override { return buildEventModel(); }

    LogEventParameter& logEventParameter() { return logEventParameter_; }

    // The last end-session id for "end_session", the last created session id
    // for every other name.
    std::optional<std::string> getSessionId() const;
    Value::Map getTypedUserProperties() const;
    Value::Map getTypedCiProperties() const;
    std::uint64_t nextSessionOrderNo();
    std::uint64_t nextEventOrderNo();
    void addOrderNumbers();

  private:
    EventModel build(bool consumeParameter);
    static Location storedLocation(std::optional<Value>& lwid, const std::optional<Value>& lat,
                                   const std::optional<Value>& lng);

    std::shared_ptr<UserPropertyManager> userPropertyManager_;
    std::shared_ptr<DataRegistry> dataRegistry_;
    std::shared_ptr<EventCounters> counters_;
    LogEventParameter logEventParameter_;
    // The numbers addOrderNumbers() took last, for native parameters.
    std::uint64_t sessionOrderNo_ = 0;
    std::uint64_t eventOrderNo_ = 0;
};

}  // namespace sorvel
