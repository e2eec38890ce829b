#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <random>
#include <thread>

#include "Common/SdkState.h"
#include "Common/SvlLog.h"
#include "Platform/Crypto.h"
#include "Platform/Host.h"
#include "Platform/ProcessState.h"

namespace sorvel::testing {

namespace {

// Every notification bumps the generation; a waiter notes it before checking
// its condition, so a change made after that check wakes it even when the
// notification comes before the waiter blocks.
struct Waiters {
    std::mutex mu;
    std::condition_variable changed;
    std::uint64_t generation = 0;
};

Waiters& waiters() {
    // Never destroyed: SDK threads may still run a test callback at exit.
    static platform::NoDestructor<Waiters> w;
    return w.get();
}

std::uint64_t generationNow() {
    auto& w = waiters();
    std::lock_guard<std::mutex> lock(w.mu);
    return w.generation;
}

}  // namespace

void notifyWaiters() noexcept {
    auto& w = waiters();
    {
        std::lock_guard<std::mutex> lock(w.mu);
        ++w.generation;
    }
    w.changed.notify_all();
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    auto& w = waiters();
    for (;;) {
        const std::uint64_t seen = generationNow();
        if (pred()) {
            return true;
        }
        std::unique_lock<std::mutex> lock(w.mu);
        if (!w.changed.wait_until(lock, end, [&] { return w.generation != seen; })) {
            // Nothing signalled since pred was false: a change made without
            // a signal counts as a fault of the test, not as success.
            return false;
        }
    }
}

bool pollUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    auto& w = waiters();
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) {
            return pred();
        }
        // A notification ends the pause early; otherwise look again in 1 ms.
        const std::uint64_t seen = generationNow();
        std::unique_lock<std::mutex> lock(w.mu);
        w.changed.wait_for(lock, std::chrono::milliseconds(1),
                           [&] { return w.generation != seen; });
    }
    return true;
}

namespace {

// Waits for the child process pid to end, blocked on the kernel's notice of
// its exit, until the real-time deadline; true (and its wait status in
// `status`) when it ended and was reaped.
bool waitForExit(int pid, std::chrono::milliseconds deadline, int& status) {
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidFd < 0) {
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + deadline;
    bool ended = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd exited{pidFd, POLLIN, 0};
        const int ready = poll(&exited, 1, static_cast<int>(std::max<long>(left.count(), 0)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        ended = ready == 1 && waitpid(pid, &status, 0) == pid;
        break;
    }
    close(pidFd);
    return ended;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

// Starts argv[0] with its standard output (and error, when asked) on a pipe
// whose reading end goes to outFd. Returns the child's pid, or -1.
pid_t spawnWithPipe(std::vector<std::string> argv, std::vector<std::string> env, bool withStderr,
                    int& outFd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (withStderr) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    }
    auto args = pointersTo(argv);
    auto envp = pointersTo(env);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    outFd = fds[0];
    return pid;
}

std::vector<std::string> environment() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    return env;
}

int remainingMillis(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

enum class Read { SOME, END, NOTHING };

// One read of what fd holds, waiting for it until `end`; NOTHING at the
// deadline, on an error or once cancelFd (when given) is readable.
Read readSome(int fd, std::chrono::steady_clock::time_point end, int cancelFd, std::string& out) {
    char buf[4096];
    for (;;) {
        pollfd ready[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        const int left = remainingMillis(end);
        const int n = left > 0 ? poll(ready, cancelFd >= 0 ? 2 : 1, left) : 0;
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || ready[1].revents != 0) {
            return Read::NOTHING;
        }
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (got <= 0) {
            return got == 0 ? Read::END : Read::NOTHING;
        }
        out.append(buf, static_cast<std::size_t>(got));
        return Read::SOME;
    }
}

std::optional<sockaddr_in> loopbackAddress(const std::string& host, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        return std::nullopt;
    }
    return addr;
}

// Starts this program again with more environment entries, reads its output
// until `word` or the deadline, then kills and reaps it; its wait status, or
// -1 when it could not be started or reaped.
int readThenKill(const std::vector<std::string>& envEntries, std::string_view word,
                 std::chrono::milliseconds deadline, std::string& said, bool& saidWord) {
    std::vector<std::string> env = envEntries;
    for (auto& e : environment()) {
        env.push_back(std::move(e));
    }
    int out = -1;
    const pid_t pid = spawnWithPipe({"/proc/self/exe"}, std::move(env), false, out);
    if (pid < 0) {
        said = "could not start the child";
        return -1;
    }
    saidWord = readUntil(out, word, deadline, said);
    close(out);
    kill(pid, SIGKILL);
    int status = 0;
    return waitpid(pid, &status, 0) == pid ? status : -1;
}

}  // namespace

