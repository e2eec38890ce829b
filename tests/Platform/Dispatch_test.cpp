#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <latch>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "Platform/Dispatch.h"
#include "Platform/RunLoop.h"
#include "Platform/Scheduler.h"
#include "support/TestSupport.h"

namespace sorvel::platform {
namespace {

using namespace std::chrono_literals;
using testing::FreshSdk;
using testing::waitUntil;

TEST(SerialQueueTest, RunsBlocksOneAtATimeInSubmissionOrderUnderManyProducers) {
    auto queue = DispatchQueue::makeSerial("serial.order");
    constexpr int kProducers = 8;
    constexpr int kPerProducer = 2000;
    // Touched only from the queue: a second worker or a reordering shows up here.
    std::vector<int> lastSeen(kProducers, -1);
    std::set<std::thread::id> threads;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> outOfOrder{0};
    std::atomic<int> ran{0};

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                queue->async([&, p, i] {
                    if (inside.fetch_add(1) != 0) {
                        overlaps++;
                    }
                    if (lastSeen[p] != i - 1) {
                        outOfOrder++;
                    }
                    lastSeen[p] = i;
                    threads.insert(std::this_thread::get_id());
                    inside.fetch_sub(1);
                    ran++;
                });
            }
        });
    }
    for (auto& t : producers) {
        t.join();
    }
    // sync queues behind every block submitted before it.
    queue->sync([] {});
    EXPECT_EQ(ran.load(), kProducers * kPerProducer);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(outOfOrder.load(), 0);
    EXPECT_EQ(threads.size(), 1u);
}

TEST(SerialQueueTest, SyncRunsOnTheQueueAndSeesEarlierAsyncs) {
    auto queue = DispatchQueue::makeSerial("serial.sync");
    auto other = DispatchQueue::makeSerial("serial.other");
    bool current = false;
    bool otherCurrent = true;
    std::thread::id ranOn;
    queue->sync([&] {
        current = queue->isCurrent();
        otherCurrent = other->isCurrent();
        ranOn = std::this_thread::get_id();
    });
    EXPECT_TRUE(current);
    EXPECT_FALSE(otherCurrent);
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(queue->isCurrent());

    // A sync from one serial queue onto another is fine and sees the earlier asyncs.
    int value = 0;
    queue->async([&] { value = 1; });
    other->sync([&] { queue->sync([&] { value *= 10; }); });
    EXPECT_EQ(value, 10);
}

TEST(SerialQueueTest, DestructionDrainsQueuedBlocksEvenFromItsOwnWorker) {
    std::atomic<int> ran{0};
    DispatchSemaphore gate;  // outlives the queues below
    {
        auto queue = DispatchQueue::makeSerial("serial.drain");
        queue->async([&] { gate.waitFor(10s); });
        for (int i = 0; i < 100; ++i) {
            queue->async([&] { ran++; });
        }
        gate.signal();
    }  // joins only after the queued blocks ran
    EXPECT_EQ(ran.load(), 100);

    // The last reference goes inside the queue's own block: the worker must
    // not join itself and must still run what is queued behind.
    DispatchSemaphore done;
    {
        auto queue = DispatchQueue::makeSerial("serial.self-release");
        queue->async([&gate, keep = queue] { gate.waitFor(10s); });
        queue->async([&] { done.signal(); });
        queue.reset();
        gate.signal();
    }
    EXPECT_TRUE(done.waitFor(10s));
}

// A profile or `top -H` tells the SDK's threads apart by these names.
TEST(SerialQueueTest, ThreadsCarryTheirQueuesLabel) {
    FreshSdk sdk;
    auto threadName = [] {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        return std::string(name);
    };
    auto queue = DispatchQueue::makeSerial("eventUploadQueueWithALongLabel");
    std::string onSerial;
    queue->sync([&] { onSerial = threadName(); });
    EXPECT_EQ(onSerial, "eventUploadQueu");
    std::string onGlobal;
    DispatchQueue::global().sync([&] { onGlobal = threadName(); });
    EXPECT_EQ(onGlobal, "sorvel-global");
}

TEST(SerialQueueDeathTest, SyncOntoTheCurrentQueueIsAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto queue = DispatchQueue::makeSerial("serial.reentrant");
    int ran = 0;
    // Release builds log and run the block in place instead of deadlocking.
    EXPECT_DEBUG_DEATH(queue->sync([&] { queue->sync([&] { ran++; }); }), "");
    EXPECT_DEBUG_DEATH(DispatchQueue::main().sync([&] { ran++; }), "");
}

