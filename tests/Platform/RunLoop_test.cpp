#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Platform/Dispatch.h"
#include "Platform/RunLoop.h"
#include "support/TestSupport.h"

namespace sorvel::platform {
namespace {

using namespace std::chrono_literals;
using testing::FreshSdk;

TEST(RunLoopTest, PerformsPostedBlocksUntilStoppedOrIdle) {
    RunLoop& loop = RunLoop::main();
    EXPECT_EQ(&RunLoop::current(), &loop);
    while (loop.runUntilIdle()) {
    }
    EXPECT_FALSE(loop.runUntilIdle());

    // runUntilIdle performs what was queued when it started; what those blocks
    // post waits for the next call.
    std::vector<int> order;
    loop.perform([&] {
        order.push_back(1);
        loop.perform([&] { order.push_back(3); });
    });
    loop.perform([&] { order.push_back(2); });
    EXPECT_TRUE(loop.runUntilIdle());
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(loop.runUntilIdle());
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    // runUntil sleeps until another thread posts, then returns as soon as pred holds.
    std::atomic<bool> flag{false};
    std::thread poster([&] { loop.perform([&] { flag = true; }); });
    EXPECT_TRUE(loop.runUntil([&] { return flag.load(); }, 10s));
    poster.join();
    EXPECT_FALSE(loop.runUntil([] { return false; }, 20ms));

    // run() performs blocks until another thread stops it; a watchdog stops a
    // run that the block's stop did not end, and the test fails.
    int performed = 0;
    loop.perform([&] {
        performed++;
        DispatchQueue::global().async([&] { loop.stop(); });
    });
    DispatchSemaphore ended;
    std::atomic<bool> overran{false};
    std::thread watchdog([&] {
        if (!ended.waitFor(10s)) {
            overran = true;
            loop.stop();
        }
    });
    loop.run();
    ended.signal();
    watchdog.join();
    EXPECT_FALSE(overran) << "run() went on after stop()";
    EXPECT_EQ(performed, 1);

    // A worker thread has its own run loop.
    auto worker = DispatchQueue::makeSerial("runloop.worker");
    RunLoop* workerLoop = nullptr;
    worker->sync([&] { workerLoop = &RunLoop::current(); });
    EXPECT_NE(workerLoop, &loop);
}

TEST(TimerTest, FiresPerIntervalOnTheManualClock) {
    FreshSdk sdk(/*manualClock=*/true);
    auto clock = sdk.clock();
    RunLoop& loop = RunLoop::main();
    int fires = 0;
    bool onMain = true;
    auto timer = Timer::scheduleRepeating(loop, 1000ms, [&] {
        fires++;
        onMain = onMain && isMainThread();
    });

    // The fires after the clock moved on by `by` and the loop ran.
    auto firesAfter = [&](Millis by) {
        clock->advance(by);
        loop.runUntilIdle();
        return fires;
    };
    EXPECT_EQ(firesAfter(999ms), 0);
    EXPECT_EQ(firesAfter(1ms), 1);
    EXPECT_EQ(firesAfter(1000ms), 2);
    // A jump over many intervals fires once, then keeps the original grid:
    // due at 3 s, jump to 12.5 s, next due at 13 s.
    EXPECT_EQ(firesAfter(10500ms), 3);
    EXPECT_EQ(firesAfter(499ms), 3);
    EXPECT_EQ(firesAfter(1ms), 4);
    EXPECT_TRUE(onMain);

    // Invalidated on another thread after the fire was already handed to the
    // run loop: the fire must not run.
    clock->advance(1000ms);
    std::thread([&] { timer->invalidate(); }).join();
    loop.runUntilIdle();
    EXPECT_EQ(firesAfter(5000ms), 4);
    EXPECT_FALSE(timer->isValid());
}

TEST(TimerTest, DoesNotOutliveItsRunLoop) {
    FreshSdk sdk(/*manualClock=*/true);
    std::weak_ptr<Timer> weakTimer;
    auto fires = std::make_shared<std::atomic<int>>(0);
    std::thread([&] {
        weakTimer = Timer::scheduleRepeating(RunLoop::current(), 100ms, [fires] { (*fires)++; });
    }).join();                          // the thread's run loop goes with it
    ASSERT_FALSE(weakTimer.expired());  // the scheduler keeps an unvalidated timer
    sdk.clock()->advance(100ms);
    EXPECT_TRUE(weakTimer.expired());  // ...until its run loop is found gone
    EXPECT_EQ(fires->load(), 0);
}

}  // namespace
}  // namespace sorvel::platform
