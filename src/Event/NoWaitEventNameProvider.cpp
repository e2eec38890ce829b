#include "Event/NoWaitEventNameProvider.h"

#include <algorithm>

namespace sorvel {

bool DefaultNowaitEventNameProvider::isNoWaitEvent(const std::string& eventName) const {
    return std::any_of(noWaitEventName.begin(), noWaitEventName.end(),
                       [&](const char* name) { return eventName == name; });
}

}  // namespace sorvel
