#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Platform/Bundle.h"
#include "Platform/Clock.h"

namespace sorvel::platform::host {

// The small host-control API: tests, the sample app, the benchmarks and the
// fuzzers drive the simulated OS only through these calls.

// The app's home folder; Documents, Library/Preferences, Library/Caches and tmp
// live below it. Defaults to $SORVEL_HOME, else a folder under the system temp dir.
void setHomeFolder(const std::string& path);
std::string homeFolder();
// Folders below the home folder (created on demand).
std::string documentsFolder();
std::string preferencesFolder();
std::string cachesFolder();
std::string tempFolder();
// The keychain lives outside the app's data folder so it survives a wipe of it.
void setKeychainFolder(const std::string& path);
std::string keychainFolder();

// The clock every delayed block and timer uses (null: the system clock).
inline void setClock(std::shared_ptr<IClock> c) {
    platform::setClock(std::move(c));
}

// The app's Info keys and bundle values.
inline void setInfo(const std::string& key, const std::optional<Value>& value) {
    Bundle::setInfo(key, value);
}
inline bool loadBundleFromJsonFile(const std::string& path) {
    return Bundle::loadFromJsonFile(path);
}

}  // namespace sorvel::platform::host

namespace sorvel::platform::detail {
// Process-wide singletons that hold per-installation state register how to
// forget it; only test support calls runResetHooks() to start a fresh SDK.
void registerResetHook(std::function<void()> hook);
void runResetHooks();
}  // namespace sorvel::platform::detail
