#include "sorvel/SorvelHost.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "Base/Url.h"
#include "Core/DefaultSVLContextController.h"
#include "Core/DiContainer.h"
#include "Platform/Dispatch.h"
#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/Reachability.h"
#include "Platform/RunLoop.h"
#include "Public/FacadeInternal.h"

namespace sorvel {
namespace {

// The system takes a path up to its first NUL byte: a path holding one would
// name another file or folder than the app gave.
bool holdsNul(const char* name, const std::string& path) {
    if (path.find('\0') == std::string::npos) {
        return false;
    }
    facade::refuseCall(name, "the path holds a NUL byte; ignored");
    return true;
}

// The default data folder and the keychain's account follow the bundle id:
// once the SDK has used them, another id would give this data a second
// device id.
void refuseBundleId(const char* name, const platform::host::IgnoredBundleId& ignored) {
    facade::refuseCall(name, "the SDK already uses the bundle id \"" + ignored.inUse + "\"; \"" +
                                 ignored.named + "\" is ignored");
}

// A base the requests' paths and queries can be appended to: an absolute
// http(s) URL with a host, and no query or fragment of its own.
bool isServerBase(const std::string& url) {
    auto parts = text::parseUrl(url);
    return parts && !parts->query && !parts->fragment && text::parseHttpUrl(url).has_value();
}

}  // namespace

void SorvelHost::setDataFolder(const std::string& path) noexcept {
    facade::boundary("SorvelHost::setDataFolder", [&] {
        if (holdsNul("SorvelHost::setDataFolder", path)) {
            return;
        }
        // The keychain follows the data folder ("<path>-keychain"), both or
        // neither: once the SDK has used them, moving them would give this
        // data a second device id.
        if (auto inUse = platform::host::setDataFolder(path)) {
            facade::refuseCall("SorvelHost::setDataFolder",
                               "the SDK already uses the data folder \"" + *inUse + "\"; \"" +
                                   path + "\" is ignored");
        }
    });
}

void SorvelHost::setBundleId(const std::string& bundleId) noexcept {
    facade::boundary("SorvelHost::setBundleId", [&] {
        if (auto inUse = platform::host::setAppBundleId(bundleId)) {
            refuseBundleId("SorvelHost::setBundleId", {*inUse, bundleId});
        }
    });
}

void SorvelHost::setAppVersion(const std::string& version, const std::string& build) noexcept {
    facade::boundary("SorvelHost::setAppVersion",
                     [&] { platform::host::setVersions(version, build); });
}

void SorvelHost::setInfoValue(const std::string& key, const std::optional<Value>& value) noexcept {
    facade::boundary("SorvelHost::setInfoValue", [&] { platform::host::setInfo(key, value); });
}

bool SorvelHost::loadInfoFile(const std::string& path) noexcept {
    bool loaded = false;
    facade::boundary("SorvelHost::loadInfoFile", [&] {
        std::optional<platform::host::IgnoredBundleId> ignored;
        loaded = !holdsNul("SorvelHost::loadInfoFile", path) &&
                 platform::host::loadBundleFromJsonFile(path, &ignored);
        if (ignored) {
            refuseBundleId("SorvelHost::loadInfoFile", *ignored);
        }
    });
    return loaded;
}

void SorvelHost::applicationDidBecomeActive() noexcept {
    facade::boundary("SorvelHost::applicationDidBecomeActive",
                     [] { platform::host::applicationDidBecomeActive(); });
}

void SorvelHost::applicationWillResignActive() noexcept {
    facade::boundary("SorvelHost::applicationWillResignActive", [] {
        platform::host::applicationWillResignActive();
        // An app may exit soon after it leaves the foreground: what it
        // recorded is on disk before this returns, or after 200 ms at most.
        DiContainer::shared().makeDurable(std::chrono::milliseconds(200));
    });
}

bool SorvelHost::applicationWillTerminate(std::chrono::milliseconds timeout) noexcept {
    bool settled = false;
    facade::boundary("SorvelHost::applicationWillTerminate", [&] {
        settled =
            DiContainer::shared().settleForExit(std::max(timeout, std::chrono::milliseconds(0)));
    });
    return settled;
}

void SorvelHost::runMainLoop() noexcept {
    facade::boundary("SorvelHost::runMainLoop", [] { platform::RunLoop::main().run(); });
}

void SorvelHost::stopMainLoop() noexcept {
    facade::boundary("SorvelHost::stopMainLoop", [] { platform::RunLoop::main().stop(); });
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
    facade::boundary("SorvelHost::MainLoopThread", [&] {
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
    facade::boundary("SorvelHost::runMainLoopOnce",
                     [&] { didWork = platform::RunLoop::main().runUntilIdle(); });
    return didWork;
}

void SorvelHost::setNetworkAvailable(std::optional<bool> available) noexcept {
    facade::boundary("SorvelHost::setNetworkAvailable", [&] {
        if (!available) {
            platform::host::setReachability(std::nullopt);
        } else {
            platform::host::setReachability(*available ? platform::Reachability::WIFI
                                                       : platform::Reachability::UNKNOWN);
        }
    });
}

void SorvelHost::whenStarted(std::function<void(bool running)> handler) noexcept {
    facade::boundary("SorvelHost::whenStarted", [&] {
        if (!handler) {
            return;
        }
        auto controller = DiContainer::shared().defaultSVLContextController();
        std::weak_ptr<DefaultSVLContextController> weak = controller;
        controller->whenStarted([weak, handler = std::move(handler)] {
            auto c = weak.lock();
            const bool running =
                c && c->currentContext()->contextState() == SVLContextState::ACTIVE;
            // The app's handler runs off the controller's queue, so it may
            // call the SDK and wait for what it asked.
            platform::DispatchQueue::global().async([handler, running] {
                facade::boundary("SorvelHost::whenStarted handler", [&] { handler(running); });
            });
        });
    });
}

void SorvelHost::setServerBaseUrl(const std::string& baseUrl) noexcept {
    facade::boundary("SorvelHost::setServerBaseUrl", [&] {
        if (!baseUrl.empty() && !isServerBase(baseUrl)) {
            // Taken, every request would fail with no answer and no reason.
            facade::refuseCall("SorvelHost::setServerBaseUrl",
                               "\"" + baseUrl +
                                   "\" is not an absolute http or https URL; the previous "
                                   "base stays");
            return;
        }
        platform::host::clearHttpHostMappings();
        if (!baseUrl.empty()) {
            platform::host::mapHttpHost("*", baseUrl);
        }
    });
}

}  // namespace sorvel
