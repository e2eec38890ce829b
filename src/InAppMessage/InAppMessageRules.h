#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Base/Status.h"
#include "InAppMessage/InAppMessage.h"
#include "Platform/Clock.h"

// The decisions of campaign selection that need no database: where "now"
// falls in a campaign's week, whether its caps allow a showing and what the
// counters become, and how a stored campaign row becomes a message. The store
// reads the rows and writes the outcome.
namespace sorvel::inapp {

inline constexpr const char* TIMEZONE_GLOBAL = "Global";
inline constexpr const char* TIMEZONE_LOCAL = "Local";
inline constexpr const char* PORTRAIT = "portrait";
inline constexpr const char* LANDSCAPE = "landscape";
inline constexpr const char* AVAILABLE_TIME_ALL = "all";
inline constexpr const char* NO_IMAGE = "no_image";
// How long a close for the rest of the day can hold: past this the same
// weekday name belongs to a later week.
inline constexpr std::int64_t ONE_DAY_CLOSE_SPAN_MS = 172800000;

// ---- Time windows ------------------------------------------------------------

// Where now falls for a campaign's weekly windows.
struct CampaignClock {
    std::string day;          // the weekday name the windows are matched against
    std::int64_t minute = 0;  // minute of that day, 0 ... 1439
    std::int64_t nowMs = 0;   // the real instant, epoch milliseconds
};
enum class CampaignClockFailure {
    InvalidType,  // neither "Global" nor "Local"
    NoDay,        // the shifted date or its weekday could not be had
};

// "Global": the weekday of now moved by `offsetHours`, and the device's local
// hour moved by the same hours, wrapped into the day. "Local": the device's
// own weekday and minute. Every step is 64-bit; an offset so large that the
// shifted date leaves the calendar gives NoDay.
StatusOr<CampaignClock, CampaignClockFailure> campaignClock(std::string_view timezoneType,
                                                            std::int64_t offsetHours,
                                                            platform::WallTime now);

// The weekday name of the date in the device's calendar ("Thur" for Thursday).
std::optional<std::string> weekdayName(platform::WallTime date);

// A close set with `closeDay`/`closeTimeMs` still holds at `now`: today has
// the close's weekday name and the close is less than 48 hours old.
bool isClosedForToday(const std::string& closeDay, std::int64_t closeTimeMs,
                      platform::WallTime now);

// ---- Frequency caps ------------------------------------------------------------------

// A campaign's counters, as its CurrentFrequency row holds them.
struct FrequencyCounters {
    std::int32_t perSession = 0;
    std::int32_t perUser = 0;
    std::int64_t groupStartMs = 0;  // start of the current counting period
    std::int32_t groupCount = 0;    // showings within that period
    friend bool operator==(const FrequencyCounters&, const FrequencyCounters&) = default;
};
// The caps the per-session test of the query leaves to the code; 0 = no cap.
struct FrequencyCaps {
    std::int32_t periodInMinutes = 0;
    std::int32_t perPeriod = 0;
    std::int32_t perUser = 0;
};
enum class FrequencyVerdict {
    MayShow,      // `next` is what the counters become once the showing is counted
    PerUserOver,  // the campaign has had all its showings
    PeriodOver,   // the current period has had all its showings
};
struct FrequencyDecision {
    FrequencyVerdict verdict = FrequencyVerdict::MayShow;
    FrequencyCounters next;
};

// The per-user cap first, then the period cap. A period of any length is
// measured in 64-bit milliseconds; counts stop at the largest 32-bit value.
FrequencyDecision decideFrequency(const FrequencyCounters& counters, const FrequencyCaps& caps,
                                  std::int64_t nowMs);

// ---- Building a message ---------------------------------------------------------------

// The columns of a campaign row that a message is built from.
struct CampaignRowTexts {
    std::string type;
    std::string layout;
    std::string bgColor;
    std::string overlayColor;
    std::string contentsText;
    std::string contentsButtons;
    std::string defaultCloseButtonColor;
    std::string defaultCloseButtonBgColor;
    std::string stickyBannerOption;
};

// The message of the row and the two image records, or nothing when the
// contents text is not a JSON object. Every other text that does not parse,
// and every value that is not a string, leaves its field absent or empty.
std::shared_ptr<const InAppMessage> buildMessage(const std::string& campaignId,
                                                 const CampaignRowTexts& row,
                                                 const std::optional<ImageInfo>& portrait,
                                                 const std::optional<ImageInfo>& landscape,
                                                 bool isPortrait);

// A click action of "action_id", "action_type", "action_arg" of the object,
// each absent unless a string; all absent for anything but an object.
ClickAction clickActionOf(const Value* object);

}  // namespace sorvel::inapp
