#pragma once

#include <cstdint>
#include <string>

#include "sorvel/Export.h"
#include "sorvel/SorvelLogLevel.h"

namespace sorvel {

/// How many events trigger an upload.
enum class SorvelEventUploadCountInterval : std::int64_t {
    COUNT_10 = 10,
    COUNT_30 = 30,
    COUNT_60 = 60,
};

/// Seconds between timed uploads.
enum class SorvelEventUploadTimeInterval : std::int64_t {
    SECONDS_30 = 30,
    SECONDS_60 = 60,
    SECONDS_120 = 120,
};

/// The user's gender, sent as the number itself.
enum class SorvelGenderType : std::int64_t {
    UNKNOWN = 0,
    MALE = 1,
    FEMALE = 2,
};

/// Channel of the sign-up event. ETC is 11, not the last value.
enum class SorvelKvSignUpChannel : std::int64_t {
    KAKAO = 1,
    NAVER = 2,
    LINE = 3,
    GOOGLE = 4,
    FACEBOOK = 5,
    TWITTER = 6,
    WHATS_APP = 7,
    QQ = 8,
    WE_CHAT = 9,
    USER_ID = 10,
    ETC = 11,
    SK_TID = 12,
    APPLE_ID = 13,
};

/// Channel of the invite event.
enum class SorvelKvInviteChannel : std::int64_t {
    KAKAO = 1,
    NAVER = 2,
    LINE = 3,
    GOOGLE = 4,
    FACEBOOK = 5,
    TWITTER = 6,
    WHATS_APP = 7,
    QQ = 8,
    WE_CHAT = 9,
    ETC = 10,
};

/// Payment method of the purchase event.
enum class SorvelKvPaymentMethod : std::int64_t {
    CREDIT_CARD = 1,
    BANK_TRANSFER = 2,
    MOBILE_PAYMENT = 3,
    ETC = 4,
};

/// Channel of the share event.
enum class SorvelKvSharingChannel : std::int64_t {
    FACEBOOK = 1,
    KAKAO_TALK = 2,
    KAKAO_STORY = 3,
    LINE = 4,
    WHATS_APP = 5,
    QQ = 6,
    WE_CHAT = 7,
    SMS = 8,
    EMAIL = 9,
    COPY_URL = 10,
    ETC = 11,
};

/// Currency codes for a product's currency string.
enum class SorvelKvCurrencyType : std::int64_t {
    KRW = 1,
    USD = 2,
    JPY = 3,
    EUR = 4,
    GBP = 5,
    CNY = 6,
    TWD = 7,
    HKD = 8,
    IDR = 9,
    INR = 10,
    RUB = 11,
    THB = 12,
    VND = 13,
    MYR = 14,
};

// The event methods send these strings, never the numbers. Each integer form
// maps an undeclared number to the table's fallback (the "ETC" entry, or
// "KRW" for currencies); the enum forms do the same for a value cast from an
// undeclared number. All are pure, callable from any thread.

/// The sign-up channel's string ("ETC" for an undeclared value).
SORVEL_API std::string getSignUpChannelBySorvelKvSignUpChannel(
    SorvelKvSignUpChannel channel) noexcept;
/// The string of the sign-up channel with that number ("ETC" when undeclared).
SORVEL_API std::string getSignUpChannel(std::int64_t value) noexcept;
/// The sign-up channel with that number (ETC when undeclared).
SORVEL_API SorvelKvSignUpChannel convertSignUpChannel(std::int64_t value) noexcept;

/// Takes an invite channel; the name matches the sign-up getter's for apps already using it.
SORVEL_API std::string getInviteChannelBySorvelKvSignUpChannel(
    SorvelKvInviteChannel channel) noexcept;
/// The string of the invite channel with that number ("ETC" when undeclared).
SORVEL_API std::string getInviteChannel(std::int64_t value) noexcept;
/// The invite channel with that number (ETC when undeclared).
SORVEL_API SorvelKvInviteChannel convertInviteChannel(std::int64_t value) noexcept;

/// The payment method's string ("ETC" for an undeclared value).
SORVEL_API std::string getPaymentMethodBySorvelKvPaymentMethod(
    SorvelKvPaymentMethod method) noexcept;
/// The string of the payment method with that number ("ETC" when undeclared).
SORVEL_API std::string getPaymentMethod(std::int64_t value) noexcept;
/// The payment method with that number (ETC when undeclared).
SORVEL_API SorvelKvPaymentMethod convertPayment(std::int64_t value) noexcept;

/// The sharing channel's string ("ETC" for an undeclared value).
SORVEL_API std::string getSharingChannelBySorvelKvSharingChannel(
    SorvelKvSharingChannel channel) noexcept;
/// The string of the sharing channel with that number ("ETC" when undeclared).
SORVEL_API std::string getSharingChannel(std::int64_t value) noexcept;
/// The sharing channel with that number (ETC when undeclared).
SORVEL_API SorvelKvSharingChannel convertChannel(std::int64_t value) noexcept;

/// The currency's code ("KRW" for an undeclared value).
SORVEL_API std::string getCurrencyStringBySorvelCurrencyType(SorvelKvCurrencyType type) noexcept;
/// The code of the currency with that number ("KRW" when undeclared).
SORVEL_API std::string getCurrencyString(std::int64_t value) noexcept;

/// The count enum for 10, 30 or 60; COUNT_30 for any other number.
SORVEL_API SorvelEventUploadCountInterval convertCountInterval(std::int64_t value) noexcept;
/// The time enum for 30, 60 or 120; SECONDS_60 for any other number.
SORVEL_API SorvelEventUploadTimeInterval convertTimeInterval(std::int64_t value) noexcept;
/// The gender for 0, 1 or 2; UNKNOWN for any other number.
SORVEL_API SorvelGenderType convertGender(std::int64_t value) noexcept;

/// "none", "trace", "debug", "info", "warning", "error"; "none" for an undeclared value.
SORVEL_API const char* sorvelLogLevelName(SorvelLogLevel level) noexcept;

}  // namespace sorvel
