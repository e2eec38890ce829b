#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/SystemLog.h"
#include "sorvel/Value.h"

namespace sorvel {
// Failure messages show a Value's rendering rather than its bytes.
inline void PrintTo(const Value& v, std::ostream* os) {
    *os << v.render();
}
}  // namespace sorvel

namespace sorvel::testing {

// Waits (without sleeping for work) until pred holds or the real-time deadline
// passes; returns whether it held. Pumps nothing: use RunLoop::runUntil for
// work that needs the main run loop.
bool waitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Starts this test program again as a child process with more environment
// entries ("NAME=value"), its standard output on a pipe whose reading end goes
// to outFd. Returns the child's pid, or -1. A program that is asked to act as
// such a child does so from a static initialiser, before any test or thread
// runs, so the child never inherits a half-held lock the way a fork() would.
int spawnSelf(const std::vector<std::string>& envEntries, int& outFd);
// Reads fd until what was read contains `word`, the writer closes its end or
// the real-time deadline passes; true when the word arrived.
bool readUntil(int fd, std::string_view word, std::chrono::milliseconds deadline, std::string& out);

// The two halves of a kill -9 test. The child, started by killWhenReady with
// envEntry, does its writes and then calls reportAndAwaitKill: it prints
// "ready" (or "failed") and waits. killWhenReady returns true when the child
// said "ready" and then died of SIGKILL; `said` holds what it printed.
[[noreturn]] void reportAndAwaitKill(bool ok);
bool killWhenReady(const std::string& envEntry, std::string& said);

// A fresh temp folder, removed with everything in it when destroyed.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Captures every line written to the system log while alive.
class LogCapture : public platform::ILogSink {
  public:
    LogCapture();
    ~LogCapture() override;
    void write(std::string_view line) override;
    std::vector<std::string> lines() const;
    bool contains(std::string_view needle) const;
    void clear();

  private:
    // The installed sink. A thread of the SDK may have picked it up just
    // before the capture ends and still be writing to it, so it is shared
    // rather than owned by the capture.
    struct Lines : platform::ILogSink {
        void write(std::string_view line) override;
        mutable std::mutex mu;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
};

// Gives the test a fresh app: a new temp home and keychain folder, the system
// clock (or a manual one), empty Info keys and every process-wide SDK state
// forgotten. Restores a fresh state again when destroyed.
class FreshSdk {
  public:
    explicit FreshSdk(bool manualClock = false);
    ~FreshSdk();
    const std::string& home() const { return home_.path(); }
    // Null unless constructed with manualClock.
    std::shared_ptr<platform::ManualClock> clock() const { return clock_; }

  private:
    TempDir home_;
    TempDir keychain_;
    std::shared_ptr<platform::ManualClock> clock_;
};

}  // namespace sorvel::testing
