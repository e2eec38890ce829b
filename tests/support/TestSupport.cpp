#include "support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "Platform/Host.h"
#include "Platform/ProcessState.h"

namespace sorvel::testing {

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    // Back off from spinning to short yields; the work we wait for runs on
    // other threads and signals nothing we could block on here.
    int spins = 0;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) {
            return pred();
        }
        if (++spins < 100) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    return true;
}

int spawnSelf(const std::vector<std::string>& envEntries, int& outFd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<std::string> envStore = envEntries;
    for (char** e = environ; *e != nullptr; ++e) {
        envStore.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : envStore) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, exe, &actions, nullptr, argv, envp.data()) != 0) {
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

bool readUntil(int fd, std::string_view word, std::chrono::milliseconds deadline,
               std::string& out) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    char buf[256];
    while (out.find(word) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) {
            return false;
        }
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

void reportAndAwaitKill(bool ok) {
    std::fputs(ok ? "ready\n" : "failed\n", stdout);
    std::fflush(stdout);
    for (;;) {
        pause();
    }
}

bool killWhenReady(const std::string& envEntry, std::string& said) {
    int out = -1;
    const int pid = spawnSelf({envEntry}, out);
    if (pid < 0) {
        said = "could not start the child";
        return false;
    }
    const bool ready = readUntil(out, "ready", std::chrono::seconds(30), said);
    close(out);
    kill(pid, SIGKILL);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        return false;
    }
    return ready && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
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

LogCapture::LogCapture() {
    platform::host::setSystemLogSink(lines_);
}

LogCapture::~LogCapture() {
    platform::host::setSystemLogSink(nullptr);
}

void LogCapture::Lines::write(std::string_view line) {
    std::lock_guard<std::mutex> lock(mu);
    lines.emplace_back(line);
}

void LogCapture::write(std::string_view line) {
    lines_->write(line);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(lines_->mu);
    return lines_->lines;
}

bool LogCapture::contains(std::string_view needle) const {
    std::lock_guard<std::mutex> lock(lines_->mu);
    for (const auto& l : lines_->lines) {
        if (l.find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(lines_->mu);
    lines_->lines.clear();
}

namespace {
void resetProcessState() {
    platform::runResetHooks();
    platform::host::clearInfo();
    platform::host::setBundleId("com.sorvel.sample");
    platform::host::setVersions("1.0", "1");
}
}  // namespace

FreshSdk::FreshSdk(bool manualClock) {
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

FreshSdk::~FreshSdk() {
    resetProcessState();
    platform::host::setClock(nullptr);
}

}  // namespace sorvel::testing
