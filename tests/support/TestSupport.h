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
inline void PrintTo(const Value& v, std::ostream* os) { *os << v.render(); }
}  // namespace sorvel

namespace sorvel::testing {

// Waits (without sleeping for work) until pred holds or the real-time deadline
// passes; returns whether it held. Pumps nothing: use RunLoop::runUntil for
// work that needs the main run loop.
bool waitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

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
    mutable std::mutex mu_;
    std::vector<std::string> lines_;
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
