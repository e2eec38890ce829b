#include "Common/DatesAndIds.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <limits>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "Common/SvlLog.h"
#include "Platform/Host.h"
#include "Platform/Locale.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using namespace std::chrono;
using platform::WallTime;

// The device's zone for the test's duration.
class ScopedZone {
  public:
    explicit ScopedZone(hours utcOffset) {
        platform::host::setTimeZone(std::make_shared<platform::FixedTimeZone>(utcOffset));
    }
    ~ScopedZone() { platform::host::setTimeZone(nullptr); }
};

WallTime at(std::int64_t epochNanos) {
    return WallTime(duration_cast<WallTime::duration>(nanoseconds(epochNanos)));
}

class DatesAndIdsTest : public ::testing::Test {
  protected:
    testing::FreshSdk sdk{true};
};

TEST(DatesAndIdsHash, Sha256ToUInt32ForDigits) {
    // The first four digest bytes of "abc" (ba 78 16 bf), little-endian, are
    // 3205920954; the result keeps its last `digits` decimal digits.
    const std::vector<std::pair<std::int64_t, std::uint32_t>> cases = {
        {0, 0u},           {-3, 0u},
        {1, 4u},           {9, 205920954u},
        {10, 3205920954u}, {std::numeric_limits<std::int64_t>::max(), 3205920954u}};
    for (const auto& [digits, want] : cases) {
        EXPECT_EQ(FvnUtil::getSHA256HashToUInt32("abc", digits), want) << digits;
    }
}

