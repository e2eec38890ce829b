#pragma once

#include <map>
#include <optional>
#include <string>

#include "sorvel/Value.h"

namespace sorvel::platform {

// The app's bundle: its id, versions and Info keys, given by the host.
class Bundle {
  public:
    static std::string bundleId();
    static std::string appVersion();   // CFBundleShortVersionString
    static std::string buildNumber();  // CFBundleVersion
    // A typed Info key: an integer and a string stay distinct.
    static std::optional<Value> info(const std::string& key);

    // Host control.
    static void setBundleId(const std::string& id);
    static void setVersions(const std::string& version, const std::string& build);
    static void setInfo(const std::string& key, const std::optional<Value>& value);
    static void clearInfo();
    // Loads {"bundleId": ..., "version": ..., "build": ..., "info": {...}} from a
    // JSON file; false (and nothing changed) when it cannot be read or parsed.
    static bool loadFromJsonFile(const std::string& path);
};

}  // namespace sorvel::platform
