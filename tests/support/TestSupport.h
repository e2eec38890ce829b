#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
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

// The rule for every test: each blocking wait has a deadline, and a test that
// cannot finish fails with a message; it never hangs. Wait for work with
// waitUntil (or RunLoop::runUntil), for bytes with readUntil or the loopback
// helpers below, for a child process with runSelf, runProgram or
// killWhenReady.
namespace sorvel::testing {

#ifndef SORVEL_TEST_SLOWDOWN
#define SORVEL_TEST_SLOWDOWN 1
#endif
// How many times slower than a plain build this one runs (a sanitizer's
// checks multiply the work; tests/CMakeLists.txt sets it). A loop of many
// child processes does this many times fewer rounds.
inline constexpr int kSlowdown = SORVEL_TEST_SLOWDOWN;
// A deadline chosen for a plain build, stretched for this one.
constexpr std::chrono::milliseconds scaled(std::chrono::milliseconds deadline) {
    return deadline * kSlowdown;
}

// Waiting for work that runs on other threads. The work changes what the
// test will look at and then calls notifyWaiters(); the test blocks in
// waitUntil() on a condition variable that this signals. Test callbacks,
// completions and delegates call it; LogCapture calls it for every line.
void notifyWaiters() noexcept;

// Blocks until pred holds or the real-time deadline passes; returns whether it
// held. pred is checked at once and again after each notifyWaiters(), never on
// a timer, so a wait whose work does not signal fails at its deadline, even
// when pred would hold by then. pred runs without any lock of the test
// support held. Pumps nothing: use
// RunLoop::runUntil for work that needs the main run loop.
bool waitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Only for state that nothing of the test can signal: a counter the SDK
// publishes without telling anyone, a file another process writes. Re-checks
// pred every millisecond until it holds or the real-time deadline passes.
bool pollUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Starts this test program again as a child process with more environment
// entries ("NAME=value"), reads its standard output until it has printed
// `lastWord` or the real-time deadline passed, then kills and reaps it; what
// it printed. A program that is asked to act as such a child does so from a
// static initialiser, before any test or thread runs, so the child never
// inherits a half-held lock the way a fork() would.
std::string runSelf(const std::vector<std::string>& envEntries, std::string_view lastWord,
                    std::chrono::milliseconds deadline = scaled(std::chrono::seconds(30)));
// Reads fd until what was read contains `word`, the writer closes its end, the
// real-time deadline passes or cancelFd (when given) becomes readable; true
// when the word arrived.
bool readUntil(int fd, std::string_view word, std::chrono::milliseconds deadline, std::string& out,
               int cancelFd = -1);

// A file descriptor closed when destroyed.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// A TCP listener on the loopback net, for tests that must see the raw bytes a
// client sends. cancel() ends every wait on it at once, from any thread; call
// it before joining a thread that waits on the listener.
class LoopbackListener {
  public:
    // Listens on host (an address of 127.0.0.0/8) and port (0: any free one),
    // with the system's backlog.
    explicit LoopbackListener(const std::string& host = "127.0.0.1", int port = 0);
    bool listening() const { return fd_.valid(); }
    int port() const { return port_; }
    // The next connection, or an invalid Fd at the deadline or once cancelled.
    Fd accept(std::chrono::milliseconds deadline);
    // readUntil on a connection, ended early by cancel().
    bool readUntil(int fd, std::string_view word, std::chrono::milliseconds deadline,
                   std::string& out);
    void cancel();

  private:
    Fd fd_;
    Fd wake_;
    int port_ = 0;
};

// A connection to host:port made before the deadline, or an invalid Fd.
Fd connectLoopback(int port, std::chrono::milliseconds deadline,
                   const std::string& host = "127.0.0.1");
// Writes all of data before the deadline; false when it could not.
bool sendAll(int fd, std::string_view data, std::chrono::milliseconds deadline);

// What a program run by runProgram did.
struct ProgramRun {
    bool ended = false;  // false: still running at the deadline, and killed
    int exitCode = -1;   // its exit status, or -1 when it did not exit normally
    int signal = 0;      // the signal that ended it, or 0
    std::string output;  // its standard output and error, interleaved
};
// Runs a program (argv[0] is its path, or a name looked up in PATH) to its
// end, or kills it at the deadline.
// `extraEnv` ("NAME=value") comes before this program's own environment.
ProgramRun runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds deadline,
                      const std::vector<std::string>& extraEnv = {});

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

// Runs f on a thread of its own until the real-time deadline; true when it
// ended by then. Otherwise calls unblock, which must free f, and waits for f
// once more (giving it up after a second deadline), then returns false.
bool endsWithin(std::chrono::milliseconds deadline, const std::function<void()>& f,
                const std::function<void()>& unblock);
// How many threads of this process carry the name (as /proc shows it: at
// most 15 bytes), and the name of the calling thread.
std::size_t threadsNamed(std::string_view name);
std::string currentThreadName();

// Frees a reader blocked on the FIFO at path: writes it bytes that are no
// file format of ours and closes it.
void freeFifoReader(const std::string& path);

// The permission bits of what is at path (a symlink itself, not its target),
// or -1 when nothing is there.
int modeOf(const std::string& path);

// Sets the process's umask for the scope. The umask is process-wide: only a
// test in which no other thread creates files may change it.
class ScopedUmask {
  public:
    explicit ScopedUmask(unsigned mask);
    ~ScopedUmask();
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

  private:
    unsigned old_;
};

// Takes from this thread the capabilities that let root ignore file modes, so
// the kernel checks modes for it as for any user, and gives them back when
// destroyed. Capabilities belong to a thread: other threads keep theirs.
class FileModesApply {
  public:
    FileModesApply();
    ~FileModesApply();
    FileModesApply(const FileModesApply&) = delete;
    FileModesApply& operator=(const FileModesApply&) = delete;

  private:
    // A __user_cap_header_struct and two __user_cap_data_struct, as words.
    std::uint32_t header_[2] = {};
    std::uint32_t saved_[6] = {};
};

// Captures every line written to the system log while alive. The SDK hands
// its lines to the system log on a queue of its own, so every read (and
// clear) first waits until the lines logged before it have arrived: a check
// made once the SDK's work is done sees that work's lines.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
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

// Ends the SDK in this process as the end of the process would: the SDK's
// state is retired and replaced by a fresh one (Common/SdkState.h), then the
// platform's simulated OS forgets what it kept (its reset hooks). Run it only
// once the SDK's work of interest has finished, never from an SDK queue.
void restartProcessState();

// Gives the test a fresh app: a new temp home and keychain folder, the system
// clock (or a manual one), empty Info keys and every process-wide SDK state
// forgotten. Restores a fresh state again when destroyed.
class FreshSdk {
  public:
    explicit FreshSdk(bool manualClock = false);
    ~FreshSdk();
    const std::string& home() const { return home_.path(); }
    // Ends this SDK as the end of the process would and starts a fresh one
    // on the same data: every process-wide state is forgotten, while the app
    // home, the keychain, the clock and the bundle's Info keys stay. Call it
    // once the SDK's work of interest has finished.
    void relaunch();
    // Null unless constructed with manualClock.
    std::shared_ptr<platform::ManualClock> clock() const { return clock_; }

  private:
    TempDir home_;
    TempDir keychain_;
    std::shared_ptr<platform::ManualClock> clock_;
};

}  // namespace sorvel::testing