TEST_F(DatesAndIdsTest, EventIdsAndTheirDatetime) {
    sdk.clock()->setWall(at(1'700'000'000'123'456'789LL));
    EXPECT_EQ(FvnUtil::getCurrentDatetimeString(), "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(FvnUtil::getCurrentDatetimeText(), "2023-11-14T22:13:20.123Z");

    const std::string id = FvnUtil::createEventId();
    const std::regex idPattern(
        "1700000000123:[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    EXPECT_TRUE(std::regex_match(id, idPattern)) << id;
    // The inline form: the same pattern, and a UUID of its own.
    const InlineText inlineId = FvnUtil::createEventIdText();
    EXPECT_TRUE(std::regex_match(inlineId.str(), idPattern)) << inlineId;
    EXPECT_NE(inlineId, id);
    // Ids made on several threads at once never repeat.
    std::vector<std::vector<std::string>> perThread(4);
    std::vector<std::thread> threads;
    for (auto& ids : perThread) {
        threads.emplace_back([&ids] {
            for (int i = 0; i < 3000; ++i) {
                ids.push_back(FvnUtil::createEventId());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::set<std::string> unique{id};
    for (const auto& ids : perThread) {
        unique.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(unique.size(), 1u + 4 * 3000);
    EXPECT_EQ(FvnUtil::getEventDatetimeFromEventId(id), "2023-11-14T22:13:20.000Z");

    const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> cases = {
        {"1700000000999:ABC", "2023-11-14T22:13:20.000Z"},
        {"1700000000999", "2023-11-14T22:13:20.000Z"},
        {"+1000:x", "1970-01-01T00:00:01.000Z"},
        {"-1500:x", "1969-12-31T23:59:59.000Z"},
        // Years past four digits are written whole.
        {"253402300800000:x", "10000-01-01T00:00:00.000Z"},
        {"-62167219201000:x", "-001-12-31T23:59:59.000Z"},
        {":ABC", std::nullopt},
        {"12a:x", std::nullopt},
        {" 12:x", std::nullopt},
        {"1.5:x", std::nullopt},
        {"9223372036854775808:x", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& [in, want] : cases) {
        EXPECT_EQ(FvnUtil::getEventDatetimeFromEventId(in), want) << in.value_or("<absent>");
    }
    // Extremes must not crash, whatever text they give.
    (void)FvnUtil::getEventDatetimeFromEventId("9223372036854775807");
    (void)FvnUtil::getEventDatetimeFromEventId("-9223372036854775808");
}

TEST(DatesAndIdsFormats, UtcFormatsRoundTripWhateverTheZone) {
    struct Case {
        const FixedDateFormatter& format;
        std::int64_t nanos;
        const char* text;
        std::int64_t parsedNanos;  // what the text reads back as
    };
    const std::vector<Case> cases = {
        {FvnUtil::DATE_FORMATTER_UTC_MILLIS(), 1'700'000'000'123'456'789LL,
         "2023-11-14T22:13:20.123", 1'700'000'000'123'000'000LL},
        {FvnUtil::DATE_FORMATTER_UTC_SECONDS(), 1'700'000'000'999'000'000LL, "2023-11-14T22:13:20",
         1'700'000'000'000'000'000LL},
        {FvnUtil::DATE_FORMATTER_UTC_7_FRACTION_Z(), 1'700'000'000'123'456'789LL,
         "2023-11-14T22:13:20.1234567Z", 1'700'000'000'123'456'700LL},
        // Before 1970 the fraction still counts forward within the second.
        {FvnUtil::DATE_FORMATTER_UTC_MILLIS(), -1, "1969-12-31T23:59:59.999", -1'000'000LL},
    };
    for (int offset : {0, 9, -5}) {
        ScopedZone zone{hours(offset)};
        for (const auto& c : cases) {
            EXPECT_EQ(c.format.string(at(c.nanos)), c.text) << offset;
            EXPECT_EQ(c.format.text(at(c.nanos)), c.text) << offset;
            auto parsed = c.format.date(c.text);
            ASSERT_TRUE(parsed.has_value()) << c.text;
            EXPECT_EQ(*parsed, at(c.parsedNanos)) << c.text << " at UTC" << offset;
        }
    }
    const auto& millis = FvnUtil::DATE_FORMATTER_UTC_MILLIS();
    const auto& seconds = FvnUtil::DATE_FORMATTER_UTC_SECONDS();
    const auto& fraction7 = FvnUtil::DATE_FORMATTER_UTC_7_FRACTION_Z();
    EXPECT_TRUE(seconds.date("2024-02-29T12:00:00").has_value());
    for (const char* bad : {"2023-02-29T00:00:00", "2023-11-14 22:13:20", "2023-11-14T22:13:20Z",
                            "2023-11-14T24:00:00", "2023-13-01T00:00:00", "23-11-14T22:13:20", "",
                            "2023-11-14T22:13:2x"}) {
        EXPECT_FALSE(seconds.date(bad).has_value()) << bad;
    }
    EXPECT_FALSE(millis.date("2023-11-14T22:13:20").has_value());
    EXPECT_FALSE(millis.date("2023-11-14T22:13:20.12").has_value());
    EXPECT_FALSE(fraction7.date("2023-11-14T22:13:20.1234567").has_value());
    EXPECT_FALSE(fraction7.date(std::string(100000, '9')).has_value());
}

TEST_F(DatesAndIdsTest, LocalDayAndWeekdayFollowTheDeviceZone) {
    struct Case {
        int offset;  // hours ahead of UTC
        std::int64_t epochSeconds;
        const char* day;
        const char* weekday;
    };
    const std::vector<Case> cases = {
        // 2023-12-31T21:00Z: still Sunday in UTC and New York, Monday in Seoul.
        {0, 1'704'056'400, "20231231", "Sun"},
        {9, 1'704'056'400, "20240101", "Mon"},
        {-5, 1'704'056'400, "20231231", "Sun"},
        // 2024-01-01T02:00Z: the new year in UTC, not yet west of it.
        {-5, 1'704'074'400, "20231231", "Sun"},
        // Leap day (Thursday has four letters), and days before 1970.
        {0, 1'709'208'000, "20240229", "Thur"},
        {9, -1, "19700101", "Thur"},
    };
    for (const auto& c : cases) {
        ScopedZone zone{hours(c.offset)};
        sdk.clock()->setWall(at(c.epochSeconds * 1'000'000'000LL));
        EXPECT_EQ(FvnUtil::getTodayDateString(), c.day) << c.offset << " " << c.epochSeconds;
        EXPECT_EQ(FvnUtil::getDayOfWeek(at(c.epochSeconds * 1'000'000'000LL)), c.weekday)
            << c.offset << " " << c.epochSeconds;
    }
}

// The zone changes (the user travels) while SDK threads log and compute local
// days. Each computation sees one zone or the other, never a torn one, and the
// host's thread sees its own change at once; under ThreadSanitizer a zone
// kept in the process environment (TZ) would show as a race here.
TEST_F(DatesAndIdsTest, LocalDayWhileTheZoneChangesAndAnotherThreadLogs) {
    testing::LogCapture log;
    const WallTime instant = at(1'704'056'400LL * 1'000'000'000LL);  // 2023-12-31T21:00Z
    sdk.clock()->setWall(instant);
    auto seoul = std::make_shared<platform::FixedTimeZone>(hours(9));
    auto utc = std::make_shared<platform::FixedTimeZone>(hours(0));
    platform::host::setTimeZone(utc);

    std::atomic<bool> stop{false};
    std::atomic<int> computed{0};
    std::atomic<int> wrong{0};
    std::thread other([&] {
        while (!stop.load()) {
            const std::string day = FvnUtil::getTodayDateString();
            const auto weekday = FvnUtil::getDayOfWeek(instant);
            // Each call reads the zone once, so a day and weekday read apart
            // may come from different zones; each must be one of the two.
            const bool known = (day == "20231231" || day == "20240101") &&
                               (weekday == std::optional<std::string>("Sun") ||
                                weekday == std::optional<std::string>("Mon"));
            wrong += known ? 0 : 1;
            SvlLog::warning("local day " + day + " " + weekday.value_or("?"), false);
            ++computed;
        }
    });
    // Switches until the other thread has computed plenty in the meantime.
    const auto deadline = steady_clock::now() + seconds(10);
    bool sawOwnChange = true;
    for (int i = 0; i < 500 || computed.load() < 500; ++i) {
        platform::host::setTimeZone(seoul);
        sawOwnChange = sawOwnChange && FvnUtil::getTodayDateString() == "20240101";
        platform::host::setTimeZone(utc);
        sawOwnChange = sawOwnChange && FvnUtil::getTodayDateString() == "20231231";
        if (steady_clock::now() > deadline) {
            break;
        }
    }
    stop = true;
    other.join();
    EXPECT_TRUE(sawOwnChange);
    SvlLog::flush();
    EXPECT_GE(computed.load(), 500);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(log.contains("svlkv [warning]: local day 20231231 Sun") ||
                log.contains("svlkv [warning]: local day 20240101 Mon"));
    platform::host::setTimeZone(nullptr);
}

TEST(DatesAndIdsFork, ForkedProcessesDrawDifferentIds) {
    (void)FvnUtil::createEventId();  // this thread now holds random bytes in reserve
    auto threeIds = [] {
        std::string ids;
        for (int i = 0; i < 3; ++i) {
            const std::string id = FvnUtil::createEventId();
            ids += id.substr(id.find(':') + 1);
        }
        return ids;
    };
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string ids = threeIds() + "END";
        std::_Exit(::write(fds[1], ids.data(), ids.size()) == static_cast<ssize_t>(ids.size()));
    }
    ::close(fds[1]);
    const std::string parent = threeIds() + "END";
    std::string child;
    EXPECT_TRUE(testing::readUntil(fds[0], "END", seconds(10), child)) << child;
    ::close(fds[0]);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ASSERT_EQ(child.size(), parent.size());
    for (std::size_t i = 0; i + 3 < parent.size(); i += 36) {
        EXPECT_NE(child.substr(i, 36), parent.substr(i, 36)) << "id " << i / 36;
    }
}

}  // namespace
}  // namespace sorvel
