#include "Event/DeeplinkParameterSet.h"

#include <algorithm>

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/Extensions.h"
#include "Common/SvlLog.h"
#include "Event/AutoEvent.h"

namespace sorvel {
namespace {

constexpr std::int64_t kMillisPerHour = 60 * 60 * 1000;

const std::string* stringEntry(const Value::Map& map, const char* key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : it->second.getString();
}

// The non-empty pieces between ":" separators, in order.
std::vector<std::string_view> splitOnColon(std::string_view text) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(':', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > start) {
            pieces.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return pieces;
}

}  // namespace

DeeplinkParameterSet::DeeplinkParameterSet(std::shared_ptr<DataRegistry> dataRegistry)
    : dataRegistry_(std::move(dataRegistry)) {}

bool DeeplinkParameterSet::isUsedOrExpiredDeeplink(const Value::Map& parameters) {
    const std::string* adKey = stringEntry(parameters, Constants::PARAM_KEY_DEEPLINK_ADKEY);
    if (adKey == nullptr) {
        return isUsedUniversalLink(parameters);
    }
    {
        platform::MutexLock lock(mu_);
        const std::optional<std::string> storedKey =
            dataRegistry_->getStringOrNil(DataRegistryKey::STRING_LAST_SVL_TID, std::nullopt);
        const bool used = std::find(successParameterSet_.begin(), successParameterSet_.end(),
                                    *adKey) != successParameterSet_.end() ||
                          (storedKey && *storedKey == *adKey) ||
                          (lastAccepted_ && *lastAccepted_ == *adKey);
        if (used) {
            SvlLog::debug("deeplink_adkey : " + *adKey + " is already used!", true);
            return true;
        }
        const std::int64_t age =
            autoevent::saturatingSub(autoevent::nowMillis(), parseNcpiParameter(*adKey)) /
            kMillisPerHour;
        if (age > MAX_AD_KEY_AGE_HOURS) {
            SvlLog::debug("deeplink_adkey : " + *adKey + " is expired!", true);
            return true;
        }
        // Accepted under the lock, so a second look at the same key, from any
        // thread and across a clear of the set, finds it used, even before
        // the registry holds it.
        successParameterSet_.push_back(*adKey);
        lastAccepted_ = *adKey;
    }
    // Stored outside the lock: a registry write runs the key's listeners.
    dataRegistry_->putString(*adKey, DataRegistryKey::STRING_LAST_SVL_TID);
    return false;
}

bool DeeplinkParameterSet::isUsedUniversalLink(const Value::Map& parameters) const {
    const std::string* payload = stringEntry(parameters, Constants::PARAM_KEY_DEEPLINK_PAYLOAD);
    if (payload == nullptr) {
        return false;
    }
    // A payload that is not a URL has no query items.
    const auto query = ext::queryParameters(*payload);
    auto it = query.find(Constants::PARAM_KEY_IS_USED_UNIVERSAL_LINK);
    if (it == query.end() || it->second != "true") {
        return false;
    }
    SvlLog::debug("UniversialLink : " + *payload + " is already used!", true);
    return true;
}

std::int64_t DeeplinkParameterSet::parseNcpiParameter(std::string_view adKey) {
    if (adKey.find(':') == std::string_view::npos) {
        return 0;
    }
    const std::vector<std::string_view> pieces = splitOnColon(adKey);
    const std::size_t index = adKey.starts_with("ncpi") ? 1 : 0;
    if (index >= pieces.size()) {
        return 0;
    }
    return ext::toInt64(pieces[index]).value_or(0);
}

void DeeplinkParameterSet::clearSuccessParameterSet() {
    platform::MutexLock lock(mu_);
    successParameterSet_.clear();
}

std::vector<std::string> DeeplinkParameterSet::successParameterSet() const {
    platform::MutexLock lock(mu_);
    return successParameterSet_;
}

}  // namespace sorvel
