#include <gtest/gtest.h>

#include <chrono>

#include <mutex>

#include <condition_variable>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Core/CoreFakes.h"

namespace sorvel::coretest {
namespace {

using ::testing::ElementsAre;

// An entry "logEvent <thread>:<number>" must carry the next number of its
// thread.
void expectNextOfItsThread(const std::string& entry, std::map<int, int>& next) {
    auto name = entry.substr(entry.find("logEvent ") + 9);
    int t = std::stoi(name.substr(0, name.find(':')));
    int i = std::stoi(name.substr(name.find(':') + 1));
    EXPECT_EQ(i, next[t]) << "thread " << t << " out of order or repeated";
    next[t] = i + 1;
}

// Every event once and in its thread's order, and thread 0's resign right
// after each `every` of its events (it submitted one after event number
// every * n - 1); the number of resigns.
int expectInOrderWithResignsEvery(const std::vector<std::string>& entries, int every,
                                  std::map<int, int>& next) {
    int resigns = 0;
    for (const auto& e : entries) {
        if (e.find("willResignActive") != std::string::npos) {
            ++resigns;
            EXPECT_EQ(next[0], every * resigns) << "a state change overtook or trailed the events";
            continue;
        }
        expectNextOfItsThread(e, next);
    }
    return resigns;
}

TEST(ControllerGatingTest, MessagesBeforeInitializeRunAfterItInArrivalOrder) {
    ControllerHarness h;
    auto& c = *h.controller;
    c.logEvent(event("e1"));
    c.didBecomeActive();
    c.logEvent(event("e2"));
    c.didBecomeActive();                      // a second early activation never runs
    c.restartSDK("user", [](Completion) {});  // before INITIALIZE restart waits too
    c.logEvent(event("e3"));
    h.drain();
    EXPECT_TRUE(h.log->entries(true).empty()) << "nothing may run before INITIALIZE";

    c.initialize("k1", "k2");
    h.drain();
    EXPECT_THAT(h.log->entries(),
                ElementsAre("I1 initialize k1/k2", "A2 didBecomeActive", "A2 logEvent e1",
                            "A2 logEvent e2", "A2 restartSDK user", "A2 logEvent e3"));

    // Released: from now on every message runs as it comes.
    h.log->clear();
    c.logEvent(event("e4"));
    c.didBecomeActive();
    h.drain();
    EXPECT_THAT(h.log->entries(), ElementsAre("A2 logEvent e4", "A2 didBecomeActive"));
}

TEST(ControllerGatingTest, BetweenInitializeAndActivationOnlyRestartAndDeletePass) {
    ControllerHarness h;
    auto& c = *h.controller;
    c.initialize("k1", "k2");
    c.logEvent(event("e1"));
    c.willResignActive();
    h.drain();
    EXPECT_THAT(h.log->entries(), ElementsAre("I1 initialize k1/k2"));

    c.restartSDK("r", [](Completion) {});
    c.deleteUserDataAndStopSDK("d", [](Completion) {});
    h.drain();
    EXPECT_THAT(h.log->entries(),
                ElementsAre("I1 initialize k1/k2", "A2 restartSDK r", "A2 deleteUserData d"));

    c.didBecomeActive();
    h.drain();
    EXPECT_THAT(h.log->entries(),
                ElementsAre("I1 initialize k1/k2", "A2 restartSDK r", "A2 deleteUserData d",
                            "A2 didBecomeActive", "A2 logEvent e1", "A2 willResignActive"));
}

// Eight threads submit 1,000 events each while two of them submit INITIALIZE
// and the first activation in the middle of their runs: every event runs
// exactly once and each thread's events run in the order it submitted them.
TEST(ControllerGatingTest, ConcurrentSubmittersAroundStartUpLoseNothingAndKeepTheirOrder) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 1000;
    ControllerHarness h;
    h.script->initAnswer = InitAnswer::FromOtherThread;
    auto controller = h.controller;

    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kPerThread; ++i) {
                if (t == 0 && i == 200) {
                    controller->initialize("k1", "k2");
                }
                if (t == 1 && i == 500) {
                    controller->didBecomeActive();
                }
                controller->logEvent(event(std::to_string(t) + ":" + std::to_string(i)));
            }
        });
    }
    while (ready.load() < kThreads) {
        std::this_thread::yield();
    }
    go.store(true);
    for (auto& th : threads) {
        th.join();
    }
    ASSERT_TRUE(
        testing::waitUntil([&] { return h.log->count(" logEvent ") == kThreads * kPerThread; },
                           testing::scaled(std::chrono::seconds(10))))
        << "events run: " << h.log->count(" logEvent ");
    h.drain();

    std::map<int, int> next;
    int inits = 0;
    int activations = 0;
    for (const auto& e : h.log->entries()) {
        if (e.find(" initialize ") != std::string::npos) {
            ++inits;
            continue;
        }
        if (e.find(" didBecomeActive") != std::string::npos) {
            ++activations;
            continue;
        }
        expectNextOfItsThread(e, next);
    }
    EXPECT_EQ(inits, 1);
    EXPECT_EQ(activations, 1);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(next[t], kPerThread) << "thread " << t;
    }
}