// Queues sharing one thread: the root and two labelled queues that target it
// (one of them through the other).
TEST(TargetQueueTest, QueuesSharingAThreadKeepTheirOrderLabelsAndRunOneBlockAtATime) {
    auto root = DispatchQueue::makeSerial("serial.root");
    auto first = DispatchQueue::makeSerial("serial.first", root);
    auto second = DispatchQueue::makeSerial("serial.second", first);
    EXPECT_FALSE(first->runsOnCurrentThread());
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 2000;
    // Touched only on the shared thread.
    std::vector<int> lastSeen(2 * kProducers, -1);
    std::set<std::thread::id> threads;
    std::atomic<int> inside{0};
    std::atomic<int> problems{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 2 * kProducers; ++p) {
        auto& queue = p % 2 == 0 ? first : second;
        const std::string label = queue->label();
        producers.emplace_back([&, p, label] {
            for (int i = 0; i < kPerProducer; ++i) {
                auto block = [&, p, i, label] {
                    if (inside.fetch_add(1) != 0 || lastSeen[p] != i - 1 ||
                        DispatchQueue::currentLabel() != label || !root->runsOnCurrentThread() ||
                        !first->runsOnCurrentThread() || root->isCurrent()) {
                        problems++;
                    }
                    lastSeen[p] = i;
                    threads.insert(std::this_thread::get_id());
                    inside.fetch_sub(1);
                };
                // Some wait to be batched: the order must not change.
                if (i % 3 == 0) {
                    (p % 2 == 0 ? first : second)->asyncCoalesced(block, 2ms);
                } else {
                    (p % 2 == 0 ? first : second)->async(block);
                }
            }
        });
    }
    for (auto& t : producers) {
        t.join();
    }
    first->sync([] {});
    second->sync([] {});
    root->sync([] {});
    EXPECT_EQ(problems.load(), 0);
    for (int p = 0; p < 2 * kProducers; ++p) {
        EXPECT_EQ(lastSeen[p], kPerProducer - 1) << "producer " << p;
    }
    EXPECT_EQ(threads.size(), 1u);
    std::thread::id rootThread;
    root->sync([&] { rootThread = std::this_thread::get_id(); });
    EXPECT_EQ(*threads.begin(), rootThread);
}

// The controller queue waits for the buffer's queue (a drain, a reset) while
// both share the pipeline's thread.
TEST(TargetQueueTest, ASyncOntoAQueueSharingTheCallersThreadRunsItsWaitingBlocksInPlace) {
    auto root = DispatchQueue::makeSerial("serial.shared");
    auto caller = DispatchQueue::makeSerial("serial.caller", root);
    auto callee = DispatchQueue::makeSerial("serial.callee", root);
    std::vector<std::string> order;  // touched only on the shared thread
    caller->sync([&] {
        callee->async([&] { order.push_back("queued " + DispatchQueue::currentLabel()); });
        callee->sync([&] {
            order.push_back("sync " + DispatchQueue::currentLabel());
            // Back to the caller's own queue is still a true deadlock.
            EXPECT_FALSE(caller->isCurrent());
        });
        order.push_back("after " + DispatchQueue::currentLabel());
    });
    // The callee's drain block, still on the root, finds nothing left.
    callee->sync([&] { order.push_back("later"); });
    EXPECT_EQ(order, (std::vector<std::string>{"queued serial.callee", "sync serial.callee",
                                               "after serial.caller", "later"}));

    // From a thread of its own the caller waits for the shared thread.
    auto elsewhere = DispatchQueue::makeSerial("serial.elsewhere");
    bool ran = false;
    elsewhere->sync([&] { callee->sync([&] { ran = callee->isCurrent(); }); });
    EXPECT_TRUE(ran);
}

TEST(TargetQueueDeathTest, SyncOntoTheRunningQueueOrItsThreadIsAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto root = DispatchQueue::makeSerial("serial.root-reentrant");
    auto queue = DispatchQueue::makeSerial("serial.sub-reentrant", root);
    int ran = 0;
    EXPECT_DEBUG_DEATH(queue->sync([&] { queue->sync([&] { ran++; }); }), "");
    EXPECT_DEBUG_DEATH(queue->sync([&] { root->sync([&] { ran++; }); }), "");
    // The check the pipeline runs: work off the thread of its queue.
    EXPECT_DEBUG_DEATH(assertRunsOn(*queue, "a test's work"), "");
    queue->sync([&] { assertRunsOn(*root, "a test's work"); });
}

