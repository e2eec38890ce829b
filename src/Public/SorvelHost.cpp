#include "sorvel/SorvelHost.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "Core/DiContainer.h"
#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/Reachability.h"
#include "Platform/RunLoop.h"
#include "Platform/SystemLog.h"

namespace sorvel {
namespace {

// A host call must not throw into the app: a failure (only an allocation can
// fail here) is written to the system log and the call has no effect.
template <typename F>
void hostCall(const char* name, F&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        platform::SystemLog::write(std::string("svlkv [error]: SorvelHost::") + name +
                                   " failed: " + e.what());
    } catch (...) {
        platform::SystemLog::write(std::string("svlkv [error]: SorvelHost::") + name + " failed");
    }
}

// The system takes a path up to its first NUL byte: a path holding one would
// name another file or folder than the app gave.
bool holdsNul(const char* name, const std::string& path) {
    if (path.find('\0') == std::string::npos) {
        return false;
    }
    platform::SystemLog::write(std::string("svlkv [error]: SorvelHost::") + name +
                               " :: the path holds a NUL byte; ignored");
    return true;
}

}  // namespace

void SorvelHost::setDataFolder(const std::string& path) noexcept {
    hostCall("setDataFolder", [&] {
        if (holdsNul("setDataFolder", path)) {
            return;
        }
        platform::host::setHomeFolder(path);
        // The keychain follows the data folder: "<path>-keychain".
        platform::host::setKeychainFolder("");
    });
}

void SorvelHost::setBundleId(const std::string& bundleId) noexcept {
    hostCall("setBundleId", [&] { platform::host::setBundleId(bundleId); });
}

void SorvelHost::setAppVersion(const std::string& version, const std::string& build) noexcept {
    hostCall("setAppVersion", [&] { platform::host::setVersions(version, build); });
}

void SorvelHost::setInfoValue(const std::string& key, const std::optional<Value>& value) noexcept {
    hostCall("setInfoValue", [&] { platform::host::setInfo(key, value); });
}

bool SorvelHost::loadInfoFile(const std::string& path) noexcept {
    bool loaded = false;
    hostCall("loadInfoFile", [&] {
        loaded = !holdsNul("loadInfoFile", path) && platform::host::loadBundleFromJsonFile(path);
    });
    return loaded;
}

void SorvelHost::applicationDidBecomeActive() noexcept {
    hostCall("applicationDidBecomeActive", [] { platform::host::applicationDidBecomeActive(); });
}

void SorvelHost::applicationWillResignActive() noexcept {
    hostCall("applicationWillResignActive", [] {
        platform::host::applicationWillResignActive();
        // An app may exit soon after it leaves the foreground: what it
        // recorded is on disk before this returns, or after 200 ms at most.
        DiContainer::shared().makeDurable(std::chrono::milliseconds(200));
    });
}

bool SorvelHost::applicationWillTerminate(std::chrono::milliseconds timeout) noexcept {
    bool settled = false;
    hostCall("applicationWillTerminate", [&] {
        settled =
            DiContainer::shared().settleForExit(std::max(timeout, std::chrono::milliseconds(0)));
    });
    return settled;
}

void SorvelHost::runMainLoop() noexcept {
    hostCall("runMainLoop", [] { platform::RunLoop::main().run(); });
}

void SorvelHost::stopMainLoop() noexcept {
    hostCall("stopMainLoop", [] { platform::RunLoop::main().stop(); });
}

struct SorvelHost::MainLoopThread::State {
    std::atomic<bool> ending{false};
    std::thread thread;
    platform::Mutex mu;
    platform::CondVar ended{&mu};
    bool finished GUARDED_BY(mu) = false;

    bool waitForEnd(std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        platform::MutexLock lock(mu);
        while (!finished) {
            if (!waitUntil(until)) {
                return finished;  // timed out
            }
        }
        return true;
    }

  private:
    // CondVar's annotation names its own mutex pointer; this names ours.
    bool waitUntil(std::chrono::steady_clock::time_point t)
        EXCLUSIVE_LOCKS_REQUIRED(mu) NO_THREAD_SAFETY_ANALYSIS {
        return ended.waitUntil(t);
    }
};

SorvelHost::MainLoopThread::MainLoopThread() noexcept {
    hostCall("MainLoopThread", [&] {
        auto state = std::make_shared<State>();
        // The thread shares the state: destroyed from the loop itself, the
        // object lets the thread go on to its end on its own.
        state->thread = std::thread([s = state] {
            // A stop meant for another run (an early stopMainLoop, one made
            // before this thread got to run) does not end this one.
            while (!s->ending.load()) {
                platform::RunLoop::main().run();
            }
            platform::MutexLock lock(s->mu);
            s->finished = true;
            s->ended.signalAll();
        });
        state_ = std::move(state);
    });
}

SorvelHost::MainLoopThread::~MainLoopThread() {
    if (!state_) {
        return;
    }
    state_->ending.store(true);
    if (state_->thread.get_id() == std::this_thread::get_id()) {
        // From a block on the loop itself: the loop ends once the block
        // returns; the thread cannot wait for itself.
        platform::RunLoop::main().stop();
        state_->thread.detach();
        return;
    }
    // A stop ends one run of the loop, and another thread serving it too (the
    // app's own runMainLoop) may take it: stop again until this thread ends.
    do {
        platform::RunLoop::main().stop();
    } while (!state_->waitForEnd(std::chrono::milliseconds(50)));
    state_->thread.join();
}

bool SorvelHost::runMainLoopOnce() noexcept {
    bool didWork = false;
    hostCall("runMainLoopOnce", [&] { didWork = platform::RunLoop::main().runUntilIdle(); });
    return didWork;
}

void SorvelHost::setNetworkAvailable(std::optional<bool> available) noexcept {
    hostCall("setNetworkAvailable", [&] {
        if (!available) {
            platform::host::setReachability(std::nullopt);
        } else {
            platform::host::setReachability(*available ? platform::Reachability::WIFI
                                                       : platform::Reachability::UNKNOWN);
        }
    });
}

void SorvelHost::setServerBaseUrl(const std::string& baseUrl) noexcept {
    hostCall("setServerBaseUrl", [&] {
        platform::host::clearHttpHostMappings();
        if (!baseUrl.empty()) {
            platform::host::mapHttpHost("*", baseUrl);
        }
    });
}

}  // namespace sorvel
