#include "Common/KeyChain.h"

#include "Common/Constants.h"
#include "Platform/Bundle.h"
#include "Platform/ProcessState.h"

namespace sorvel {

std::string KeyChainError::description() const {
    return "KeyChainError :: status " + std::to_string(static_cast<std::int32_t>(status)) + " (" +
           platform::keychainStatusName(status) + ")";
}

bool KeyChainError::noUsableItem() const {
    return status == platform::KeychainStatus::ITEM_NOT_FOUND ||
           status == platform::KeychainStatus::DECODE;
}

std::shared_ptr<Util_keychain> Util_keychain::shared() {
    // Never destroyed: the device id may still be read on an SDK thread while
    // the process exits.
    static platform::NoDestructor<std::shared_ptr<Util_keychain>> instance(
        std::make_shared<Util_keychain>());
    return instance.get();
}

std::string Util_keychain::account() {
    return std::string(Constants::KEYCHAIN_ADID_ACCOUNT_PREFIX) + platform::Bundle::bundleId();
}

StatusOr<void, KeyChainError> Util_keychain::saveAdid(const std::string& adid) {
    const auto status = platform::Keychain::save(SERVICE, account(), adid);
    if (status != platform::KeychainStatus::SUCCESS) {
        return KeyChainError{status};
    }
    return {};
}

StatusOr<std::string, KeyChainError> Util_keychain::getAdid() {
    std::string adid;
    const auto status = platform::Keychain::read(SERVICE, account(), adid);
    if (status != platform::KeychainStatus::SUCCESS) {
        return KeyChainError{status};
    }
    return adid;
}

StatusOr<void, KeyChainError> Util_keychain::deleteAdid() {
    const auto status = platform::Keychain::remove(SERVICE, account());
    if (status != platform::KeychainStatus::SUCCESS) {
        return KeyChainError{status};
    }
    return {};
}

}  // namespace sorvel
