#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sorvel::platform {

// Status codes of the keychain calls. The numeric values are the ones the
// mobile OS's keychain reports, so a logged code means the same on both.
enum class KeychainStatus : std::int32_t {
    SUCCESS = 0,
    IO_ERROR = -36,
    PARAM = -50,
    ITEM_NOT_FOUND = -25300,
    DECODE = -26275,
};

const char* keychainStatusName(KeychainStatus status) noexcept;

// Generic-password items keyed by service and account. Each item is one file
// in keychainFolder() (FileSystem.h), outside the app's data folder so it survives a
// wipe of that folder; files are mode 0600 and replaced atomically (temp file
// + rename), so another process reading at any moment sees either the old or
// the new item, never a torn one.
class Keychain {
  public:
    // Upsert: creates the item or replaces its data.
    static KeychainStatus save(const std::string& service, const std::string& account,
                               const std::string& data) noexcept;
    // ITEM_NOT_FOUND when there is no such item; DECODE when its file is
    // corrupt; IO_ERROR when it cannot be read now (the item may well exist).
    static KeychainStatus read(const std::string& service, const std::string& account,
                               std::string& dataOut) noexcept;
    // ITEM_NOT_FOUND when there is no such item.
    static KeychainStatus remove(const std::string& service, const std::string& account) noexcept;
};

}  // namespace sorvel::platform
