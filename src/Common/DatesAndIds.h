#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Base/InlineText.h"
#include "Platform/Clock.h"

namespace sorvel {

// A fixed-pattern date format in UTC, independent of locale:
// "yyyy-MM-dd'T'HH:mm:ss" followed by a fraction of 0, 3 or 7 digits and an
// optional literal "Z". Parsing is exact: anything else gives nothing.
class FixedDateFormatter {
  public:
    constexpr FixedDateFormatter(int fractionDigits, bool zulu)
        : fractionDigits_(fractionDigits), zulu_(zulu) {}
    // The fraction is cut, not rounded.
    std::string string(platform::WallTime date) const;
    // The same text, held inline (no allocation for years 0 to 9999).
    InlineText text(platform::WallTime date) const;
    std::optional<platform::WallTime> date(std::string_view text) const;

  private:
    // Room for any year's text: a 64-bit year, its fraction and the "Z".
    static constexpr std::size_t kMaxText = 64;
    // Writes the text into `out`; its length.
    std::size_t write(platform::WallTime date, char (&out)[kMaxText]) const;

    int fractionDigits_;
    bool zulu_;
};

// The SDK's shared helpers keep their one name across the folders that hold
// them; this file has the dates, the ids and the hash that buckets an id.
namespace FvnUtil {

// Now, "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC, real milliseconds.
std::string getCurrentDatetimeString();
// The same text, held inline: every event is stamped.
InlineText getCurrentDatetimeText();
// "<epoch ms>:<UUID>".
std::string createEventId();
// The same id, held inline: every event gets one.
InlineText createEventIdText();
// The whole second of the id's leading epoch milliseconds, formatted like
// getCurrentDatetimeString (so ".000"); nothing when the id is absent or
// its first part is empty or not an integer.
std::optional<std::string> getEventDatetimeFromEventId(const std::optional<std::string>& eventId);
// Today in the device's time zone, "yyyyMMdd".
std::string getTodayDateString();
const FixedDateFormatter& DATE_FORMATTER_UTC_MILLIS();
const FixedDateFormatter& DATE_FORMATTER_UTC_SECONDS();
const FixedDateFormatter& DATE_FORMATTER_UTC_7_FRACTION_Z();
// The weekday in the device's time zone: "Sun", "Mon", "Tue", "Wed",
// "Thur", "Fri", "Sat".
std::optional<std::string> getDayOfWeek(platform::WallTime date);

// The first four bytes of the text's SHA-256, little-endian, modulo
// 10^digits; 0 for an empty text or digits below 1. Digits of 10 and
// more leave the number whole.
std::optional<std::uint32_t> getSHA256HashToUInt32(std::string_view text, std::int64_t digits);

}  // namespace FvnUtil

}  // namespace sorvel