std::string runSelf(const std::vector<std::string>& envEntries, std::string_view lastWord,
                    std::chrono::milliseconds deadline) {
    std::string said;
    bool saidWord = false;
    readThenKill(envEntries, lastWord, deadline, said, saidWord);
    return said;
}

bool readUntil(int fd, std::string_view word, std::chrono::milliseconds deadline, std::string& out,
               int cancelFd) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (out.find(word) == std::string::npos) {
        if (readSome(fd, end, cancelFd, out) != Read::SOME) {
            return false;
        }
    }
    return true;
}

Fd::~Fd() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = other.release();
    }
    return *this;
}

LoopbackListener::LoopbackListener(const std::string& host, int port)
    : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    auto addr = loopbackAddress(host, port);
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    socklen_t len = sizeof(sockaddr_in);
    if (!addr || !fd.valid() || !wake_.valid() ||
        bind(fd.get(), reinterpret_cast<sockaddr*>(&*addr), len) != 0 ||
        listen(fd.get(), SOMAXCONN) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&*addr), &len) != 0) {
        ADD_FAILURE() << "cannot listen on " << host << ":" << port << ": " << strerror(errno);
        return;
    }
    port_ = ntohs(addr->sin_port);
    fd_ = std::move(fd);
}

Fd LoopbackListener::accept(std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (fd_.valid()) {
        pollfd ready[2] = {{fd_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        const int left = remainingMillis(end);
        const int n = left > 0 ? poll(ready, 2, left) : 0;
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || ready[1].revents != 0) {
            break;
        }
        Fd c(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (c.valid()) {
            return c;
        }
    }
    return Fd();
}

bool LoopbackListener::readUntil(int fd, std::string_view word, std::chrono::milliseconds deadline,
                                 std::string& out) {
    return testing::readUntil(fd, word, deadline, out, wake_.get());
}

void LoopbackListener::cancel() {
    const std::uint64_t one = 1;
    (void)!write(wake_.get(), &one, sizeof one);
}

Fd connectLoopback(int port, std::chrono::milliseconds deadline, const std::string& host) {
    auto addr = loopbackAddress(host, port);
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!addr || !fd.valid()) {
        return Fd();
    }
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&*addr), sizeof(sockaddr_in)) == 0) {
        return fd;
    }
    if (errno != EINPROGRESS) {
        return Fd();
    }
    pollfd ready{fd.get(), POLLOUT, 0};
    int error = 0;
    socklen_t len = sizeof error;
    if (poll(&ready, 1, static_cast<int>(deadline.count())) != 1 ||
        getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        return Fd();
    }
    return fd;
}

bool sendAll(int fd, std::string_view data, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!data.empty()) {
        pollfd ready{fd, POLLOUT, 0};
        const int left = remainingMillis(end);
        if (left <= 0 || poll(&ready, 1, left) != 1) {
            return false;
        }
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

ProgramRun runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds deadline,
                      const std::vector<std::string>& extraEnv) {
    ProgramRun run;
    int out = -1;
    std::vector<std::string> env = extraEnv;
    for (auto& e : environment()) {
        env.push_back(std::move(e));
    }
    const pid_t pid = spawnWithPipe(argv, std::move(env), true, out);
    if (pid < 0) {
        run.output = "could not start " + argv.at(0);
        return run;
    }
    const auto end = std::chrono::steady_clock::now() + deadline;
    // Everything it writes, until it closes its end (normally by ending).
    while (readSome(out, end, -1, run.output) == Read::SOME) {
    }
    close(out);
    int status = 0;
    run.ended = waitForExit(pid, std::chrono::milliseconds(remainingMillis(end)), status);
    if (!run.ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return run;
    }
    if (WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.signal = WTERMSIG(status);
    }
    return run;
}

void reportAndAwaitKill(bool ok) {
    std::fputs(ok ? "ready\n" : "failed\n", stdout);
    std::fflush(stdout);
    for (;;) {
        pause();
    }
}

bool killWhenReady(const std::string& envEntry, std::string& said) {
    bool ready = false;
    const int status =
        readThenKill({envEntry}, "ready", scaled(std::chrono::seconds(30)), said, ready);
    return ready && status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TempDir::TempDir() {
    // mkdtemp: a unique name, made 0700, so tests running side by side (and
    // other users) never share or read one another's folders.
    std::string pattern = (std::filesystem::temp_directory_path() / "sorvel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "TempDir: can not create %s: %s\n", pattern.c_str(),
                     std::strerror(errno));
        std::abort();
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool endsWithin(std::chrono::milliseconds deadline, const std::function<void()>& f,
                const std::function<void()>& unblock) {
    auto ended = std::make_shared<std::promise<void>>();
    auto future = ended->get_future();
    std::thread thread([f, ended] {
        f();
        ended->set_value();
    });
    if (future.wait_for(deadline) == std::future_status::ready) {
        thread.join();
        return true;
    }
    unblock();
    if (future.wait_for(deadline) == std::future_status::ready) {
        thread.join();
    } else {
        thread.detach();  // stuck for good: the test fails rather than hangs
    }
    return false;
}

std::size_t threadsNamed(std::string_view name) {
    std::size_t count = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name.substr(0, 15)) {
            ++count;
        }
    }
    return count;
}

