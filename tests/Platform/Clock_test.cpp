#include <gtest/gtest.h>

#include <atomic>

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
    EXPECT_EQ(clockPtr(), manual);
    EXPECT_TRUE(clock().isManual());

    WallTime wall0 = clock().wallNow();
    MonoTime mono0 = clock().monoNow();
    EXPECT_EQ(clock().wallNow(), wall0);  // no drift on its own
    manual->advance(1500ms);
    EXPECT_EQ(clock().wallNow() - wall0, 1500ms);
    EXPECT_EQ(clock().monoNow() - mono0, 1500ms);
    EXPECT_EQ(wallMillis(),
              std::chrono::duration_cast<Millis>(clock().wallNow().time_since_epoch()).count());

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
    queue->asyncAfter(50ms, [&] { fired++; });
    second->advance(20ms);
    auto swapped = std::chrono::steady_clock::now();
    host::setClock(nullptr);
    EXPECT_TRUE(waitUntil([&] { return fired.load() == 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - swapped, 25ms);
}

}  // namespace
}  // namespace sorvel::platform
