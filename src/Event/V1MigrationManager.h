#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Common/Atomic.h"
#include "Event/EventModel.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;
class EventBuffer;
class EventPackageContainer;
class UserPropertyManager;

// Carries over, once per installation, what the SDK's first major version
// left in the settings: its user properties (keys beginning with "quorinKey"
// are ci properties) into the property maps, and its unsent events into the
// event buffer, from where they are packed, stored and uploaded like new
// ones. The first version marked each value's type with a two-character
// suffix ("_s", "_l", "_d", "_b"); the current version writes a typed prefix.
//
// The parsers are plain functions of a string or a map, so any stored value,
// however malformed, can be fed to them.
class V1MigrationManager {
  public:
    // The keys of a v1 event whose maps hold typed values.
    static const std::set<std::string, std::less<>>& v1DicContiainKey();

    // The container behind the buffer, when given, is waited for too: the
    // flag is stored only once the migrated events are in the stored list of
    // unsent packages.
    V1MigrationManager(std::shared_ptr<DataRegistry> dataRegistry,
                       std::shared_ptr<EventBuffer> eventBuffer,
                       std::shared_ptr<UserPropertyManager> userPropertyManager,
                       std::shared_ptr<EventPackageContainer> eventPackageContainer = nullptr);

    // Runs the migration unless it is done. The flag that says so is stored
    // from the global queue once the buffer has saved the migrated events, so
    // a run cut short before then is repeated at the next session start; a
    // run does not repeat within one process.
    void migrate();

    // A text ending in a v1 type suffix gets the typed prefix instead
    // ("30_l" -> "long:30"); a text of fewer than three characters (grapheme
    // clusters), or without a known suffix, is returned as it is.
    static std::string convertV1Param(std::string_view text);
    // The v1 event with the values inside its "param", "user_properties" and
    // "ci" maps (and their "svl:items" lists) converted; its top-level fields
    // (name, group, time, ids) and its location are kept as they are.
    static Value::Map convertV1Dictionary(const Value::Map& v1Event);
    // The values of one map converted; nested maps under the v1 map keys and
    // the maps of an "svl:items" list are converted in turn, everything else
    // is copied.
    static Value::Map convertV1Map(const Value::Map& map);

    struct Properties {
        Value::Map userProperties;
        Value::Map ciProperties;
    };
    // The v1 property map split into user and ci properties, text values
    // converted.
    static Properties convertV1Properties(const Value::Map& v1Properties);
    // The events of the v1 unsent-event store that can be read, converted,
    // in the store's order; entries that are not event maps are logged and
    // left out.
    static std::vector<EventModel> convertV1Events(const Value::Map& v1Events);

  private:
    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<EventBuffer> eventBuffer_;
    const std::shared_ptr<UserPropertyManager> userPropertyManager_;
    const std::shared_ptr<EventPackageContainer> eventPackageContainer_;
    AtomicBool ranInThisProcess_;
};

}  // namespace sorvel
