#include "Common/KeyChain.h"

#include "Common/Constants.h"
#include "Common/SdkState.h"
#include "Platform/FileSystem.h"

namespace sorvel {

std::string KeyChainError::description() const {
    return "KeyChainError :: status " + std::to_string(static_cast<std::int32_t>(status)) + " (" +
           platform::keychainStatusName(status) + ")";
}

bool KeyChainError::noUsableItem() const {
    return status == platform::KeychainStatus::ITEM_NOT_FOUND ||
           status == platform::KeychainStatus::DECODE;
}

namespace {
struct KeychainPart : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::keychain;
    const std::shared_ptr<Util_keychain> keychain = std::make_shared<Util_keychain>();
};
}  // namespace

std::shared_ptr<Util_keychain> Util_keychain::shared() {
    return SdkState::shared().part<KeychainPart>().keychain;
}

std::string Util_keychain::account() {
    // The id the keychain's folder follows too: one read cannot straddle a
    // change of the bundle id.
    return std::string(Constants::KEYCHAIN_ADID_ACCOUNT_PREFIX) + platform::bundleIdInUse();
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
