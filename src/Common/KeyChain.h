#pragma once

#include <memory>
#include <string>

#include "Base/Status.h"
#include "Platform/Keychain.h"

namespace sorvel {

// Why a keychain operation failed: the platform status (never SUCCESS).
struct KeyChainError {
    platform::KeychainStatus status;
    std::string description() const;
    // True when there is no usable item: none at all, or one that cannot be
    // decoded. Anything else (an I/O error) leaves open what is stored.
    bool noUsableItem() const;
};

// The store of the device id.
class KeyChain {
  public:
    virtual ~KeyChain() = default;
    virtual StatusOr<void, KeyChainError> saveAdid(const std::string& adid) = 0;
    // Fails with ITEM_NOT_FOUND, DECODE, or IO_ERROR when the item cannot be
    // read now.
    virtual StatusOr<std::string, KeyChainError> getAdid() = 0;
    // A missing item is a failure too (ITEM_NOT_FOUND).
    virtual StatusOr<void, KeyChainError> deleteAdid() = 0;
};

// The device id as one generic-password item of the platform keychain:
// service SERVICE, account "sorvel_adid_key_" + the bundle id (read at each
// call). Process-wide; safe from any thread.
class Util_keychain final : public KeyChain {
  public:
    static constexpr const char* SERVICE = "SorvelKV";

    static std::shared_ptr<Util_keychain> shared();

    StatusOr<void, KeyChainError> saveAdid(const std::string& adid) override;
    StatusOr<std::string, KeyChainError> getAdid() override;
    StatusOr<void, KeyChainError> deleteAdid() override;

    static std::string account();
};

}  // namespace sorvel
