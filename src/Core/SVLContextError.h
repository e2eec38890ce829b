#pragma once

namespace sorvel {

// A malformed key given at initialisation; its description becomes the reason
// of the disabled state.
enum class SVLContextError {
    InvalidAppkeyError,
    InvalidSecretKeyError,
};

constexpr const char* describe(SVLContextError error) noexcept {
    switch (error) {
        case SVLContextError::InvalidAppkeyError:
            return "Invalid AppKey";
        case SVLContextError::InvalidSecretKeyError:
            return "Invalid SecretKey";
    }
    return "";
}

}  // namespace sorvel
