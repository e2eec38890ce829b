#pragma once

#include <optional>
#include <string>

#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;

// What a deeplink URL carries for the SDK, and the URL kept for the next
// session.
namespace FvnUtil {

// Takes the stored deeplink URL out of the registry.
std::optional<std::string> popStoredDeeplinkUrl(DataRegistry& registry);
// "svl:deeplink_payload" = the URL, plus "svl:deeplink_adkey" (query item
// "svl_tid") and "svl:svl_tracker_id" (query item "svl_tracker_id") when
// present; an unparsable URL gives an empty map and an error line.
Value::Map getDeeplinkParameters(const std::string& url);
// True when the parameters carry an ad-key or a tracker id.
bool isSorvelDeeplink(const Value::Map& parameters, const std::string& url,
                      const DataRegistry& registry);

}  // namespace FvnUtil

}  // namespace sorvel
