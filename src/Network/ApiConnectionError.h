#pragma once

namespace sorvel {

// Errors of the connection layer; each describes itself with a fixed text.
enum class ApiConnectionError {
    NoAppKeyError,
    NilResponseError,
    ApiConnectionFailError,
    // No method, no URL or one that forms no URL, or no body for POST/DELETE.
    InvalidRequestError,
    // No stored secret key to sign with.
    NoSecretKeyError,
    // The per-request signing key could not be derived.
    AuthKeyError,
};

constexpr const char* describe(ApiConnectionError error) noexcept {
    switch (error) {
        case ApiConnectionError::NoAppKeyError:
            return "ApiConnectionError :: No appKey in dataRegistry";
        case ApiConnectionError::NilResponseError:
            return "ApiConnectionError :: Response is nil";
        case ApiConnectionError::ApiConnectionFailError:
            return "ApiConnectionError :: SDK Received fail responseCode";
        case ApiConnectionError::InvalidRequestError:
            return "ApiConnectionError :: Request can not be formed";
        case ApiConnectionError::NoSecretKeyError:
            return "ApiConnectionError :: No secretKey in dataRegistry";
        case ApiConnectionError::AuthKeyError:
            return "ApiConnectionError :: Can not make auth key";
    }
    return "ApiConnectionError :: Unknown";
}

}  // namespace sorvel
