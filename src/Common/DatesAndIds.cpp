#include "Common/DatesAndIds.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "Base/Hex.h"
#include "Common/SvlLog.h"
#include "Platform/Crypto.h"

namespace sorvel {
namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// Floor division, so times before 1970 keep a non-negative remainder.
std::pair<std::int64_t, std::int64_t> splitNanos(platform::WallTime t) {
    const std::int64_t ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    std::int64_t secs = ns / kNanosPerSecond;
    std::int64_t rest = ns % kNanosPerSecond;
    if (rest < 0) {
        rest += kNanosPerSecond;
        --secs;
    }
    return {secs, rest};
}

// Room for the UTC second's text of any 64-bit second count.
constexpr std::size_t kSecondTextRoom = 48;

// Writes "yyyy-MM-dd'T'HH:mm:ss" of the UTC second into `out`; its length.
std::size_t writeUtcSecond(std::int64_t secs, char* out) {
    const platform::CivilTime c = platform::utcCivilTime(secs);
    if (c.year >= 0 && c.year <= 9999) {
        // Every event and request is stamped: written digit by digit, not
        // through snprintf's format parsing.
        std::memcpy(out, "0000-00-00T00:00:00", 19);
        auto put = [out](std::size_t at, std::int64_t value, int digits) {
            for (int i = digits - 1; i >= 0; --i, value /= 10) {
                out[at + static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
            }
        };
        put(0, c.year, 4);
        put(5, c.month, 2);
        put(8, c.day, 2);
        put(11, c.hour, 2);
        put(14, c.minute, 2);
        put(17, c.second, 2);
        return 19;
    }
    const int n =
        std::snprintf(out, kSecondTextRoom, "%04lld-%02d-%02dT%02d:%02d:%02d",
                      static_cast<long long>(c.year), c.month, c.day, c.hour, c.minute, c.second);
    return n < 0 ? 0 : std::min(static_cast<std::size_t>(n), kSecondTextRoom - 1);
}

bool readDigits(std::string_view text, std::size_t& pos, std::size_t count, int& out) {
    if (pos + count > text.size()) {
        return false;
    }
    int v = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
    }
    pos += count;
    out = v;
    return true;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

}  // namespace

std::size_t FixedDateFormatter::write(platform::WallTime date, char (&out)[kMaxText]) const {
    static_assert(kMaxText >= kSecondTextRoom + 11);
    auto [secs, nanos] = splitNanos(date);
    std::size_t n = writeUtcSecond(secs, out);
    if (fractionDigits_ > 0) {
        // Digits of the nanoseconds, most significant first, cut after the
        // pattern's count.
        out[n++] = '.';
        std::int64_t unit = kNanosPerSecond;
        for (int i = 0; i < fractionDigits_ && i < 9; ++i) {
            unit /= 10;
            out[n++] = static_cast<char>('0' + (nanos / unit) % 10);
        }
    }
    if (zulu_) {
        out[n++] = 'Z';
    }
    return n;
}

std::string FixedDateFormatter::string(platform::WallTime date) const {
    char out[kMaxText];
    return std::string(out, write(date, out));
}

InlineText FixedDateFormatter::text(platform::WallTime date) const {
    char out[kMaxText];
    return InlineText(std::string_view(out, write(date, out)));
}

std::optional<platform::WallTime> FixedDateFormatter::date(std::string_view text) const {
    std::size_t pos = 0;
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!readDigits(text, pos, 4, year) || !expect(text, pos, '-') ||
        !readDigits(text, pos, 2, month) || !expect(text, pos, '-') ||
        !readDigits(text, pos, 2, day) || !expect(text, pos, 'T') ||
        !readDigits(text, pos, 2, hour) || !expect(text, pos, ':') ||
        !readDigits(text, pos, 2, minute) || !expect(text, pos, ':') ||
        !readDigits(text, pos, 2, second)) {
        return std::nullopt;
    }
    std::int64_t nanos = 0;
    if (fractionDigits_ > 0) {
        if (!expect(text, pos, '.')) {
            return std::nullopt;
        }
        std::int64_t unit = kNanosPerSecond;
        for (int i = 0; i < fractionDigits_; ++i) {
            int digit = 0;
            if (!readDigits(text, pos, 1, digit)) {
                return std::nullopt;
            }
            unit /= 10;
            nanos += digit * unit;
        }
    }
    if (zulu_ && !expect(text, pos, 'Z')) {
        return std::nullopt;
    }
    if (pos != text.size()) {
        return std::nullopt;
    }
    platform::CivilTime civil;
    civil.year = year;
    civil.month = month;
    civil.day = day;
    civil.hour = hour;
    civil.minute = minute;
    civil.second = second;
    // Nothing for a text that names no real time (February 30, hour 24).
    const auto t = platform::epochSecondsOfUtc(civil);
    if (!t) {
        return std::nullopt;
    }
    // Beyond about ±292 years the nanosecond clock cannot hold the time.
    constexpr std::int64_t kLimit = 9'000'000'000LL;
    if (*t > kLimit || *t < -kLimit) {
        return std::nullopt;
    }
    return platform::WallTime(std::chrono::duration_cast<platform::WallTime::duration>(
        std::chrono::seconds(*t) + std::chrono::nanoseconds(nanos)));
}