// On the pipeline's shared thread, events wait a little to be handled
// together; a state change submitted among them keeps its place.
TEST(ControllerGatingTest, BatchedEventsKeepTheirOrderAroundStateChangesOnASharedThread) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    ControllerHarness h;
    auto pipeline = platform::DispatchQueue::makeSerial("test-pipeline");
    h.rebuild(pipeline);
    h.release();
    auto controller = h.controller;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                controller->logEvent(event(std::to_string(t) + ":" + std::to_string(i)));
                if (t == 0 && i % 100 == 99) {
                    controller->willResignActive();
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    h.drain();
    std::map<int, int> next;
    EXPECT_EQ(expectInOrderWithResignsEvery(h.log->entries(), 100, next), kPerThread / 100);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(next[t], kPerThread) << "thread " << t;
    }
}

// A caller far ahead of the controller's queue fills the mailbox with many
// more envelopes than a drain keeps: every message still runs once and in
// order, and the envelopes kept serve the next messages as before.
TEST(ControllerGatingTest, AMailboxFarAheadOfItsQueueRunsEveryMessageOnceInOrder) {
    ControllerHarness h;
    auto pipeline = platform::DispatchQueue::makeSerial("test-pipeline");
    h.rebuild(pipeline);
    h.release();
    auto controller = h.controller;
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
    auto hold = [&] {
        // The pipeline's thread is held while the messages pile up.
        pipeline->async([&] {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait_for(lock, std::chrono::seconds(10), [&] { return open; });
        });
    };
    auto letGo = [&] {
        {
            std::lock_guard<std::mutex> lock(mu);
            open = true;
        }
        cv.notify_all();
    };
    auto submit = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            controller->logEvent(event("0:" + std::to_string(i)));
            if (i % 500 == 499) {
                controller->willResignActive();
            }
        }
    };
    const int far = static_cast<int>(10 * DefaultSVLContextController::SPARE_ENVELOPES_KEPT) + 7;
    hold();
    submit(0, far);
    letGo();
    h.drain();
    submit(far, far + 100);
    h.drain();
    {
        std::lock_guard<std::mutex> lock(mu);
        open = false;
    }
    hold();
    submit(far + 100, far + 200);
    // Other threads pile up at once: envelopes made in blocks and alone, and
    // spares taken while blocks are added.
    constexpr int kOthers = 6;
    constexpr int kEach = 700;
    std::vector<std::thread> others;
    for (int t = 1; t <= kOthers; ++t) {
        others.emplace_back([&controller, t] {
            for (int i = 0; i < kEach; ++i) {
                controller->logEvent(event(std::to_string(t) + ":" + std::to_string(i)));
            }
        });
    }
    for (auto& other : others) {
        other.join();
    }
    letGo();
    h.drain();

    std::map<int, int> next;
    EXPECT_EQ(expectInOrderWithResignsEvery(h.log->entries(), 500, next), (far + 200) / 500);
    EXPECT_EQ(next[0], far + 200);
    for (int t = 1; t <= kOthers; ++t) {
        EXPECT_EQ(next[t], kEach) << "thread " << t;
    }
}

TEST(ControllerGatingTest, TriggerAndPushInsertionNeverWaitForStartUp) {
    ControllerHarness h;
    auto& c = *h.controller;
    c.triggerInAppMessage("purchase", "svl");
    // Synchronous on this thread, on the initialising state.
    EXPECT_THAT(h.log->entries(), ElementsAre("I1 triggerInAppMessage svl:purchase"));
    ASSERT_EQ(h.script->triggerThreads.size(), 1u);
    EXPECT_EQ(h.script->triggerThreads[0], std::this_thread::get_id());

    Value::Map push{{"aps", Value(Value::Map{{"alert", Value("hi")}})}};
    EXPECT_CALL(*h.repository, insertPushData(push)).Times(2);
    c.insertPushData(push);
    c.disableSDK("Sorvel All Stop");
    c.insertPushData(push);  // reaches the store while disabled too
    h.drain();
    EXPECT_EQ(h.log->count("insertPushData"), 0u) << "never routed through a context";
}

}  // namespace
}  // namespace sorvel::coretest
