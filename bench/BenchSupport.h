#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "Platform/Host.h"

namespace sorvel::bench {

// A throw-away app home, so the benchmark's registry writes land in a temp folder.
struct TempHome {
    std::string path;
    TempHome() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "sorvel-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path = pattern;
            platform::host::setHomeFolder(path);
            platform::host::setKeychainFolder(path + "/keychain");
        }
    }
    ~TempHome() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;
};

}  // namespace sorvel::bench
