#include "Common/FvnUtil.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <future>
#include <limits>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/SvlLog.h"
#include "Platform/Host.h"
#include "Platform/Locale.h"
#include "sorvel/SorvelKVDelegates.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using namespace std::chrono;
using platform::WallTime;

using testing::DelegateLog;
using testing::MemoryContext;

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

class FvnUtilTest : public ::testing::Test {
  protected:
    testing::FreshSdk sdk{true};
    DataRegistry registry{std::make_shared<MemoryContext>()};
};

TEST(FvnUtilHash, Sha256ToUInt32ForDigits) {
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

TEST(FvnUtilTypedValues, RendersEveryKind) {
    const Value::Map input{
        {"s", Value("text")},
        {"f", Value(false)},
        {"imin", Value(std::numeric_limits<std::int64_t>::min())},
        {"umax", Value(std::numeric_limits<std::uint64_t>::max())},
        {"d2", Value(2.0)},
        {"nan", Value(std::nan(""))},
        {"arr", Value(Value::Array{Value("a"), Value(std::int64_t{2})})},
        {"null", Value()},
        {"bytes", Value(Value::Bytes{1, 2, 3})},
        {"nested", Value(Value::Map{{"deeper", Value(Value::Map{{"b", Value(false)}})}})},
    };
    const Value::Map expected{
        {"s", Value("string:text")},
        {"f", Value("boolean:false")},
        {"imin", Value("long:-9223372036854775808")},
        {"umax", Value("long:18446744073709551615")},
        {"d2", Value("double:2.0")},
        {"nan", Value("double:nan")},
        {"arr", Value("string:[\"a\", 2]")},
        {"null", Value("string:<null>")},
        {"bytes", Value("string:3 bytes")},
        {"nested", Value(Value::Map{{"deeper", Value(Value::Map{{"b", Value("boolean:false")}})}})},
    };
    EXPECT_EQ(Value(FvnUtil::toTypedValueDictionary(input)), Value(expected));
    EXPECT_TRUE(FvnUtil::toTypedValueDictionary(std::nullopt).empty());
}

TEST(FvnUtilTypedValues, ItemsParamHoldsEachProductTyped) {
    SorvelKvCommerceProductModel a;
    a.setModel("p1", "Shoe", 10.0, 2, 1.0, std::string("USD"), std::nullopt, std::nullopt);
    SorvelKvCommerceProductModel b;
    b.setModel("p2", "Hat", 5.0, 1, 0.0, std::nullopt, std::nullopt, std::nullopt);
    const Value::Map params{{"k", Value("string:v")}, {"svl:items", Value("old")}};

    const Value::Map out = FvnUtil::makeItemsParam(std::vector{a, b}, params);
    EXPECT_EQ(out.at("k"), Value("string:v"));
    const Value::Array* items = out.at("svl:items").getArray();
    ASSERT_NE(items, nullptr);
    ASSERT_EQ(items->size(), 2u);
    const Value::Map& first = *(*items)[0].getMap();
    EXPECT_EQ(first.at("svl:product_id"), Value("string:p1"));
    EXPECT_EQ(first.at("svl:sales"), Value("double:18.0"));
    EXPECT_EQ(first.at("svl:quantity"), Value("long:2"));
    EXPECT_EQ(first.at("svl:currency"), Value("string:USD"));
    EXPECT_EQ((*items)[1].getMap()->at("svl:product_id"), Value("string:p2"));
    EXPECT_EQ((*items)[1].getMap()->count("svl:currency"), 0u);

    const Value::Map none = FvnUtil::makeItemsParam(std::nullopt, std::nullopt);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_TRUE(none.at("svl:items").getArray()->empty());
}

TEST_F(FvnUtilTest, EventIdsAndTheirDatetime) {
    sdk.clock()->setWall(at(1'700'000'000'123'456'789LL));
    EXPECT_EQ(FvnUtil::getCurrentDatetimeString(), "2023-11-14T22:13:20.123Z");

    const std::string id = FvnUtil::createEventId();
    EXPECT_TRUE(std::regex_match(
        id,
        std::regex(
            "1700000000123:[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << id;
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

TEST(FvnUtilDates, UtcFormatsRoundTripWhateverTheZone) {
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

TEST_F(FvnUtilTest, LocalDayAndWeekdayFollowTheDeviceZone) {
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
TEST_F(FvnUtilTest, LocalDayWhileTheZoneChangesAndAnotherThreadLogs) {
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
            SvlLog::info("local day " + day + " " + weekday.value_or("?"));
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
    EXPECT_TRUE(log.contains("svlkv [info]: local day 20231231 Sun") ||
                log.contains("svlkv [info]: local day 20240101 Mon"));
    platform::host::setTimeZone(nullptr);
}

TEST_F(FvnUtilTest, DeleteRestartStateMatrix) {
    struct Case {
        std::optional<Value> stopped;
        std::optional<Value> synced;
        DRState expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, DRState::NORMAL},
        {Value("true"), Value(true), DRState::NORMAL},  // not a Bool
        {Value(std::int64_t{1}), Value(true), DRState::NORMAL},
        {Value(false), Value(false), DRState::INIT_RESTART_SYNCED},
        {Value(false), Value(true), DRState::INIT_RESTART_NOT_SYNCED},
        {Value(true), Value(false), DRState::DELETE_NOT_SYNCED},
        {Value(true), Value("yes"), DRState::DELETE_NOT_SYNCED},
        {Value(true), Value(true), DRState::DELETE_SYNCED},
    };
    auto context = std::make_shared<MemoryContext>();
    for (const auto& c : cases) {
        ASSERT_TRUE(
            context->set(std::string(rawValue(DataRegistryKey::BOOL_IS_SDK_STOPPED)), c.stopped));
        ASSERT_TRUE(context->set(
            std::string(rawValue(DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC)), c.synced));
        DataRegistry fresh(context);
        DRStateResult r = FvnUtil::getDRState(fresh);
        ASSERT_TRUE(r.isOk());
        EXPECT_EQ(r.value(), c.expected) << drStateName(c.expected);
        EXPECT_EQ(FvnUtil::isSorvelDisabled(fresh), isDeleteState(c.expected));
    }
    for (std::int64_t code : {-1, 4, 100}) {
        const DRStateResult made = makeDRState(code);
        ASSERT_FALSE(made.isOk()) << code;
        EXPECT_EQ(made.error(), DRStateError::UnKnownDRStateError);
    }
}

TEST_F(FvnUtilTest, DisabledGuardChecksForgetMePauseThenDeleteState) {
    std::atomic<int> resends{0};
    FvnUtil::setGdprForgetMeHook([&](FvnUtil::GdprDone) {
        resends++;
        testing::notifyWaiters();
    });
    DelegateLog log;

    EXPECT_FALSE(FvnUtil::isSorvelDisabled(registry));
    registry.putBool(false, DataRegistryKey::BOOL_IS_SDK_STOPPED);  // a restart state
    EXPECT_FALSE(FvnUtil::isSorvelDisabled(registry));
    registry.putBool(true, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);
    EXPECT_FALSE(FvnUtil::isSorvelDisabled(registry)) << "all-stop is not part of the guard";
    EXPECT_EQ(log.count("Sorvel Disabled : true"), 0);

    registry.putBool(true, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
    EXPECT_TRUE(FvnUtil::isSorvelDisabled(registry));
    registry.putBool(false, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
    registry.putBool(true, DataRegistryKey::BOOL_IS_SDK_STOPPED);
    EXPECT_TRUE(FvnUtil::isSorvelDisabled(registry));
    EXPECT_EQ(log.count("Sorvel Disabled : true"), 2);
    EXPECT_EQ(resends.load(), 0) << "no forget-me, no re-send";

    // Forget-me confirmed by the server: disabled, nothing to re-send.
    registry.putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);
    registry.putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);
    EXPECT_TRUE(FvnUtil::isSorvelDisabled(registry));
    // Unconfirmed: the guard answers at once and the re-send runs in the background.
    registry.putBool(false, DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);
    EXPECT_TRUE(FvnUtil::isSorvelDisabled(registry));
    EXPECT_TRUE(testing::waitUntil([&] { return resends.load() == 1; }));
    ASSERT_TRUE(FvnUtil::waitForGdprResendIdle(seconds(10)));
    // Forget-me is asked before the pause flag, so the re-send still goes out
    // while the remote configuration pauses the SDK.
    registry.putBool(true, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
    EXPECT_TRUE(FvnUtil::isSorvelDisabled(registry));
    EXPECT_TRUE(testing::waitUntil([&] { return resends.load() == 2; }));
    ASSERT_TRUE(FvnUtil::waitForGdprResendIdle(seconds(10)));
    FvnUtil::setGdprForgetMeHook(nullptr);
    // Without a hook the use case is only logged as missing.
    FvnUtil::executeGdprForgetMe();
    EXPECT_EQ(log.count("executeGdprForgetMe :: no GDPR forget-me use case is installed"), 1);
}

TEST_F(FvnUtilTest, GdprResendRunsInBackgroundOneAtATime) {
    // Shared with the re-sends, which a failing test may leave behind.
    struct Resends {
        std::atomic<int> started{0};
        std::atomic<int> finished{0};
        std::atomic<bool> ranOnCaller{false};
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
    };
    auto st = std::make_shared<Resends>();
    auto action = [st, caller = std::this_thread::get_id()](FvnUtil::GdprDone) {
        st->ranOnCaller = st->ranOnCaller || std::this_thread::get_id() == caller;
        st->started++;
        testing::notifyWaiters();
        st->released.wait_for(seconds(10));
        st->finished++;
        testing::notifyWaiters();
    };

    EXPECT_FALSE(FvnUtil::isGdprForgetMe(action, registry));
    registry.putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);
    // The action blocks until released, yet every call answers at once.
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(FvnUtil::isGdprForgetMe(action, registry));
    }
    ASSERT_TRUE(testing::waitUntil([&] { return st->started.load() == 1; }));
    EXPECT_TRUE(FvnUtil::isGdprForgetMe(action, registry));
    EXPECT_EQ(st->started.load(), 1) << "a second re-send while one is in flight";
    st->release.set_value();
    ASSERT_TRUE(testing::waitUntil([&] { return st->finished.load() == 1; }));
    ASSERT_TRUE(FvnUtil::waitForGdprResendIdle(seconds(10)));
    // Once it is done, the next check re-sends again.
    EXPECT_TRUE(FvnUtil::isGdprForgetMe(action, registry));
    ASSERT_TRUE(FvnUtil::waitForGdprResendIdle(seconds(10)));
    EXPECT_EQ(st->started.load(), 2);
    EXPECT_EQ(st->finished.load(), 2);
    EXPECT_FALSE(st->ranOnCaller.load());

    registry.putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);
    EXPECT_TRUE(FvnUtil::isGdprForgetMe(action, registry));
    EXPECT_TRUE(FvnUtil::isGdprForgetMeServerResponse(registry));
    SvlLog::flush();
    EXPECT_EQ(st->started.load(), 2);
}

TEST(FvnUtilGdprDeathTest, ExitDoesNotWaitForAResendStuckOnTheNetwork) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            testing::FreshSdk sdk;
            DataRegistry registry(std::make_shared<MemoryContext>());
            registry.putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);
            auto started = std::make_shared<std::atomic<bool>>(false);
            auto never = std::make_shared<std::promise<void>>();
            auto stuck = never->get_future().share();
            FvnUtil::isGdprForgetMe(
                [started, stuck](FvnUtil::GdprDone) {
                    *started = true;
                    testing::notifyWaiters();
                    stuck.wait();
                },
                registry);
            if (!testing::waitUntil([&] { return started->load(); })) {
                std::_Exit(2);
            }
            // A deadline for exit itself: a hang ends in SIGALRM, not exit code 0.
            ::alarm(20);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(FvnUtilIds, ForkedProcessesDrawDifferentIds) {
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

TEST_F(FvnUtilTest, RegistryEdgeCases) {
    EXPECT_TRUE(FvnUtil::isBeforeFirstOpen(registry));
    registry.putString(std::string(""), DataRegistryKey::STRING_LAST_FIRSTOPEN_ID);
    EXPECT_FALSE(FvnUtil::isBeforeFirstOpen(registry)) << "an empty text counts as stored";

    // The stored deeplink is handed out once.
    registry.putString(std::string("app://x?svl_tid=1"), DataRegistryKey::STRING_DEEPLINK_URL);
    EXPECT_EQ(FvnUtil::popStoredDeeplinkUrl(registry), "app://x?svl_tid=1");
    EXPECT_EQ(FvnUtil::popStoredDeeplinkUrl(registry), std::nullopt);

    // The user id matches only as text.
    EXPECT_TRUE(FvnUtil::isSameUserId("u1", {{"svl:user_id", Value("u1")}}));
    EXPECT_FALSE(FvnUtil::isSameUserId("1", {{"svl:user_id", Value(std::int64_t{1})}}));
    EXPECT_FALSE(FvnUtil::isSameUserId("u1", {}));
}

TEST_F(FvnUtilTest, DeeplinkParameters) {
    struct Case {
        std::string url;
        std::optional<std::string> adkey;
        std::optional<std::string> tracker;
        bool parsable;
    };
    const std::vector<Case> cases = {
        {"myapp://open?svl_tid=1700000000000:abc&svl_tracker_id=t1", "1700000000000:abc", "t1",
         true},
        {"https://ex.example/p?svl_tid=ab%20c", "ab c", std::nullopt, true},
        {"https://ex.example/p?x=1&svl_tracker_id=t%2B2#frag", std::nullopt, "t+2", true},
        {"https://ex.example/p?svl_tid=&x=1", "", std::nullopt, true},
        {"https://ex.example/p?svl_tid=first&svl_tid=second", "first", std::nullopt, true},
        // The first item of a name decides, even when it has no value.
        {"https://ex.example/p?svl_tid&svl_tid=late&svl_tracker_id&svl_tracker_id=t", std::nullopt,
         std::nullopt, true},
        {"https://ex.example/p#svl_tid=inFragment", std::nullopt, std::nullopt, true},
        {"plain", std::nullopt, std::nullopt, true},
        {"my app://x?svl_tid=1", std::nullopt, std::nullopt, false},
        {"https://ex.example/?svl_tid=%zz", std::nullopt, std::nullopt, false},
    };
    DelegateLog log;
    int unparsable = 0;
    for (const auto& c : cases) {
        const Value::Map p = FvnUtil::getDeeplinkParameters(c.url);
        if (!c.parsable) {
            ++unparsable;
            EXPECT_TRUE(p.empty()) << c.url;
            EXPECT_FALSE(FvnUtil::isSorvelDeeplink(p, c.url, registry));
            continue;
        }
        EXPECT_EQ(p.at("svl:deeplink_payload"), Value(c.url));
        auto get = [&p](const char* k) -> std::optional<std::string> {
            auto it = p.find(k);
            return it == p.end() ? std::nullopt
                                 : std::optional<std::string>(*it->second.getString());
        };
        EXPECT_EQ(get("svl:deeplink_adkey"), c.adkey) << c.url;
        EXPECT_EQ(get("svl:svl_tracker_id"), c.tracker) << c.url;
        EXPECT_EQ(FvnUtil::isSorvelDeeplink(p, c.url, registry),
                  c.adkey.has_value() || c.tracker.has_value())
            << c.url;
    }
    EXPECT_EQ(log.count("ERROR :: Uri is null or parameter doesn't exist in "), unparsable);
    EXPECT_GT(log.count("tracking-link URL form check is not applied"), 0);
    // A huge URL is only text.
    const std::string huge = "app://x?svl_tid=" + std::string(1 << 20, 'a');
    EXPECT_EQ(FvnUtil::getDeeplinkParameters(huge).at("svl:deeplink_adkey").getString()->size(),
              std::size_t{1} << 20);
}

TEST(FvnUtilJson, JsonObjectsOnly) {
    auto ok = FvnUtil::jsonString2JsonDic(R"({"a": 1, "b": {"c": "d"}})");
    ASSERT_TRUE(std::holds_alternative<Value::Map>(ok));
    EXPECT_EQ(std::get<Value::Map>(ok).at("a"), Value(std::int64_t{1}));
    for (const char* notObject : {"[1,2]", "5", "\"text\"", "null"}) {
        auto r = FvnUtil::jsonString2JsonDic(notObject);
        ASSERT_TRUE(std::holds_alternative<JsonError>(r)) << notObject;
        EXPECT_STREQ(describe(std::get<JsonError>(r)),
                     "Util.jsonString2JsonDic:: can not convert jsonObject to dictionary");
    }
    for (const char* broken : {"{", "\xff\xfe"}) {
        auto r = FvnUtil::jsonString2JsonDic(broken);
        ASSERT_TRUE(std::holds_alternative<JsonError>(r)) << broken;
        EXPECT_EQ(std::get<JsonError>(r), JsonError::invalidJsonError);
    }
}

TEST(FvnUtilKeys, UserPropertyKeyRules) {
    struct Case {
        std::string key;
        bool usable;
        std::string used;
    };
    const std::string k50(50, 'a');
    const std::vector<Case> cases = {
        {"", false, ""},
        {"abc_1", true, "abc_1"},
        {"a-b-c", true, "a_b_c"},
        {k50, true, k50},
        {k50 + "b", false, k50 + "b"},
        {std::string(25, 'a') + "-" + std::string(25, 'b'), false,
         std::string(25, 'a') + "_" + std::string(25, 'b')},
        {"Abc", false, "Abc"},
        {"a-B", false, "a_B"},
        {"\xED\x95\x9C", false, "\xED\x95\x9C"},
        {"ab\xff", false, "ab\xff"},
    };
    DelegateLog log;
    for (const auto& c : cases) {
        auto [usable, used] = FvnUtil::checkUserPropertyKey(c.key);
        EXPECT_EQ(usable, c.usable) << c.key;
        EXPECT_EQ(used, c.used) << c.key;
    }
    EXPECT_EQ(
        log.count(
            "UserProperty Key 에는 빈값을 사용할 수 없습니다. 호출은 무시됩니다. Input key : "),
        1);
    EXPECT_EQ(
        log.count("UserProperty Key 는 50자를 넘을 수 없습니다. 호출은 무시됩니다. Input key : "),
        2);
    EXPECT_EQ(
        log.count("UserProperty Key는 소문자 알파벳, 숫자, 언더바만 사용할 수 있습니다. 호출은 "
                  "무시됩니다. Input key : "),
        4);
    EXPECT_EQ(log.count("Input key : a-b-c"), 1);
    // Fifty Korean characters are fifty characters, not 150 bytes: refused by
    // the character rule, not the length rule.
    std::string korean;
    for (int i = 0; i < 50; ++i) {
        korean += "\xED\x95\x9C";
    }
    EXPECT_FALSE(FvnUtil::checkUserPropertyKey(korean).first);
    EXPECT_EQ(log.count("50자를 넘을 수 없습니다. 호출은 무시됩니다. Input key : " + korean), 0);
    EXPECT_FALSE(FvnUtil::checkUserPropertyKey(std::string(1 << 20, 'a')).first);
}

TEST_F(FvnUtilTest, LanguageFromPreferredLanguages) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"en-US"}, "EN"}, {{"zh-Hant-TW"}, "ZH-HANT"}, {{"ko"}, "KO"}, {{"fr-CA", "en"}, "FR"},
        {{}, ""},
    };
    for (const auto& [langs, want] : cases) {
        platform::host::setPreferredLanguages(langs);
        EXPECT_EQ(FvnUtil::getLanguage(), want);
    }
    platform::host::setPreferredLanguages(std::nullopt);

    struct EnvCase {
        const char* language;
        const char* lcAll;
        const char* lang;
        const char* want;
    };
    const std::vector<EnvCase> envCases = {
        {"", "", "ko_KR.UTF-8", "KO"},
        {"pt_BR:en", "", "ko_KR.UTF-8", "PT"},
        {"", "de_DE.UTF-8@euro", "ko_KR.UTF-8", "DE"},
        {"", "C", "ja_JP.UTF-8", "JA"},
        {"", "", "C", ""},
    };
    std::map<std::string, std::optional<std::string>> saved;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        saved[name] = v ? std::optional<std::string>(v) : std::nullopt;
    }
    for (const auto& c : envCases) {
        setenv("LANGUAGE", c.language, 1);
        setenv("LC_ALL", c.lcAll, 1);
        unsetenv("LC_MESSAGES");
        setenv("LANG", c.lang, 1);
        EXPECT_EQ(FvnUtil::getLanguage(), c.want) << c.language << "|" << c.lcAll << "|" << c.lang;
    }
    for (const auto& [name, v] : saved) {
        if (v) {
            setenv(name.c_str(), v->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
}

}  // namespace
}  // namespace sorvel
