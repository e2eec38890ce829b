#include "Event/EventUploadIntervalManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "Common/SvlLog.h"
#include "Platform/Host.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

struct CountingObserver : IObserver<NoValue> {
    std::atomic<int> updates{0};
    std::atomic<bool> onMainThread{false};
    void update(const NoValue&) override {
        onMainThread = onMainThread || platform::isMainThread();
        ++updates;
    }
};

struct OwnTimer : ITimerManager {
    int stops = 0;
    void stopTimer() override { ++stops; }
};

class EventUploadIntervalManagerTest : public ::testing::Test {
  protected:
    EventUploadIntervalManagerTest() {
        platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
        SvlLog::initQaMode(nullptr);
    }
    // Advances the manual clock and pumps the main run loop until cond holds.
    bool tick(std::chrono::milliseconds by, const std::function<bool()>& cond) {
        sdk.clock()->advance(by);
        return platform::RunLoop::main().runUntil(cond, std::chrono::seconds(10));
    }

    testing::FreshSdk sdk{true};
    testing::LogCapture log;
    EventUploadIntervalManager& manager = EventUploadIntervalManager::shared();
};

TEST_F(EventUploadIntervalManagerTest, TheCountRuleDividesTheCountIntervalByTen) {
    EXPECT_EQ(manager.countInterval(), 30);
    EXPECT_EQ(manager.timeInterval(), 60.0);
    EXPECT_FALSE(manager.isTimerRunning());
    int runs = 0;
    for (int count = 0; count <= 4; ++count) {
        manager.checkCountInterval(count, [&] { ++runs; });
    }
    EXPECT_EQ(runs, 2);
    EXPECT_TRUE(manager.isTimerRunning());
    EXPECT_TRUE(log.contains("EventQueue size : 3"));
    EXPECT_TRUE(log.contains("EventQueue size : 4"));
    EXPECT_FALSE(log.contains("EventQueue size : 2"));

    manager.setCountInterval(10);
    manager.checkEventQueueSize([&] { ++runs; }, 1);
    EXPECT_EQ(runs, 3);
    // Not positive: refused, the old value stays.
    manager.setCountInterval(0);
    manager.setCountInterval(-30);
    EXPECT_EQ(manager.countInterval(), 10);
}

TEST_F(EventUploadIntervalManagerTest, OneTimerTellsEveryObserverOffTheMainThread) {
    auto a = std::make_shared<CountingObserver>();
    auto b = std::make_shared<CountingObserver>();
    manager.addObserver(a);
    manager.addObserver(b);
    manager.startTimer();
    manager.startTimer();
    ASSERT_TRUE(tick(std::chrono::seconds(60), [&] { return a->updates == 1 && b->updates == 1; }));
    EXPECT_FALSE(a->onMainThread);

    // A new period replaces the running timer; a bad one changes nothing.
    manager.setTimeInterval(120.0);
    manager.setTimeInterval(0.0);
    manager.setTimeInterval(std::nan(""));
    EXPECT_EQ(manager.timeInterval(), 120.0);
    ASSERT_TRUE(tick(std::chrono::seconds(120), [&] { return a->updates == 2; }));
    ASSERT_TRUE(tick(std::chrono::seconds(120), [&] { return a->updates == 3; }));
    EXPECT_TRUE(testing::waitUntil([&] { return b->updates == 3; }));

    // Added twice, removed once: both entries go.
    manager.addObserver(a);
    manager.removeObserver(a);
    manager.removeObserver(b);
    auto c = std::make_shared<CountingObserver>();
    manager.addObserver(c);
    // c is told in the same pass as a would have been.
    ASSERT_TRUE(tick(std::chrono::seconds(120), [&] { return c->updates == 1; }));
    EXPECT_EQ(a->updates, 3);
    EXPECT_EQ(b->updates, 3);
}

TEST_F(EventUploadIntervalManagerTest, TheTimerRegistryStopsEveryOwner) {
    auto own = std::make_shared<OwnTimer>();
    TimerManager::shared().addTimerManager(own);
    manager.startTimer();
    TimerManager::shared().stopTimer();
    EXPECT_EQ(own->stops, 1);
    EXPECT_FALSE(manager.isTimerRunning());
    // The next count check starts the upload timer again.
    manager.checkCountInterval(0, nullptr);
    EXPECT_TRUE(manager.isTimerRunning());
}

}  // namespace
}  // namespace sorvel
