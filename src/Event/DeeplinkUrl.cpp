#include "Event/DeeplinkUrl.h"

#include "Base/Url.h"
#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/Extensions.h"
#include "Common/SvlLog.h"

namespace sorvel {

std::optional<std::string> FvnUtil::popStoredDeeplinkUrl(DataRegistry& registry) {
    const auto key = DataRegistryKey::STRING_DEEPLINK_URL;
    std::optional<std::string> url = registry.getStringOrNil(key, std::nullopt);
    if (url) {
        registry.putString(std::nullopt, key);
    }
    return url;
}

Value::Map FvnUtil::getDeeplinkParameters(const std::string& url) {
    Value::Map out;
    const auto parts = text::parseUrl(url);
    if (!parts) {
        SvlLog::error("ERROR :: Uri is null or parameter doesn't exist in " + url, true);
        return out;
    }
    out[Constants::PARAM_KEY_DEEPLINK_PAYLOAD] = Value(url);
    // The first occurrence of a name counts, as a query-item lookup finds it;
    // when that one has no "=", the entry stays out even if a later one has.
    bool seenTid = false;
    bool seenTracker = false;
    for (const auto& item : ext::queryItems(*parts)) {
        const char* entry = nullptr;
        if (item.name == Constants::DEEPLINK_QUERY_TID && !seenTid) {
            seenTid = true;
            entry = Constants::PARAM_KEY_DEEPLINK_ADKEY;
        } else if (item.name == Constants::DEEPLINK_QUERY_TRACKER_ID && !seenTracker) {
            seenTracker = true;
            entry = Constants::PARAM_KEY_TRACKER_ID;
        }
        if (entry != nullptr && item.value) {
            out.emplace(entry, Value(*item.value));
        }
    }
    return out;
}

bool FvnUtil::isSorvelDeeplink(const Value::Map& parameters, const std::string& url,
                               const DataRegistry&) {
    // No tracking-link URL form for the stored app key is defined, so only the
    // two parameters prove a tracking link.
    SvlLog::debug("isSorvelDeeplink :: tracking-link URL form check is not applied, url = " + url,
                  true);
    const bool found = parameters.count(Constants::PARAM_KEY_DEEPLINK_ADKEY) > 0 ||
                       parameters.count(Constants::PARAM_KEY_TRACKER_ID) > 0;
    if (!found) {
        SvlLog::debug("isSorvelDeeplink :: no sorvel deeplink parameter in " + url, true);
    }
    return found;
}

}  // namespace sorvel
