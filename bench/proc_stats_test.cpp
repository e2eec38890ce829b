// The figures' own instruments: what they read from /proc and the
// allocation counter, checked against threads whose activity is known.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "AllocationCount.h"
#include "ProcStats.h"

namespace sorvel::bench {
namespace {

// Called through a pointer the compiler cannot see through, so that no
// allocation is folded away.
char* (*volatile duplicate)(const char*) = strdup;

TEST(ProcStatsTest, ParsesBothSwitchCountsAndRejectsTextWithoutThem) {
    const std::string status =
        "Name:\tworker\nState:\tS (sleeping)\nThreads:\t7\n"
        "voluntary_ctxt_switches:\t1234\nnonvoluntary_ctxt_switches:\t56\n";
    EXPECT_EQ(parseSwitches(status).voluntary, 1234);
    EXPECT_EQ(parseSwitches(status).involuntary, 56);
    EXPECT_EQ(parseSwitches(status).total(), 1290);
    // "nonvoluntary_..." must not be read as the voluntary count.
    EXPECT_EQ(parseSwitches("Name:\tx\nnonvoluntary_ctxt_switches:\t5\n").voluntary, -1);
    EXPECT_FALSE(parseSwitches("Name:\tx\nnonvoluntary_ctxt_switches:\t5\n").valid());
    EXPECT_FALSE(parseSwitches("Name:\tx\nvoluntary_ctxt_switches:\t5\n").valid());
    EXPECT_FALSE(
        parseSwitches("Name:\tx\nvoluntary_ctxt_switches:\t\nnonvoluntary_ctxt_switches:\t2\n")
            .valid());
    EXPECT_FALSE(parseSwitches("").valid());
}

// A thread that names itself, then, on each step the test gives, either
// sleeps 20 times (20 voluntary switches), burns CPU, or allocates.
class Probe {
  public:
    enum class Step { none, sleep, burn, allocate, exit };

    Probe() {
        thread_ = std::thread([this] { run(); });
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return tid_ != 0; });
    }
    ~Probe() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            step_ = Step::exit;
            cv_.notify_all();
        }
        thread_.join();
    }
    pid_t tid() const { return tid_; }
    pthread_t handle() { return thread_.native_handle(); }

    // Gives the thread a step and waits for it to finish it.
    void perform(Step step) {
        std::unique_lock<std::mutex> lock(mu_);
        step_ = step;
        cv_.notify_all();
        cv_.wait_for(lock, std::chrono::seconds(30), [this] { return step_ == Step::none; });
    }

  private:
    void run() {
        pthread_setname_np(pthread_self(), "probe-thread");
        std::unique_lock<std::mutex> lock(mu_);
        tid_ = gettid();
        cv_.notify_all();
        for (;;) {
            cv_.wait(lock, [this] { return step_ != Step::none; });
            const Step step = step_;
            if (step == Step::exit) {
                return;
            }
            lock.unlock();
            if (step == Step::sleep) {
                for (int i = 0; i < 20; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            } else if (step == Step::burn) {
                const double until = threadCpuSeconds(pthread_self()) + 0.02;
                while (threadCpuSeconds(pthread_self()) < until) {
                }
            } else {
                for (int i = 0; i < 100; ++i) {
                    std::free(duplicate("allocated in the C library"));
                }
            }
            lock.lock();
            step_ = Step::none;
            cv_.notify_all();
        }
    }

    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    pid_t tid_ = 0;
    Step step_ = Step::none;
};

TEST(ProcStatsTest, SeesAnotherThreadByNameAndCountsItsSwitchesAndCpu) {
    Probe probe;
    bool listed = false;
    for (const auto& t : listThreads()) {
        if (t.tid == probe.tid()) {
            listed = true;
            EXPECT_EQ(t.name, "probe-thread");
        }
    }
    EXPECT_TRUE(listed);

    const Switches before = threadSwitches(probe.tid());
    const Usage processBefore = processUsage();
    probe.perform(Probe::Step::sleep);
    ASSERT_TRUE(before.valid());
    EXPECT_GE(threadSwitches(probe.tid()).voluntary - before.voluntary, 20);
    EXPECT_GE((processUsage() - processBefore).switches, 20);

    const double cpuBefore = threadCpuSeconds(probe.handle());
    const Usage mine = thisThreadUsage();
    probe.perform(Probe::Step::burn);
    EXPECT_GE(threadCpuSeconds(probe.handle()) - cpuBefore, 0.02);
    // The burn was the probe's: the caller only waited.
    EXPECT_LT((thisThreadUsage() - mine).cpuSeconds, 0.015);
}

TEST(AllocationCountTest, CountsEachThreadsAllocationsAcrossSharedLibraries) {
#ifdef SORVEL_BENCH_NO_COUNTING
    GTEST_SKIP() << "no counting allocator in a sanitizer build";
#endif
    ASSERT_TRUE(allocationCountingActive());
    Probe probe;
    const long mineBefore = allocationsOnThisThread();
    const long processBefore = allocationsInProcess();
    probe.perform(Probe::Step::allocate);
    EXPECT_GE(allocationsInProcess() - processBefore, 100);
    // Another thread's allocations are not the caller's.
    EXPECT_LT(allocationsOnThisThread() - mineBefore, 100);

    const long before = allocationsOnThisThread();
    for (int i = 0; i < 10; ++i) {
        std::free(duplicate("mine"));
    }
    EXPECT_EQ(allocationsOnThisThread() - before, 10);
}

}  // namespace
}  // namespace sorvel::bench