TEST(TargetQueueTest, AWaitForMoreBlocksEndsAtItsTimeOrWhenAnyBlockComesWithoutOne) {
    auto root = DispatchQueue::makeSerial("serial.hold");
    auto events = DispatchQueue::makeSerial("serial.events", root);
    auto other = DispatchQueue::makeSerial("serial.other-work", root);
    std::mutex mu;
    std::vector<std::string> ran;
    auto record = [&](std::string what) {
        return [&, what] {
            {
                std::lock_guard<std::mutex> lock(mu);
                ran.push_back(what);
            }
            testing::notifyWaiters();
        };
    };
    auto count = [&] {
        std::lock_guard<std::mutex> lock(mu);
        return ran.size();
    };
    // A short wait ends by itself.
    events->asyncCoalesced(record("short"), 1ms);
    ASSERT_TRUE(waitUntil([&] { return count() == 1; }));

    // A long one ends as soon as a block comes without a wait, on this queue,
    // on another sharing the thread, or as a sync; the order stays.
    events->asyncCoalesced(record("held 1"), 60s);
    events->asyncCoalesced(record("held 2"), 60s);
    other->async(record("other"));
    ASSERT_TRUE(waitUntil([&] { return count() == 4; }, 20s));
    events->asyncCoalesced(record("held 3"), 60s);
    events->async(record("plain"));
    ASSERT_TRUE(waitUntil([&] { return count() == 6; }, 20s));
    events->asyncCoalesced(record("held 4"), 60s);
    events->sync([] {});
    EXPECT_EQ(count(), 7u);
    root->asyncCoalesced(record("held on the root"), 60s);
    root->sync([] {});
    // Each queue keeps its own order; which of two queues sharing the thread
    // goes first when both have blocks is theirs to take turns on.
    std::vector<std::string> ownOrder = ran;
    const auto at = std::find(ownOrder.begin(), ownOrder.end(), "other");
    ASSERT_NE(at, ownOrder.end());
    EXPECT_LT(at - ownOrder.begin(), 4);
    ownOrder.erase(at);
    EXPECT_EQ(ownOrder, (std::vector<std::string>{"short", "held 1", "held 2", "held 3", "plain",
                                                  "held 4", "held on the root"}));
}

// An SDK keeps no thread for a queue that gets no work.
TEST(SerialQueueTest, AQueueStartsItsThreadWithItsFirstBlock) {
    auto threadsNamed = [](const std::string& name) {
        return static_cast<int>(testing::threadsNamed(name));
    };
    auto queue = DispatchQueue::makeSerial("serial.lazy");
    auto targeted = DispatchQueue::makeSerial("serial.lazy-sub", queue);
    EXPECT_EQ(threadsNamed("serial.lazy"), 0);
    targeted->sync([] {});
    EXPECT_EQ(threadsNamed("serial.lazy"), 1);
    EXPECT_EQ(threadsNamed("serial.lazy-sub"), 0);
    // Idle for a while, the thread ends; the next block starts another, and
    // the queue's order and thread checks hold on it.
    ASSERT_TRUE(testing::pollUntil([&] { return threadsNamed("serial.lazy") == 0; }));
    std::vector<int> order;
    bool onThread = false;
    for (int i = 0; i < 3; ++i) {
        targeted->async([&order, i] { order.push_back(i); });
    }
    queue->sync([&] { onThread = targeted->runsOnCurrentThread(); });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(onThread);
    EXPECT_EQ(threadsNamed("serial.lazy"), 1);
}

