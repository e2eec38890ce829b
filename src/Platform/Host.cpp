#include "Platform/Host.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "Platform/Mutex.h"
#include "Platform/NoDestructor.h"

namespace sorvel::platform {
namespace {

struct HostState {
    Mutex mu;
    std::string home GUARDED_BY(mu);
    std::string keychain GUARDED_BY(mu);
    std::vector<std::function<void()>> resetHooks GUARDED_BY(mu);
};

HostState& hostState() {
    // Never destroyed: threads of the SDK may still use it while the process exits.
    static detail::NoDestructor<HostState> s;
    return s.get();
}

std::string defaultHome() {
    if (const char* env = std::getenv("SORVEL_HOME"); env != nullptr && *env != '\0') {
        return env;
    }
    std::error_code ec;
    auto tmp = std::filesystem::temp_directory_path(ec);
    if (ec) {
        tmp = "/tmp";
    }
    return (tmp / "sorvelkv-home").string();
}

std::string ensureFolder(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return path;
}

}  // namespace

namespace host {

void setHomeFolder(const std::string& path) {
    MutexLock lock(hostState().mu);
    hostState().home = path;
}

std::string homeFolder() {
    auto& s = hostState();
    MutexLock lock(s.mu);
    if (s.home.empty()) {
        s.home = defaultHome();
    }
    return s.home;
}

std::string documentsFolder() {
    return ensureFolder(homeFolder() + "/Documents");
}
std::string preferencesFolder() {
    return ensureFolder(homeFolder() + "/Library/Preferences");
}
std::string cachesFolder() {
    return ensureFolder(homeFolder() + "/Library/Caches");
}
std::string tempFolder() {
    return ensureFolder(homeFolder() + "/tmp");
}

void setKeychainFolder(const std::string& path) {
    MutexLock lock(hostState().mu);
    hostState().keychain = path;
}

std::string keychainFolder() {
    std::string path;
    {
        auto& s = hostState();
        MutexLock lock(s.mu);
        if (s.keychain.empty()) {
            // Beside the home folder, not inside it: a wipe of the app's data
            // must not take the device id with it.
            s.keychain = (s.home.empty() ? defaultHome() : s.home) + "-keychain";
        }
        path = s.keychain;
    }
    return ensureFolder(path);
}

}  // namespace host

namespace detail {

void registerResetHook(std::function<void()> hook) {
    MutexLock lock(hostState().mu);
    hostState().resetHooks.push_back(std::move(hook));
}

void runResetHooks() {
    std::vector<std::function<void()>> hooks;
    {
        MutexLock lock(hostState().mu);
        hooks = hostState().resetHooks;
    }
    for (auto& h : hooks) {
        h();
    }
}

}  // namespace detail
}  // namespace sorvel::platform
