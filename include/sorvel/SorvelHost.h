#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "sorvel/Export.h"
#include "sorvel/Value.h"

namespace sorvel {

// What a Linux app tells the SDK that a mobile OS would have told it: where
// the app's data lives, who the app is, when it comes to the foreground and
// leaves it, and whether the network is there. Every call is safe from any
// thread and never throws.
//
// Call the data-folder and bundle calls before the first SorvelKV call; the
// SDK reads them when it starts.
class SORVEL_API SorvelHost {
  public:
    SorvelHost() = delete;

    // The app's data folder. Everything the SDK stores lives below it (folders
    // 0700, files 0600); the device id's keychain sits beside it, in
    // "<path>-keychain", so a wipe of the folder keeps the device id. Without
    // one: $SORVEL_HOME, else $XDG_DATA_HOME/sorvelkv/<bundle id>
    // (~/.local/share/sorvelkv/<bundle id> when XDG_DATA_HOME is unset).
    static void setDataFolder(const std::string& path) noexcept;

    // The app's bundle id (default "com.sorvel.sample"), its version and build.
    static void setBundleId(const std::string& bundleId) noexcept;
    static void setAppVersion(const std::string& version, const std::string& build) noexcept;
    // One Info key, typed: the SDK reads the integer "SorvelServerMode" (1
    // development, 2 staging, anything else live), the string "FvnRegion"
    // ("ap1" or "ap2", the default) and the Boolean "SorvelQaMode". An integer
    // and a string stay distinct. Absent removes the key.
    static void setInfoValue(const std::string& key, const std::optional<Value>& value) noexcept;
    // Loads {"bundleId": ..., "version": ..., "build": ..., "info": {...}}
    // from a JSON file; false, changing nothing, when it cannot be read or
    // parsed.
    static bool loadInfoFile(const std::string& path) noexcept;

    // The app came to the foreground, or is about to leave it. Each posts the
    // application-state notification the SDK observes once initSorvel ran;
    // call them on the app's main thread, as a mobile OS would.
    static void applicationDidBecomeActive() noexcept;
    /// The app is about to leave the foreground. Posts the notification the
    /// SDK observes (it packs and stores the events it holds and starts their
    /// upload) and returns once everything recorded before the call is on
    /// disk, or after 200 ms at most (the storing then goes on behind it).
    /// Call it on the app's main thread; it logs nothing on its own.
    static void applicationWillResignActive() noexcept;

    /// The app is about to end (what a mobile OS tells an app it terminates):
    /// call it before `main` returns. It packs and stores every event the app
    /// recorded, gives their upload up to `timeout` (a negative one counts as
    /// zero) and writes the SDK's last checkpoint, so that what the server
    /// has not acknowledged is sent on the next launch. Runs on the calling
    /// thread, blocking it at most `timeout`; returns true when everything was
    /// stored and every upload ended in time, false when the time ran out
    /// (what was recorded is then still on disk, up to the record underway).
    /// Before initSorvel it does nothing and returns true.
    static bool applicationWillTerminate(std::chrono::milliseconds timeout) noexcept;

    // The SDK's main thread. Its timers (the timed upload, the daily first
    // open) fire, and its main-thread work runs, on a main run loop the app
    // serves: runMainLoop serves it on the calling thread until stopMainLoop
    // is called (from any thread); an app with a loop of its own calls
    // runMainLoopOnce from it now and then instead (it performs what is due
    // and returns at once; true when it did anything). Without either the
    // SDK still records and uploads events, but nothing timed happens.
    static void runMainLoop() noexcept;
    static void stopMainLoop() noexcept;
    static bool runMainLoopOnce() noexcept;

    // Whether the device has a network: false is "no network" (the SDK keeps
    // its events for later), true a connected one; absent goes back to the
    // machine's own routes.
    static void setNetworkAvailable(std::optional<bool> available) noexcept;

    // For testing against a local server: every request to the maker's hosts
    // goes to this base URL instead (for example "http://127.0.0.1:8080"),
    // its path and query appended. Plain http is allowed only for such a
    // request. An empty URL ends the mapping.
    static void setServerBaseUrl(const std::string& baseUrl) noexcept;
};

}  // namespace sorvel
