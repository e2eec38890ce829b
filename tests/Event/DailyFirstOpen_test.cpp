#include <gtest/gtest.h>

#include <thread>

#include "AutoEventFixture.h"
#include "Common/SVLBooleanState.h"
#include "Event/DailyFirstOpenAutoEventGenerator.h"
#include "Platform/RunLoop.h"

namespace sorvel::autotest {
namespace {

using platform::RunLoop;

// Stands in for the active context: the generator reaches it weakly.
struct FakeContext {
    EventRecorder recorder;
    void logEvent(const LogEventParameter& p) { recorder.action()(p); }
};

class DailyFirstOpenTest : public AutoEventTest {
  protected:
    void SetUp() override {
        AutoEventTest::SetUp();
        SVLBooleanState::isAppActive().set(true);
        // A campaign list that does not expire, so the in-app fetch is only
        // asked for where a test wants it.
        keepInAppListFresh();
        generator = DailyFirstOpenAutoEventGenerator::create(registry, weakLogEventAction(context),
                                                             repository);
    }
    void TearDown() override {
        generator->stopTimer();
        releaseAndWait(generator);
        waitUntilHeldAlone(repository);
        AutoEventTest::TearDown();
    }
    void keepInAppListFresh() {
        // A century: whatever day a test sets, the list has not expired.
        registry->putInt(100LL * 365 * 24 * 60,
                         DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY);
        registry->putInt64(nowMs(), DataRegistryKey::INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME);
    }
    std::string storedDay() {
        return registry->getString(DataRegistryKey::STRING_DAILY_FIRST_OPEN_PREV_DATE, "");
    }
    // Starts the timer from the main queue, as an activation does.
    void startTimer() {
        generator->startTimer();
        ASSERT_TRUE(RunLoop::main().runUntil([&] { return generator->isTimerRunning(); }, 10s));
    }
    // One minute passes: the timer fires on the main run loop and its tick
    // runs on the global queue; waits until the tick logged its line.
    void minutePasses() {
        const std::size_t before = tickLines();
        clock().advance(DailyFirstOpenAutoEventGenerator::TICK_INTERVAL);
        ASSERT_TRUE(RunLoop::main().runUntil(
            [&] {
                SvlLog::flush();
                return tickLines() > before;
            },
            10s));
    }
    std::size_t tickLines() {
        std::size_t n = 0;
        for (const auto& line : logs.lines()) {
            n += line.find("Daily First Open... NowDate") != std::string::npos ? 1 : 0;
        }
        return n;
    }
    std::size_t dailyEvents() { return context->recorder.count(); }
    bool eventsReach(std::size_t n) {
        return testing::waitUntil([&] { return dailyEvents() >= n; }) && dailyEvents() == n;
    }

