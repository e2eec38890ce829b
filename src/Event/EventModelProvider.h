#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Common/DataRegistryKey.h"
#include "Event/EventModel.h"
#include "Event/LogEventParameter.h"
#include "Network/ApiModel.h"
#include "Platform/Mutex.h"

namespace sorvel {

class DataRegistry;
class EventCounters;
class UserPropertyManager;

// The context events are built with (EventContext), read from the registry
// and the property manager: made again only when one of the values it holds
// changed since, so events recorded between two changes share one and the
// registry's lock is not taken for each. An event built after a put (or a
// property save) returned carries the new value. Safe from any thread.
class EventContextCache {
  public:
    EventContextCache(std::shared_ptr<UserPropertyManager> userPropertyManager,
                      std::shared_ptr<DataRegistry> dataRegistry);

    struct Current {
        std::shared_ptr<const EventContext> context;
        // The stored location was dropped (a coordinate is not finite).
        bool locationDropped = false;
    };
    // The context of an event now; `endSession`: the one an "end_session"
    // event carries, whose session id is the last end-session id.
    Current current(bool endSession);
    // The same, made afresh from what the registry and the manager hold.
    static Current make(const UserPropertyManager& userPropertyManager,
                        const DataRegistry& dataRegistry, bool endSession);

  private:
    // The registry keys a context is made from, in the order make() reads them.
    static constexpr std::size_t kKeys = 8;
    using Versions = std::array<std::uint64_t, kKeys>;
    static std::array<DataRegistryKey, kKeys> keys(bool endSession);
    static Current make(const DataRegistry& dataRegistry, bool endSession, Versions& versions,
                        std::shared_ptr<const Value::Map> user,
                        std::shared_ptr<const Value::Map> ci);

    // What a context was made from: the keys' versions and the typed maps.
    struct Slot {
        Current current;
        Versions versions{};
        std::shared_ptr<const Value::Map> user;
        std::shared_ptr<const Value::Map> ci;
    };

    const std::shared_ptr<UserPropertyManager> userPropertyManager_;
    const std::shared_ptr<DataRegistry> dataRegistry_;
    platform::Mutex mu_;
    // [0]: other events; [1]: "end_session".
    Slot slots_[2] GUARDED_BY(mu_);
};

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
    EventModelProvider(std::shared_ptr<UserPropertyManager> userPropertyManager,
                       std::shared_ptr<DataRegistry> dataRegistry,
                       std::shared_ptr<EventCounters> counters,
                       std::shared_ptr<EventContextCache> contexts,
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

    std::shared_ptr<UserPropertyManager> userPropertyManager_;
    std::shared_ptr<DataRegistry> dataRegistry_;
    std::shared_ptr<EventCounters> counters_;
    std::shared_ptr<EventContextCache> contexts_;
    LogEventParameter logEventParameter_;
    // The numbers addOrderNumbers() took last, for native parameters.
    std::uint64_t sessionOrderNo_ = 0;
    std::uint64_t eventOrderNo_ = 0;
};

}  // namespace sorvel
