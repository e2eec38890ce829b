#include "support/StallWatchdog.h"

#include <dirent.h>
#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace sorvel::testing {

namespace {

constexpr int kMaxFrames = 64;

// The pipe through which a signalled thread says its stack is written. Set
// once, before the first signal; the handler only reads it.
int answerPipe[2] = {-1, -1};

int dumpSignal() {
    return SIGRTMIN + 6;
}

void writeAll(const char* text, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDERR_FILENO, text, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text += n;
        size -= static_cast<std::size_t>(n);
    }
}

void writeText(const std::string& text) {
    writeAll(text.data(), text.size());
}

// Async-signal-safe once backtrace has been called outside a handler (its
// first call loads the unwinder).
void writeOwnStack() {
    void* frames[kMaxFrames];
    const int n = ::backtrace(frames, kMaxFrames);
    ::backtrace_symbols_fd(frames, n, STDERR_FILENO);
}

void onDumpSignal(int) {
    const int saved = errno;
    writeOwnStack();
    const char done = 1;
    [[maybe_unused]] const ssize_t n = ::write(answerPipe[1], &done, 1);
    errno = saved;
}

std::string firstLineOf(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The kernel's view of a thread that did not answer: its state letter and
// where it sleeps.
std::string kernelStateOf(const std::string& task) {
    const std::string stat = firstLineOf(task + "/stat");
    std::string state = "?";
    // "tid (comm) S ...": the state follows the last ')'.
    if (const auto close = stat.rfind(')'); close != std::string::npos && close + 2 < stat.size()) {
        state = stat.substr(close + 2, 1);
    }
    return "state " + state + ", waiting in " + firstLineOf(task + "/wchan");
}

// The executable mappings of the process.
std::vector<std::pair<std::uintptr_t, std::uintptr_t>> codeRanges() {
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>> ranges;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long lo = 0, hi = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &lo, &hi, perms) == 3 && perms[2] == 'x') {
            ranges.emplace_back(lo, hi);
        }
    }
    return ranges;
}

void writeFrame(std::uintptr_t address) {
    void* frame[1] = {reinterpret_cast<void*>(address)};
    ::backtrace_symbols_fd(frame, 1, STDERR_FILENO);
}

// A thread that cannot run a handler (ThreadSanitizer holds signals back from
// a thread blocked on a lock until it leaves the call) is read from outside:
// the kernel gives its stack pointer and program counter while it waits, and
// every word of its stack that points into code is a probable return address,
// printed innermost first. The stack is read through /proc/self/mem, which
// neither sanitizer checks.
void writeScannedStack(const std::string& task) {
    std::ifstream in(task + "/syscall");
    std::vector<std::string> fields;
    for (std::string field; in >> field;) {
        fields.push_back(field);
    }
    if (fields.size() < 3) {
        writeText("  (no stack pointer known)\n");
        return;
    }
    const std::uintptr_t sp = std::strtoull(fields[fields.size() - 2].c_str(), nullptr, 16);
    const std::uintptr_t pc = std::strtoull(fields.back().c_str(), nullptr, 16);
    writeText("  scanned from its stack (probable frames):\n");
    writeFrame(pc);
    const int mem = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (mem < 0) {
        return;
    }
    const auto code = codeRanges();
    std::vector<std::uintptr_t> words(512);
    int printed = 0;
    for (std::uintptr_t at = sp; printed < 48 && at < sp + 64 * 1024;) {
        const ssize_t n = ::pread(mem, words.data(), words.size() * sizeof(std::uintptr_t),
                                  static_cast<off_t>(at));
        if (n <= 0) {
            break;
        }
        const std::size_t count = static_cast<std::size_t>(n) / sizeof(std::uintptr_t);
        for (std::size_t i = 0; i < count && printed < 48; ++i) {
            const std::uintptr_t w = words[i];
            for (const auto& [lo, hi] : code) {
                if (w >= lo && w < hi) {
                    writeFrame(w);
                    ++printed;
                    break;
                }
            }
        }
        at += count * sizeof(std::uintptr_t);
    }
    ::close(mem);
}

std::vector<pid_t> threadIds() {
    std::vector<pid_t> ids;
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) {
        return ids;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (tid > 0) {
            ids.push_back(tid);
        }
    }
    ::closedir(dir);
    return ids;
}

bool prepare() {
    static const bool ready = [] {
        void* warm[1];
        ::backtrace(warm, 1);
        if (::pipe2(answerPipe, O_CLOEXEC) != 0) {
            return false;
        }
        struct sigaction action {};
        action.sa_handler = onDumpSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        return ::sigaction(dumpSignal(), &action, nullptr) == 0;
    }();
    return ready;
}

// Empties the pipe of answers that came after their wait gave up.
void drainAnswers() {
    pollfd p{answerPipe[0], POLLIN, 0};
    char sink[64];
    while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0) {
        if (::read(answerPipe[0], sink, sizeof sink) <= 0) {
            return;
        }
    }
}

}  // namespace

void dumpAllThreadStacks() {
    static std::mutex dumping;
    std::lock_guard<std::mutex> lock(dumping);
    if (!prepare()) {
        writeText("stack dump: cannot install the signal handler\n");
        return;
    }
    const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
    const std::vector<pid_t> ids = threadIds();
    writeText("==== stacks of " + std::to_string(ids.size()) + " threads ====\n");
    for (const pid_t tid : ids) {
        const std::string task = "/proc/self/task/" + std::to_string(tid);
        writeText("---- thread " + std::to_string(tid) + " (" + firstLineOf(task + "/comm") + ")" +
                  (tid == self ? ", the watchdog" : "") + "\n");
        if (tid == self) {
            writeOwnStack();
            continue;
        }
        drainAnswers();
        if (::syscall(SYS_tgkill, ::getpid(), tid, dumpSignal()) != 0) {
            writeText("  (gone)\n");
            continue;
        }
        pollfd p{answerPipe[0], POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) {
            writeText("  (no answer; " + kernelStateOf(task) + ")\n");
            writeScannedStack(task);
            continue;
        }
        char done;
        [[maybe_unused]] const ssize_t n = ::read(answerPipe[0], &done, 1);
    }
    writeText("==== end of stacks ====\n");
}

StallWatchdog::StallWatchdog(std::string what, std::chrono::milliseconds limit)
    : what_(std::move(what)), limit_(limit), thread_([this] { run(); }) {}

StallWatchdog::~StallWatchdog() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    stopped_.notify_all();
    thread_.join();
}

void StallWatchdog::run() {
    std::uint64_t seen = progress_.load(std::memory_order_relaxed);
    auto lastMove = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
        // Looks every tenth of the limit (at most every second).
        const auto step = std::min<std::chrono::milliseconds>(
            limit_ / 10 + std::chrono::milliseconds(1), std::chrono::seconds(1));
        stopped_.wait_for(lock, step, [this] { return stop_; });
        if (stop_) {
            return;
        }
        const std::uint64_t now = progress_.load(std::memory_order_relaxed);
        if (now != seen) {
            seen = now;
            lastMove = std::chrono::steady_clock::now();
            continue;
        }
        if (std::chrono::steady_clock::now() - lastMove < limit_) {
            continue;
        }
        std::ostringstream line;
        line << "FAILED: " << what_ << " made no progress for " << limit_.count()
             << " ms; every thread's stack follows\n";
        writeText(line.str());
        dumpAllThreadStacks();
        std::abort();
    }
}

}  // namespace sorvel::testing
