#pragma once

#include <map>
#include <optional>
#include <string>

#include "sorvel/Value.h"

namespace sorvel::platform {

// The app's bundle: its id, versions and Info keys, given by the host
// (host::setBundleId, host::setInfo, host::loadBundleFromJsonFile, ...).
class Bundle {
  public:
    static std::string bundleId();
    static std::string appVersion();   // CFBundleShortVersionString
    static std::string buildNumber();  // CFBundleVersion
    // A typed Info key: an integer and a string stay distinct.
    static std::optional<Value> info(const std::string& key);
};

}  // namespace sorvel::platform
