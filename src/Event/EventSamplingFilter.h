#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "Network/EventSamplingModel.h"
#include "Platform/Mutex.h"

namespace sorvel {

class DataRegistry;
struct LogEventParameter;

// Decides, event by event, whether sampling drops it: a device keeps a key's
// events when a number derived from its device id falls below the key's
// probability. The model follows the stored sampling configuration through a
// registry listener; it is replaced whole, never changed in place, so a
// decision on one thread and a change on another never see half a model.
class EventSamplingFilter {
    struct PassKey {};

  public:
    // Never sampled.
    static constexpr std::array<const char*, 6> eventsThatShouldNotBeSampled{
        "svl:first_open", "svl:deeplink_open", "svl:daily_first_open",
        "svl:set_push",   "svl:login",         "svl:user_property_changed"};

    // Builds the filter from the stored configuration and registers it for
    // changes (the registry holds the listener for the life of the process;
    // the listener holds the filter only weakly).
    static std::shared_ptr<EventSamplingFilter> create(std::shared_ptr<DataRegistry> dataRegistry);
    EventSamplingFilter(PassKey, std::shared_ptr<DataRegistry> dataRegistry);

    bool isBlocked(const LogEventParameter& parameter) const;
    bool isBlockedBySamplingFilter(const std::string& key) const;
    // group + ":" + name; for "start_session" an open type holding ":" gives
    // group + ":" + its last piece.
    static std::string getSamplingKey(const LogEventParameter& parameter);

    std::shared_ptr<const EventSamplingModel> eventSamplingModel() const;

    // A sampling key in two pieces, "<group>:<name>" when joined: every event
    // asks the filter, and most keys are never built as one text.
    struct KeyPieces {
        std::string_view group;
        std::string_view name;
    };

  private:
    // The model and its probabilities keyed for a lookup by pieces.
    struct Rules;

    void setEventSamplingModel(std::shared_ptr<const EventSamplingModel> model);
    std::shared_ptr<const Rules> rules() const;
    // The pieces of the event's key; scratch holds a piece made for it.
    static KeyPieces samplingKeyPieces(const LogEventParameter& parameter, std::string& scratch);
    // key: the joined key, or null to join the pieces.
    bool isBlockedByRules(const Rules& rules, const KeyPieces* pieces,
                          const std::string* key) const;

    const std::shared_ptr<DataRegistry> dataRegistry_;
    mutable platform::Mutex mu_;
    std::shared_ptr<const Rules> rules_ GUARDED_BY(mu_);
};

}  // namespace sorvel
