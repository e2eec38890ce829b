#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "Platform/Clock.h"
#include "Platform/Dispatch.h"
#include "Platform/Host.h"
#include "support/TestSupport.h"

namespace sorvel::platform {
namespace {

using namespace std::chrono_literals;
using testing::FreshSdk;
using testing::waitUntil;

TEST(ClockTest, ManualClockMovesOnlyWhenTold) {
    FreshSdk sdk(/*manualClock=*/true);
    auto manual = sdk.clock();

    WallTime wall0 = clock().wallNow();
    MonoTime mono0 = clock().monoNow();
    EXPECT_EQ(clock().wallNow(), wall0);  // no drift on its own
    manual->advance(1500ms);
    EXPECT_EQ(clock().wallNow() - wall0, 1500ms);
    EXPECT_EQ(clock().monoNow() - mono0, 1500ms);

    // The device's clock is set back a day: wall time follows, monotonic does not.
    manual->setWall(wall0 - 24h);
    EXPECT_EQ(clock().wallNow(), wall0 - 24h);
    EXPECT_EQ(clock().monoNow() - mono0, 1500ms);
    manual->advance(-5ms);  // time never runs backwards
    EXPECT_EQ(clock().monoNow() - mono0, 1500ms);

    host::setClock(nullptr);
    EXPECT_FALSE(clock().isManual());
    auto sysBefore = std::chrono::system_clock::now();
    EXPECT_GE(clock().wallNow(), sysBefore);
}

TEST(ClockTest, SwappingClocksKeepsPendingWorkWithTheTimeItHadLeft) {
    FreshSdk sdk(/*manualClock=*/true);
    auto first = sdk.clock();
    auto queue = DispatchQueue::makeSerial("clock.swap");
    std::atomic<int> fired{0};
    // advance() hands due blocks to the queue before returning, so a sync
    // behind them shows exactly what fired.
    auto firedNow = [&] {
        queue->sync([] {});
        return fired.load();
    };
    queue->asyncAfter(1000ms, [&] { fired++; });
    first->advance(400ms);

    auto second = std::make_shared<ManualClock>();
    host::setClock(second);
    first->advance(10000ms);  // no longer the current clock: fires nothing
    EXPECT_EQ(firedNow(), 0);
    second->advance(599ms);
    EXPECT_EQ(firedNow(), 0);
    second->advance(1ms);
    EXPECT_EQ(firedNow(), 1);

    // Back to real time: 30 ms left on a manual clock become 30 ms of real time.
    queue->asyncAfter(50ms, [&] {
        fired++;
        testing::notifyWaiters();
    });
    second->advance(20ms);
    auto swapped = std::chrono::steady_clock::now();
    host::setClock(nullptr);
    EXPECT_TRUE(waitUntil([&] { return fired.load() == 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - swapped, 25ms);
}

TEST(CalendarTest, MatchesTheCLibraryAndRefusesDatesThatDoNotExist) {
    // gmtime_r is the reference: edges of days, months, leap years and eras,
    // then random seconds within a million years either side of 1970.
    std::vector<std::int64_t> seconds{
        0,         -1,          86399,      86400,        951782400,
        951868799, -2203977600, 4107542400, 253402300799, -62135596800};
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::int64_t> any(-31'556'952'000'000, 31'556'952'000'000);
    for (int i = 0; i < 20000; ++i) {
        seconds.push_back(any(random));
    }
    for (std::int64_t s : seconds) {
        const time_t t = static_cast<time_t>(s);
        struct tm ref {};
        ASSERT_NE(gmtime_r(&t, &ref), nullptr) << s;
        const CivilTime c = utcCivilTime(s);
        ASSERT_EQ(std::tie(c.year, c.month, c.day, c.hour, c.minute, c.second, c.weekday),
                  std::make_tuple(std::int64_t{ref.tm_year} + 1900, ref.tm_mon + 1, ref.tm_mday,
                                  ref.tm_hour, ref.tm_min, ref.tm_sec, ref.tm_wday))
            << s;
        ASSERT_EQ(epochSecondsOfUtc(c), s);
    }
    auto civil = [](std::int64_t y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
        return CivilTime{y, mo, d, h, mi, s};
    };
    for (const CivilTime& bad :
         {civil(2023, 2, 29), civil(1900, 2, 29), civil(2024, 4, 31), civil(2024, 0, 1),
          civil(2024, 13, 1), civil(2024, 1, 0), civil(2024, 1, 1, 24), civil(2024, 1, 1, 0, 60),
          civil(2024, 1, 1, 0, 0, 60), civil(2024, 1, 1, -1), civil(1'000'000'000'000, 1, 1)}) {
        EXPECT_FALSE(epochSecondsOfUtc(bad).has_value())
            << bad.year << "-" << bad.month << "-" << bad.day << " " << bad.hour << ":"
            << bad.minute << ":" << bad.second;
    }
}

// When started as the zone child, this program prints the offsets the
// system's zone gives in January and July, and the local day of one instant.
int printSystemZoneIfAsked() {
    if (std::getenv("SORVEL_CLOCK_ZONE_CHILD") == nullptr) {
        return 0;
    }
    using std::chrono::seconds;
    const WallTime january(seconds(1'704'056'400));  // 2023-12-31T21:00Z
    const WallTime july(seconds(1'719'792'000));     // 2024-07-01T00:00Z
    const CivilTime day = localCivilTime(january);
    std::printf("JAN=%lld JUL=%lld DAY=%lld-%d-%d END\n",
                static_cast<long long>(localTimeZone()->utcOffset(january).count()),
                static_cast<long long>(localTimeZone()->utcOffset(july).count()),
                static_cast<long long>(day.year), day.month, day.day);
    std::fflush(stdout);
    std::_Exit(0);
}
const int kZoneChild = printSystemZoneIfAsked();

std::string systemZoneWith(const std::string& tz) {
    return testing::runSelf({"SORVEL_CLOCK_ZONE_CHILD=1", "TZ=" + tz}, "END");
}

TEST(ClockTest, LocalTimeFollowsTheHostsZoneElseTheSystems) {
    ASSERT_EQ(kZoneChild, 0);
    FreshSdk sdk;
    const WallTime instant(std::chrono::seconds(1'704'056'400));  // 2023-12-31T21:00Z
    host::setTimeZone(std::make_shared<FixedTimeZone>(9h));
    EXPECT_EQ(localTimeZone()->utcOffset(instant), 9h);
    CivilTime seoul = localCivilTime(instant);
    EXPECT_EQ(std::tie(seoul.year, seoul.month, seoul.day, seoul.hour, seoul.weekday),
              std::make_tuple(std::int64_t{2024}, 1, 1, 6, 1));
    host::setTimeZone(std::make_shared<FixedTimeZone>(-std::chrono::hours(5) - 30min));
    CivilTime west = localCivilTime(instant);
    EXPECT_EQ(std::tie(west.day, west.hour, west.minute), std::make_tuple(31, 15, 30));

    // Without a zone of the host's: the system's, daylight saving included.
    host::setTimeZone(nullptr);
    EXPECT_NE(dynamic_cast<SystemTimeZone*>(localTimeZone().get()), nullptr);
    EXPECT_EQ(systemZoneWith("KST-9"), "JAN=32400 JUL=32400 DAY=2024-1-1 END\n");
    EXPECT_EQ(systemZoneWith("EST5EDT,M3.2.0,M11.1.0"),
              "JAN=-18000 JUL=-14400 DAY=2023-12-31 END\n");
    EXPECT_EQ(systemZoneWith("UTC0"), "JAN=0 JUL=0 DAY=2023-12-31 END\n");
}

}  // namespace
}  // namespace sorvel::platform
