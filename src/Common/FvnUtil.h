#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "Common/DRState.h"
#include "Platform/Clock.h"
#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;

enum class JsonError {
    // Valid JSON whose top level is not an object.
    dictionaryConvertingError,
    // Not JSON at all.
    invalidJsonError,
};
const char* describe(JsonError error) noexcept;
using JsonDicResult = std::variant<Value::Map, JsonError>;

// A fixed-pattern date format in UTC, independent of locale:
// "yyyy-MM-dd'T'HH:mm:ss" followed by a fraction of 0, 3 or 7 digits and an
// optional literal "Z". Parsing is exact: anything else gives nothing.
class FixedDateFormatter {
  public:
    constexpr FixedDateFormatter(int fractionDigits, bool zulu)
        : fractionDigits_(fractionDigits), zulu_(zulu) {}
    // The fraction is cut, not rounded.
    std::string string(platform::WallTime date) const;
    std::optional<platform::WallTime> date(std::string_view text) const;

  private:
    int fractionDigits_;
    bool zulu_;
};

// The SDK's shared static helpers.
class FvnUtil {
  public:
    // ---- Time and ids ----------------------------------------------------

    // Now, "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC, real milliseconds.
    static std::string getCurrentDatetimeString();
    // "<epoch ms>:<UUID>".
    static std::string createEventId();
    // The whole second of the id's leading epoch milliseconds, formatted like
    // getCurrentDatetimeString (so ".000"); nothing when the id is absent or
    // its first part is empty or not an integer.
    static std::optional<std::string> getEventDatetimeFromEventId(
        const std::optional<std::string>& eventId);
    // Today in the device's time zone, "yyyyMMdd".
    static std::string getTodayDateString();
    static const FixedDateFormatter& DATE_FORMATTER_UTC_MILLIS();
    static const FixedDateFormatter& DATE_FORMATTER_UTC_SECONDS();
    static const FixedDateFormatter& DATE_FORMATTER_UTC_7_FRACTION_Z();
    // The weekday in the device's time zone: "Sun", "Mon", "Tue", "Wed",
    // "Thur", "Fri", "Sat".
    static std::optional<std::string> getDayOfWeek(platform::WallTime date);

    // ---- Typed values and hashing -----------------------------------------

    // Every value in typed-text form: "string:", "boolean:", "long:",
    // "double:" (shortest round-trip text), nested maps converted likewise,
    // anything else "string:" and its description. Absent gives an empty map.
    static Value::Map toTypedValueDictionary(const std::optional<Value::Map>& dictionary);
    // The parameters (empty when absent) with "svl:items" = each product's
    // dictionary in typed form, in list order.
    static Value::Map makeItemsParam(
        const std::optional<std::vector<SorvelKvCommerceProductModel>>& products,
        const std::optional<Value::Map>& parameters);
    // The first four bytes of the text's SHA-256, little-endian, modulo
    // 10^digits; 0 for an empty text or digits below 1. Digits of 10 and
    // more leave the number whole.
    static std::optional<std::uint32_t> getSHA256HashToUInt32(std::string_view text,
                                                              std::int64_t digits);

    // ---- State checks -----------------------------------------------------

    // False exactly when the network status is "unknown".
    static bool isNetworkConnected();
    // The guard of every facade call: GDPR forget-me, remote pause or a
    // delete state, tested in that order. Logs "Sorvel Disabled : true".
    static bool isSorvelDisabled(const DataRegistry& registry);
    // Called once the erasure request is finished for good: answered, or
    // failed after its last retry. Dropping every copy without calling it
    // counts as finished too (nothing was sent, or nothing is pending).
    using GdprDone = std::function<void()>;
    // Starts the erasure request and hands `done` on to whatever finishes it.
    using GdprAction = std::function<void(GdprDone done)>;
    // Whether forget-me is stored true. While the server has not confirmed the
    // erasure, the action is queued on a background serial queue, at most one
    // in flight: a re-send stays in flight, and no other one starts, until its
    // `done` ran (or was dropped), retries included. The caller never waits
    // for the network.
    static bool isGdprForgetMe(const GdprAction& action, const DataRegistry& registry);
    // Runs the GDPR forget-me use case through the hook the core installs;
    // without one it only logs (and `done` is dropped).
    static void executeGdprForgetMe(GdprDone done = nullptr);
    // An empty function restores the default (log only). (Common/CoreHooks.h)
    static void setGdprForgetMeHook(GdprAction hook);
    // Waits, at most `deadline` in real time, until no erasure re-send is in
    // flight; true when none is. For hosts that must know the background work
    // is over (tests, shutdown).
    static bool waitForGdprResendIdle(platform::Millis deadline);
    static bool isGdprForgetMeServerResponse(const DataRegistry& registry);
    static bool isAllStop(const DataRegistry& registry);
    static bool isPause(const DataRegistry& registry);
    static DRStateResult getDRState(const DataRegistry& registry);
    static bool isBeforeFirstOpen(const DataRegistry& registry);
    static bool getPushEnable(const DataRegistry& registry);
    static bool getOsPushEnable(const DataRegistry& registry);
    // Whether the user properties hold the id as a string under "svl:user_id".
    static bool isSameUserId(const std::string& userId, const Value::Map& userProperties);

    // ---- Deeplinks and JSON -----------------------------------------------

    // Takes the stored deeplink URL out of the registry.
    static std::optional<std::string> popStoredDeeplinkUrl(DataRegistry& registry);
    // "svl:deeplink_payload" = the URL, plus "svl:deeplink_adkey" (query item
    // "svl_tid") and "svl:svl_tracker_id" (query item "svl_tracker_id") when
    // present; an unparsable URL gives an empty map and an error line.
    static Value::Map getDeeplinkParameters(const std::string& url);
    // True when the parameters carry an ad-key or a tracker id.
    static bool isSorvelDeeplink(const Value::Map& parameters, const std::string& url,
                                 const DataRegistry& registry);
    static JsonDicResult jsonString2JsonDic(std::string_view text);

    // ---- Language and user-property keys ----------------------------------

    // The first preferred language without its last subtag, upper-cased
    // ("en-US" -> "EN", "zh-Hant-TW" -> "ZH-HANT"); "" when none is listed.
    static std::string getLanguage();
    // (usable, key to use): empty keys refused; "-" becomes "_"; more than 50
    // characters refused; anything but [a-z0-9_] refused. Each case logs.
    static std::pair<bool, std::string> checkUserPropertyKey(const std::string& key);
};

}  // namespace sorvel