namespace {

constexpr FixedDateFormatter kEventTimeFormat(3, true);

// "<epoch ms>:<UUID>" into `out`; its length.
std::size_t writeEventId(char (&out)[64]) {
    const std::int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                platform::clock().wallNow().time_since_epoch())
                                .count();
    // At most 20 characters for the number, the colon, 36 for the UUID.
    char* end = std::to_chars(out, out + 24, ms).ptr;
    *end++ = ':';
    platform::crypto::writeUuid(end);
    return static_cast<std::size_t>(end - out) + platform::crypto::kUuidTextSize;
}

}  // namespace

std::string FvnUtil::getCurrentDatetimeString() {
    return kEventTimeFormat.string(platform::clock().wallNow());
}

InlineText FvnUtil::getCurrentDatetimeText() {
    return kEventTimeFormat.text(platform::clock().wallNow());
}

std::string FvnUtil::createEventId() {
    char out[64];
    return std::string(out, writeEventId(out));
}

InlineText FvnUtil::createEventIdText() {
    char out[64];
    return InlineText(std::string_view(out, writeEventId(out)));
}

std::optional<std::string> FvnUtil::getEventDatetimeFromEventId(
    const std::optional<std::string>& eventId) {
    if (!eventId) {
        return std::nullopt;
    }
    std::string_view first = *eventId;
    first = first.substr(0, first.find(':'));
    if (first.empty()) {
        return std::nullopt;
    }
    std::string_view digits = first;
    if (digits.front() == '+') {
        digits.remove_prefix(1);
        if (digits.empty() || digits.front() == '-') {
            return std::nullopt;
        }
    }
    std::int64_t ms = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), ms);
    if (ec != std::errc() || ptr != digits.data() + digits.size()) {
        return std::nullopt;
    }
    // Truncated toward zero to whole seconds: the milliseconds are dropped.
    char out[kSecondTextRoom + 5];
    std::size_t n = writeUtcSecond(ms / 1000, out);
    std::memcpy(out + n, ".000Z", 5);
    return std::string(out, n + 5);
}

std::string FvnUtil::getTodayDateString() {
    const platform::CivilTime today = platform::localCivilTime(platform::clock().wallNow());
    char buf[48];
    std::snprintf(buf, sizeof(buf), "%04lld%02d%02d", static_cast<long long>(today.year),
                  today.month, today.day);
    return buf;
}

const FixedDateFormatter& FvnUtil::DATE_FORMATTER_UTC_MILLIS() {
    static constexpr FixedDateFormatter kFormat(3, false);
    return kFormat;
}

const FixedDateFormatter& FvnUtil::DATE_FORMATTER_UTC_SECONDS() {
    static constexpr FixedDateFormatter kFormat(0, false);
    return kFormat;
}

const FixedDateFormatter& FvnUtil::DATE_FORMATTER_UTC_7_FRACTION_Z() {
    static constexpr FixedDateFormatter kFormat(7, true);
    return kFormat;
}

std::optional<std::string> FvnUtil::getDayOfWeek(platform::WallTime date) {
    static constexpr std::array<const char*, 7> kNames{"Sun",  "Mon", "Tue", "Wed",
                                                       "Thur", "Fri", "Sat"};
    return kNames[static_cast<std::size_t>(platform::localCivilTime(date).weekday)];
}

std::optional<std::uint32_t> FvnUtil::getSHA256HashToUInt32(std::string_view text,
                                                            std::int64_t digits) {
    if (text.empty() || digits < 1) {
        return 0;
    }
    const platform::crypto::Bytes digest = platform::crypto::sha256(text);
    if (digest.size() < 4) {
        SvlLog::error(
            "getSHA256HashToUInt32 :: '" + text::toHex(digest) + " can not be' casted to UInt32",
            true);
        return std::nullopt;
    }
    const std::uint32_t number = static_cast<std::uint32_t>(digest[0]) |
                                 (static_cast<std::uint32_t>(digest[1]) << 8) |
                                 (static_cast<std::uint32_t>(digest[2]) << 16) |
                                 (static_cast<std::uint32_t>(digest[3]) << 24);
    // 10^10 already exceeds every 32-bit number, so from 10 digits on the
    // modulo leaves it whole; the power is built in 64 bits and never wraps.
    if (digits >= 10) {
        return number;
    }
    std::uint64_t power = 1;
    for (std::int64_t i = 0; i < digits; ++i) {
        power *= 10;
    }
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(number) % power);
}

}  // namespace sorvel