TEST(GlobalQueueTest, DoesNotStarveWhenEveryThreadIsBlocked) {
    constexpr int kBlocked = 64;
    // Shared: if the pool starved, the blocked threads outlive this test.
    auto gate = std::make_shared<std::latch>(1);
    auto released = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < kBlocked; ++i) {
        DispatchQueue::global().async([gate, released] {
            gate->wait();
            (*released)++;
            testing::notifyWaiters();
        });
    }
    DispatchQueue::global().async([gate] { gate->count_down(); });
    ASSERT_TRUE(waitUntil([&] { return released->load() == kBlocked; }, 20s));

    // A pool block may sync onto the pool itself: another thread runs it.
    std::thread::id outer;
    std::thread::id inner;
    bool current = false;
    DispatchQueue::global().sync([&] {
        outer = std::this_thread::get_id();
        current = DispatchQueue::global().isCurrent();
        DispatchQueue::global().sync([&] { inner = std::this_thread::get_id(); });
    });
    EXPECT_TRUE(current);
    EXPECT_NE(outer, std::this_thread::get_id());
    EXPECT_NE(inner, outer);
}

// The pool keeps no thread once its work is done: an SDK that only streams
// events has no use for it between a timer's rare notices.
TEST(GlobalQueueTest, IdleThreadsEndAndTheNextBlockStartsOne) {
    std::string ranOn;
    DispatchQueue::global().sync([&] { ranOn = testing::currentThreadName(); });
    EXPECT_EQ(ranOn, "sorvel-global");
    EXPECT_GE(testing::threadsNamed("sorvel-global"), 1u);
    ASSERT_TRUE(testing::pollUntil([] { return testing::threadsNamed("sorvel-global") == 0; }));
    std::atomic<int> ran{0};
    for (int i = 0; i < 3; ++i) {
        DispatchQueue::global().async([&ran] {
            ran++;
            testing::notifyWaiters();
        });
    }
    EXPECT_TRUE(waitUntil([&] { return ran.load() == 3; }));
}

TEST(MainQueueTest, SyncFromAWorkerWaitsForTheMainRunLoop) {
    auto worker = DispatchQueue::makeSerial("serial.to-main");
    std::atomic<bool> blockRan{false};
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> syncReturned{false};
    std::atomic<bool> returnedAfterBlock{false};
    worker->async([&] {
        EXPECT_FALSE(isMainThread());
        DispatchQueue::main().sync([&] {
            ranOnMain = isMainThread() && DispatchQueue::main().isCurrent();
            blockRan = true;
        });
        returnedAfterBlock = blockRan.load();
        syncReturned = true;
    });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return syncReturned.load(); }, 10s));
    EXPECT_TRUE(ranOnMain);
    EXPECT_TRUE(returnedAfterBlock);

    // main().async blocks are performed by the main run loop, in order.
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) {
        DispatchQueue::main().async([&order, i] { order.push_back(i); });
    }
    EXPECT_TRUE(RunLoop::main().runUntilIdle());
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(AsyncAfterTest, ManualClockFiresOnlyWhenDueInDueOrder) {
    FreshSdk sdk(/*manualClock=*/true);
    auto clock = sdk.clock();
    while (RunLoop::main().runUntilIdle()) {
    }
    auto queue = DispatchQueue::makeSerial("serial.after");
    std::vector<std::string> fired;  // touched only on the queue
    auto record = [&](std::string name) { return [&fired, name] { fired.push_back(name); }; };
    auto firedNow = [&] {
        std::vector<std::string> copy;
        queue->sync([&] { copy = fired; });
        return copy;
    };
    queue->asyncAfter(300ms, record("c"));
    queue->asyncAfter(100ms, record("a"));
    queue->asyncAfter(200ms, record("b1"));
    queue->asyncAfter(200ms, record("b2"));
    std::atomic<bool> mainFired{false};
    DispatchQueue::main().asyncAfter(150ms, [&] { mainFired = true; });

    clock->advance(99ms);
    EXPECT_TRUE(firedNow().empty());
    EXPECT_FALSE(RunLoop::main().runUntilIdle());

    clock->advance(1ms);
    EXPECT_EQ(firedNow(), (std::vector<std::string>{"a"}));

    clock->advance(1000ms);  // one jump past several due times
    EXPECT_EQ(firedNow(), (std::vector<std::string>{"a", "b1", "b2", "c"}));
    EXPECT_TRUE(RunLoop::main().runUntilIdle());
    EXPECT_TRUE(mainFired);

    // A block due after its serial queue is gone is dropped, not run on freed state.
    auto lost = std::make_shared<std::atomic<bool>>(false);
    {
        auto shortLived = DispatchQueue::makeSerial("serial.gone");
        shortLived->asyncAfter(10ms, [lost] { *lost = true; });
    }
    clock->advance(10ms);
    std::atomic<bool> globalRan{false};
    DispatchQueue::global().asyncAfter(0ms, [&] {
        globalRan = true;
        testing::notifyWaiters();
    });
    EXPECT_TRUE(waitUntil([&] { return globalRan.load(); }));
    EXPECT_FALSE(*lost);
}

