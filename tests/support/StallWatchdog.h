#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace sorvel::testing {

// Writes the stack of every thread of this process to standard error, one
// thread after the other: each is sent a signal whose handler writes its own
// frames, so no debugger is needed. A thread that does not answer within a
// second (ThreadSanitizer holds the signal back from a thread blocked on a
// lock) is shown with its kernel state and wait channel and the code
// addresses found on its stack.
// The frames are raw; `c++filt` demangles them, `addr2line -e <program>`
// resolves the "+0x..." offsets of a program built without exported symbols.
void dumpAllThreadStacks();

// Fails the program when the work it watches stops moving: the watched code
// calls progress() as it goes; when no call came for `limit`, the watchdog
// prints what stalled and every thread's stack, then aborts, since a
// deadlocked test can neither finish nor be failed from within.
class StallWatchdog {
  public:
    StallWatchdog(std::string what, std::chrono::milliseconds limit);
    ~StallWatchdog();
    StallWatchdog(const StallWatchdog&) = delete;
    StallWatchdog& operator=(const StallWatchdog&) = delete;

    void progress() noexcept { progress_.fetch_add(1, std::memory_order_relaxed); }

  private:
    void run();

    const std::string what_;
    const std::chrono::milliseconds limit_;
    std::atomic<std::uint64_t> progress_{0};
    std::mutex mu_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace sorvel::testing