std::string currentThreadName() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

void freeFifoReader(const std::string& path) {
    const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) {
        const std::string junk(100, 'x');
        (void)!write(writer, junk.data(), junk.size());
        close(writer);
    }
}

int modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

FileModesApply::FileModesApply() {
    static_assert(sizeof(header_) == sizeof(__user_cap_header_struct));
    static_assert(sizeof(saved_) == 2 * sizeof(__user_cap_data_struct));
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::memcpy(header_, &header, sizeof header);
    __user_cap_data_struct saved[2]{};
    if (::syscall(SYS_capget, &header, saved) != 0) {
        ADD_FAILURE() << "capget: " << std::strerror(errno);
        return;
    }
    std::memcpy(saved_, saved, sizeof saved);
    __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        reduced[cap / 32].effective &= ~(1u << (cap % 32));
    }
    EXPECT_EQ(::syscall(SYS_capset, &header, reduced), 0) << std::strerror(errno);
}

FileModesApply::~FileModesApply() {
    __user_cap_header_struct header{};
    __user_cap_data_struct saved[2]{};
    std::memcpy(&header, header_, sizeof header);
    std::memcpy(saved, saved_, sizeof saved);
    ::syscall(SYS_capset, &header, saved);
}

ScopedUmask::ScopedUmask(unsigned mask) : old_(umask(static_cast<mode_t>(mask))) {}

ScopedUmask::~ScopedUmask() {
    umask(static_cast<mode_t>(old_));
}

LogCapture::LogCapture() {
    platform::host::setSystemLogSink(lines_);
}

LogCapture::~LogCapture() {
    platform::host::setSystemLogSink(nullptr);
}

void LogCapture::Lines::write(std::string_view line) {
    {
        std::lock_guard<std::mutex> lock(mu);
        lines.emplace_back(line);
    }
    notifyWaiters();
}

std::vector<std::string> LogCapture::lines() const {
    SvlLog::flush();
    std::lock_guard<std::mutex> lock(lines_->mu);
    return lines_->lines;
}

bool LogCapture::contains(std::string_view needle) const {
    SvlLog::flush();
    std::lock_guard<std::mutex> lock(lines_->mu);
    for (const auto& l : lines_->lines) {
        if (l.find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void LogCapture::clear() {
    SvlLog::flush();
    std::lock_guard<std::mutex> lock(lines_->mu);
    lines_->lines.clear();
}

void restartProcessState() {
    // The SDK first: its last work may still use the platform's state (the
    // host's URL mapping, its network setting) while it finishes.
    SdkState::replaceForTesting();
    platform::runResetHooks();
}

namespace {
void resetProcessState() {
    restartProcessState();
    platform::host::clearInfo();
    platform::host::setBundleId("com.sorvel.sample");
    platform::host::setVersions("1.0", "1");
}
}  // namespace

FreshSdk::FreshSdk(bool manualClock) {
    // Before the in-process server double can start OpenSSL with its exit
    // handler: SDK threads still at work when the test program ends must find
    // OpenSSL's state in place.
    platform::crypto::startLibrary();
    resetProcessState();
    platform::host::setHomeFolder(home_.path());
    platform::host::setKeychainFolder(keychain_.path());
    if (manualClock) {
        clock_ = std::make_shared<platform::ManualClock>();
        platform::host::setClock(clock_);
    } else {
        platform::host::setClock(nullptr);
    }
}

void FreshSdk::relaunch() {
    restartProcessState();
    platform::host::setHomeFolder(home_.path());
    platform::host::setKeychainFolder(keychain_.path());
    platform::host::setClock(clock_);
}

FreshSdk::~FreshSdk() {
    resetProcessState();
    platform::host::setClock(nullptr);
}

}  // namespace sorvel::testing

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
// The server double answers through the system's HTTP library, a shared object
// built without ThreadSanitizer: the checker cannot see the synchronisation
// inside it (its atomics and reference counts) and reports the memory it hands
// between connection threads as races. The system's crypto library is built
// the same way, and its method store and reference counts, shared by every
// thread that hashes or signs, are reported alike once the whole SDK runs.
// Calls from those libraries are not checked; everything of ours around them
// is. tests/tsan-suppressions.txt holds the same list for the sample app.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\ncalled_from_lib:libcrypto.so\n";
}
#endif
#endif