// A socket the platform watches is read on the timers' thread, as the input
// comes, whatever the clock; its quiet spell is told in real time, once per
// burst; and a descriptor that closes ends its watch without taking the
// timers with it.
TEST(SchedulerTest, WatchedInputRunsOnTheTimersThreadAndItsQuietOncePerBurst) {
    FreshSdk sdk(/*manualClock=*/true);
    // Shared with the watch: should the test stop half-way, the watch keeps
    // a pipe nobody writes to.
    struct Watched {
        testing::Fd readEnd;
        testing::Fd writeEnd;
        std::mutex mu;
        std::vector<std::string> inputs;  // each input's byte, or "end"
        std::set<std::string> threads;
        int quiet = 0;
    };
    auto w = std::make_shared<Watched>();
    int fds[2] = {-1, -1};
    ASSERT_EQ(::pipe(fds), 0);
    w->readEnd = testing::Fd(fds[0]);
    w->writeEnd = testing::Fd(fds[1]);
    detail::Scheduler::instance().watchInput(
        w->readEnd.get(), 20ms,
        [w] {
            char byte = 0;
            const bool got = ::read(w->readEnd.get(), &byte, 1) == 1;
            std::lock_guard<std::mutex> lock(w->mu);
            w->inputs.push_back(got ? std::string(1, byte) : "end");
            w->threads.insert(testing::currentThreadName());
            testing::notifyWaiters();
            return got;
        },
        [w] {
            std::lock_guard<std::mutex> lock(w->mu);
            ++w->quiet;
            testing::notifyWaiters();
        });
    using Seen = std::pair<std::vector<std::string>, int>;
    auto seen = [w] {
        std::lock_guard<std::mutex> lock(w->mu);
        return Seen(w->inputs, w->quiet);
    };
    ASSERT_EQ(::write(w->writeEnd.get(), "a", 1), 1);
    ASSERT_TRUE(waitUntil([&] { return seen() == Seen({"a"}, 1); })) << seen().second;
    // Three bytes at once: three inputs, one quiet spell after them.
    ASSERT_EQ(::write(w->writeEnd.get(), "bcd", 3), 3);
    ASSERT_TRUE(waitUntil([&] { return seen() == Seen({"a", "b", "c", "d"}, 2); }));
    // The writer goes: the last input reports the end, and the watch is over.
    w->writeEnd = testing::Fd();
    ASSERT_TRUE(waitUntil([&] { return seen().first.size() == 5; }));
    // The timers still fire, and the closed pipe was not watched again.
    auto fired = std::make_shared<std::atomic<bool>>(false);
    DispatchQueue::global().asyncAfter(Millis(10), [fired] {
        *fired = true;
        testing::notifyWaiters();
    });
    sdk.clock()->advance(Millis(10));
    ASSERT_TRUE(waitUntil([&] { return fired->load(); }));
    EXPECT_EQ(seen(), Seen({"a", "b", "c", "d", "end"}, 2));
    std::lock_guard<std::mutex> lock(w->mu);
    EXPECT_EQ(w->threads, std::set<std::string>{"sorvel-timers"});
}

TEST(SemaphoreTest, CountsSignalsAndTimesOut) {
    DispatchSemaphore sem(2);
    EXPECT_TRUE(sem.waitFor(0ms));
    EXPECT_TRUE(sem.waitFor(0ms));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sem.waitFor(30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    sem.signal();
    sem.signal();
    EXPECT_TRUE(sem.waitFor(0ms));
    EXPECT_TRUE(sem.waitFor(0ms));
    EXPECT_FALSE(sem.waitFor(0ms));

    // A waiter blocks until another thread signals.
    DispatchSemaphore handshake;
    std::atomic<bool> passed{false};
    DispatchQueue::global().async([&] {
        passed = sem.waitFor(10s);
        handshake.signal();
    });
    EXPECT_FALSE(handshake.waitFor(20ms));
    EXPECT_FALSE(passed);
    sem.signal();
    EXPECT_TRUE(handshake.waitFor(10s));
    EXPECT_TRUE(passed);
}

}  // namespace
}  // namespace sorvel::platform