    testing::LogCapture logs;
    std::shared_ptr<CountingRepository> repository = std::make_shared<CountingRepository>();
    std::shared_ptr<FakeContext> context = std::make_shared<FakeContext>();
    std::shared_ptr<DailyFirstOpenAutoEventGenerator> generator;
};

TEST_F(DailyFirstOpenTest, TheFirstDayOfAnInstallationRaisesNothing) {
    setWallUtc(12, 0, 0);
    registry->putInt(-1, DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY);
    startTimer();
    clock().advance(DailyFirstOpenAutoEventGenerator::TICK_INTERVAL);
    ASSERT_TRUE(RunLoop::main().runUntil([&] { return storedDay() == "20300517"; }, 10s));
    // Not even the in-app test runs on that tick.
    SvlLog::flush();
    EXPECT_EQ(tickLines(), 0u);
    EXPECT_EQ(repository->inAppFetches.load(), 0);
    // The next one, with an expired list, asks for the campaigns.
    minutePasses();
    EXPECT_TRUE(testing::waitUntil([&] { return repository->inAppFetches.load() == 1; }));
    EXPECT_EQ(dailyEvents(), 0u);
}

TEST_F(DailyFirstOpenTest, MidnightRaisesOneEventAfterClearingTheNotificationId) {
    setWallUtc(23, 59, 30);
    registry->putString(std::string("20300517"),
                        DataRegistryKey::STRING_DAILY_FIRST_OPEN_PREV_DATE);
    registry->putString(std::string("n-1"), DataRegistryKey::STRING_SVL_NOTIFICATION_ID);
    startTimer();
    generator->startTimer();  // a second activation keeps the one timer
    minutePasses();           // 00:00:30 of the 18th
    ASSERT_TRUE(eventsReach(1));
    const LogEventParameter e = context->recorder.events()[0];
    EXPECT_EQ(e.group, "svl");
    EXPECT_EQ(e.eventName, "daily_first_open");
    EXPECT_TRUE(e.eventParam.empty());
    EXPECT_TRUE(e.eventId);
    EXPECT_EQ(storedDay(), "20300518");
    EXPECT_EQ(registry->getString(DataRegistryKey::STRING_SVL_NOTIFICATION_ID, "x"), "");
    EXPECT_EQ(repository->configSyncs.load(), 1);
    for (int i = 0; i < 3; ++i) {
        minutePasses();
    }
    // One timer: one tick per minute; one event per day.
    EXPECT_EQ(tickLines(), 4u);
    EXPECT_EQ(dailyEvents(), 1u);
    EXPECT_EQ(repository->configSyncs.load(), 1);
}

TEST_F(DailyFirstOpenTest, AZoneChangeThatChangesTheLocalDayCountsAsANewDay) {
    setWallUtc(20, 0, 0);
    registry->putString(std::string("20300517"),
                        DataRegistryKey::STRING_DAILY_FIRST_OPEN_PREV_DATE);
    startTimer();
    minutePasses();
    EXPECT_EQ(dailyEvents(), 0u);
    setLocalZone(9);  // 05:01 on the 18th in Seoul
    minutePasses();
    ASSERT_TRUE(eventsReach(1));
    EXPECT_EQ(storedDay(), "20300518");
    // Back west: the 17th again is a different day string, and counts too.
    setLocalZone(0);
    minutePasses();
    ASSERT_TRUE(eventsReach(2));
    EXPECT_EQ(storedDay(), "20300517");
}

TEST_F(DailyFirstOpenTest, AnInactiveOrPausedAppKeepsTheOldDayForALaterTick) {
    setWallUtc(10, 0, 0);
    registry->putString(std::string("20300516"),
                        DataRegistryKey::STRING_DAILY_FIRST_OPEN_PREV_DATE);
    startTimer();
    SVLBooleanState::isAppActive().set(false);
    minutePasses();
    registry->putBool(true, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
    SVLBooleanState::isAppActive().set(true);
    minutePasses();
    EXPECT_EQ(dailyEvents(), 0u);
    EXPECT_EQ(storedDay(), "20300516");
    registry->putBool(false, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
    minutePasses();
    EXPECT_TRUE(eventsReach(1));
}

TEST_F(DailyFirstOpenTest, AllStopOrAWrongAppKeySkipsTheWholeTick) {
    setWallUtc(10, 0, 0);
    registry->putString(std::string("20300516"),
                        DataRegistryKey::STRING_DAILY_FIRST_OPEN_PREV_DATE);
    registry->putInt(-1, DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY);
    auto skipped = [&](std::size_t n) {
        return testing::waitUntil([&] {
            SvlLog::flush();
            std::size_t count = 0;
            for (const auto& line : logs.lines()) {
                count += line.find("Daily First Open :: skipped") != std::string::npos ? 1 : 0;
            }
            return count == n;
        });
    };
    registry->putBool(true, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);
    generator->doTask();
    ASSERT_TRUE(skipped(1));
    registry->putBool(false, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);
    SVLBooleanState::isWrongAppKey().set(true);
    generator->doTask();
    ASSERT_TRUE(skipped(2));
    // Not even the in-app test ran.
    EXPECT_EQ(tickLines(), 0u);
    EXPECT_EQ(repository->inAppFetches.load(), 0);
    EXPECT_EQ(dailyEvents(), 0u);
    EXPECT_EQ(storedDay(), "20300516");

    SVLBooleanState::isWrongAppKey().set(false);
    generator->doTask();
    ASSERT_TRUE(testing::waitUntil([&] { return repository->inAppFetches.load() == 1; }));
    EXPECT_EQ(dailyEvents(), 1u);
}

TEST_F(DailyFirstOpenTest, OverlappingTicksRaiseTheDayOnce) {
    setWallUtc(9, 0, 0);
    registry->putString(std::string("20300516"),
                        DataRegistryKey::STRING_DAILY_FIRST_OPEN_PREV_DATE);
    registry->putString(std::string("n-1"), DataRegistryKey::STRING_SVL_NOTIFICATION_ID);
    // The first tick to take the new day is held between clearing the
    // notification id and storing the day, until every other tick has looked
    // at the stored day.
    registry->addListener(DataRegistryKey::STRING_SVL_NOTIFICATION_ID,
                          std::make_shared<DataUnitEventListener>([&](const auto&) {
                              testing::waitUntil([&] {
                                  SvlLog::flush();
                                  return tickLines() == 16;
                              });
                          }));
    for (int i = 0; i < 16; ++i) {
        generator->doTask();
    }
    ASSERT_TRUE(testing::waitUntil([&] { return dailyEvents() >= 1; }));
    ASSERT_TRUE(testing::waitUntil([&] {
        SvlLog::flush();
        return tickLines() == 16;
    }));
    EXPECT_EQ(storedDay(), "20300517");
    EXPECT_EQ(repository->configSyncs.load(), 1);
    EXPECT_EQ(dailyEvents(), 1u);
}

TEST_F(DailyFirstOpenTest, ATickInFlightWhenTheTimerStopsDropsItsEvent) {
    setWallUtc(9, 0, 0);
    registry->putString(std::string("20300516"),
                        DataRegistryKey::STRING_DAILY_FIRST_OPEN_PREV_DATE);
    std::atomic<bool> inSync{false};
    std::atomic<bool> release{false};
    repository->onConfigSync = [&] {
        inSync = true;
        testing::waitUntil([&] { return release.load(); }, 10s);
    };
    startTimer();
    clock().advance(DailyFirstOpenAutoEventGenerator::TICK_INTERVAL);
    ASSERT_TRUE(RunLoop::main().runUntil([&] { return inSync.load(); }, 10s));
    // The SDK is disabled: every registered timer stops.
    TimerManager::shared().stopTimer();
    EXPECT_FALSE(generator->isTimerRunning());
    release = true;
    testing::notifyWaiters();
    ASSERT_TRUE(testing::waitUntil(
        [&] { return logs.contains("the timer was stopped, the event is dropped"); }));
    EXPECT_EQ(dailyEvents(), 0u);

    // A replaced context: the generator's events no longer reach it.
    repository->onConfigSync = nullptr;
    std::weak_ptr<FakeContext> gone = context;
    context.reset();
    ASSERT_TRUE(gone.expired());
    setWallUtc(9, 0, 0);
    clock().setWall(clock().wallNow() + std::chrono::hours(24));
    generator->doTask();
    ASSERT_TRUE(testing::waitUntil(
        [&] { return logs.contains("the context is gone, daily_first_open is dropped"); }));
}

}  // namespace
}  // namespace sorvel::autotest
