#include "Platform/Clock.h"

#include <time.h>

#include "Platform/Host.h"
#include "Platform/ProcessState.h"
#include "Platform/Scheduler.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform {
namespace {

struct ClockState {
    Mutex mu;
    const std::shared_ptr<IClock> system = std::make_shared<SystemClock>();
    std::shared_ptr<IClock> current GUARDED_BY(mu) = system;
    const std::shared_ptr<ITimeZone> systemZone = std::make_shared<SystemTimeZone>();
    std::shared_ptr<ITimeZone> zone GUARDED_BY(mu) = systemZone;

    ClockState() {
        // A zone the host set belongs to that host's scenario.
        registerResetHook([this] {
            MutexLock lock(mu);
            zone = systemZone;
        });
    }
};

ClockState& clockState() {
    // Delayed blocks and timers read the clock from threads that outlive static
    // destruction, so the state is never torn down.
    static NoDestructor<ClockState> state;
    return state.get();
}

// Floor division, so instants before 1970 fall into the day they belong to.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

// Days since 1970-01-01 of a date, and back (Gregorian calendar in 400-year
// eras of 146097 days, each era starting on 1 March so the leap day is last).
std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = floorDiv(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(std::int64_t z, CivilTime& out) {
    z += 719468;
    const std::int64_t era = floorDiv(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    out.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    out.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    out.year = yoe + era * 400 + (out.month <= 2 ? 1 : 0);
}

bool isLeapYear(std::int64_t y) {
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

int daysInMonth(std::int64_t y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeapYear(y) ? 29 : kDays[m - 1];
}

}  // namespace

ManualClock::ManualClock(WallTime start) : wall_(start), mono_(std::chrono::steady_clock::now()) {}

WallTime ManualClock::wallNow() const {
    MutexLock lock(mu_);
    return wall_;
}

MonoTime ManualClock::monoNow() const {
    MutexLock lock(mu_);
    return mono_;
}

void ManualClock::advance(Millis by) {
    if (by < Millis(0)) {
        SystemLog::log(
            LogLevel::warning,
            "ManualClock: advance by a negative duration ignored; time only moves forward");
        return;
    }
    by = detail::clampDelay(by);
    {
        MutexLock lock(mu_);
        wall_ += by;
        mono_ += by;
    }
    detail::Scheduler::instance().clockAdvanced(this);
}

void ManualClock::setWall(WallTime t) {
    MutexLock lock(mu_);
    wall_ = t;
}

IClock& clock() {
    return *clockPtr();
}

std::shared_ptr<IClock> clockPtr() {
    detail::noteFirstUse();
    auto& s = clockState();
    MutexLock lock(s.mu);
    return s.current;
}

std::int64_t wallMillis() {
    return std::chrono::duration_cast<Millis>(clock().wallNow().time_since_epoch()).count();
}

// ---- Local time zone and calendar ------------------------------------------

std::chrono::seconds SystemTimeZone::utcOffset(WallTime at) const {
    const time_t t = static_cast<time_t>(
        std::chrono::floor<std::chrono::seconds>(at).time_since_epoch().count());
    // localtime_r need not look at the zone again; tzset makes a changed one count.
    // The C library locks its zone state inside; ours makes that order visible
    // to the thread checker, which cannot see into the uninstrumented library.
    static Mutex zoneMu;
    MutexLock lock(zoneMu);
    tzset();
    struct tm tm {};
    if (localtime_r(&t, &tm) == nullptr) {
        return std::chrono::seconds(0);
    }
    return std::chrono::seconds(tm.tm_gmtoff);
}

std::shared_ptr<ITimeZone> localTimeZone() {
    auto& s = clockState();
    MutexLock lock(s.mu);
    return s.zone;
}

CivilTime utcCivilTime(std::int64_t epochSeconds) {
    CivilTime out;
    const std::int64_t days = floorDiv(epochSeconds, 86400);
    const std::int64_t rest = epochSeconds - days * 86400;
    civilFromDays(days, out);
    out.hour = static_cast<int>(rest / 3600);
    out.minute = static_cast<int>(rest % 3600 / 60);
    out.second = static_cast<int>(rest % 60);
    // 1970-01-01 was a Thursday.
    out.weekday = static_cast<int>(days + 4 - floorDiv(days + 4, 7) * 7);
    return out;
}

CivilTime localCivilTime(WallTime at) {
    const std::int64_t secs =
        std::chrono::floor<std::chrono::seconds>(at).time_since_epoch().count();
    return utcCivilTime(secs + localTimeZone()->utcOffset(at).count());
}

std::optional<std::int64_t> epochSecondsOfUtc(const CivilTime& c) {
    if (c.month < 1 || c.month > 12 || c.day < 1 || c.day > daysInMonth(c.year, c.month) ||
        c.hour < 0 || c.hour > 23 || c.minute < 0 || c.minute > 59 || c.second < 0 ||
        c.second > 59) {
        return std::nullopt;
    }
    // Beyond this the day count in seconds would overflow.
    constexpr std::int64_t kMaxYear = 100'000'000'000LL;
    if (c.year > kMaxYear || c.year < -kMaxYear) {
        return std::nullopt;
    }
    return daysFromCivil(c.year, c.month, c.day) * 86400 + c.hour * 3600 + c.minute * 60 + c.second;
}

namespace host {

void setClock(std::shared_ptr<IClock> c) {
    detail::noteFirstUse();
    auto& s = clockState();
    // Built before taking the clock lock: its constructor reads the clock.
    auto& scheduler = detail::Scheduler::instance();
    if (!c) {
        c = s.system;
    }
    bool manual = c->isManual();
    {
        // Held across the rebase so that two racing setClock calls leave the
        // scheduler on the clock that ends up current. The clock lock is always
        // taken before the scheduler's, never after it.
        MutexLock lock(s.mu);
        s.current = c;
        scheduler.clockChanged(c);
    }
    if (manual) {
        // A manual clock never fires by itself: hand off what is due already.
        scheduler.runDue(true);
    }
}

void setTimeZone(std::shared_ptr<ITimeZone> zone) {
    auto& s = clockState();
    MutexLock lock(s.mu);
    s.zone = zone ? std::move(zone) : s.systemZone;
}

}  // namespace host
}  // namespace sorvel::platform
