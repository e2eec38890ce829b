#include "sorvel/SorvelEnums.h"

#include <array>
#include <optional>
#include <utility>

namespace sorvel {
namespace {

template <typename E>
struct Entry {
    E value;
    const char* text;
};

// Exact match only: no clamping, no nearest value.
template <typename E, std::size_t N>
std::optional<Entry<E>> find(const std::array<Entry<E>, N>& table, std::int64_t raw) {
    for (const auto& e : table) {
        if (static_cast<std::int64_t>(e.value) == raw) {
            return e;
        }
    }
    return std::nullopt;
}

template <typename E, std::size_t N>
E convert(const std::array<Entry<E>, N>& table, std::int64_t raw, E fallback) {
    auto e = find(table, raw);
    return e ? e->value : fallback;
}

template <typename E, std::size_t N>
std::string text(const std::array<Entry<E>, N>& table, std::int64_t raw, E fallback) {
    auto e = find(table, raw);
    if (!e) {
        e = find(table, static_cast<std::int64_t>(fallback));
    }
    return e ? e->text : "";
}

using SignUp = SorvelKvSignUpChannel;
constexpr std::array<Entry<SignUp>, 13> kSignUp{{
    {SignUp::KAKAO, "Kakao"},
    {SignUp::NAVER, "Naver"},
    {SignUp::LINE, "Line"},
    {SignUp::GOOGLE, "Google"},
    {SignUp::FACEBOOK, "Facebook"},
    {SignUp::TWITTER, "Twitter"},
    {SignUp::WHATS_APP, "whatsApp"},
    {SignUp::QQ, "QQ"},
    {SignUp::WE_CHAT, "WeChat"},
    {SignUp::USER_ID, "UserId"},
    {SignUp::ETC, "ETC"},
    {SignUp::SK_TID, "SkTid"},
    {SignUp::APPLE_ID, "AppleId"},
}};

using Invite = SorvelKvInviteChannel;
constexpr std::array<Entry<Invite>, 10> kInvite{{
    {Invite::KAKAO, "Kakao"},
    {Invite::NAVER, "Naver"},
    {Invite::LINE, "Line"},
    {Invite::GOOGLE, "Google"},
    {Invite::FACEBOOK, "Facebook"},
    {Invite::TWITTER, "Twitter"},
    {Invite::WHATS_APP, "whatsApp"},
    {Invite::QQ, "QQ"},
    {Invite::WE_CHAT, "WeChat"},
    {Invite::ETC, "ETC"},
}};

using Payment = SorvelKvPaymentMethod;
constexpr std::array<Entry<Payment>, 4> kPayment{{
    {Payment::CREDIT_CARD, "CreditCard"},
    {Payment::BANK_TRANSFER, "BankTransfer"},
    {Payment::MOBILE_PAYMENT, "MobilePayment"},
    {Payment::ETC, "ETC"},
}};

using Sharing = SorvelKvSharingChannel;
constexpr std::array<Entry<Sharing>, 11> kSharing{{
    {Sharing::FACEBOOK, "Facebook"},
    {Sharing::KAKAO_TALK, "KakaoTalk"},
    {Sharing::KAKAO_STORY, "KakaoStory"},
    {Sharing::LINE, "Line"},
    {Sharing::WHATS_APP, "whatsApp"},
    {Sharing::QQ, "QQ"},
    {Sharing::WE_CHAT, "WeChat"},
    {Sharing::SMS, "SMS"},
    {Sharing::EMAIL, "Email"},
    {Sharing::COPY_URL, "copyUrl"},
    {Sharing::ETC, "ETC"},
}};

using Currency = SorvelKvCurrencyType;
constexpr std::array<Entry<Currency>, 14> kCurrency{{
    {Currency::KRW, "KRW"},
    {Currency::USD, "USD"},
    {Currency::JPY, "JPY"},
    {Currency::EUR, "EUR"},
    {Currency::GBP, "GBP"},
    {Currency::CNY, "CNY"},
    {Currency::TWD, "TWD"},
    {Currency::HKD, "HKD"},
    {Currency::IDR, "IDR"},
    {Currency::INR, "INR"},
    {Currency::RUB, "RUB"},
    {Currency::THB, "THB"},
    {Currency::VND, "VND"},
    {Currency::MYR, "MYR"},
}};

using Count = SorvelEventUploadCountInterval;
constexpr std::array<Entry<Count>, 3> kCount{{
    {Count::COUNT_10, "10"},
    {Count::COUNT_30, "30"},
    {Count::COUNT_60, "60"},
}};

using Time = SorvelEventUploadTimeInterval;
constexpr std::array<Entry<Time>, 3> kTime{{
    {Time::SECONDS_30, "30"},
    {Time::SECONDS_60, "60"},
    {Time::SECONDS_120, "120"},
}};

using Gender = SorvelGenderType;
constexpr std::array<Entry<Gender>, 3> kGender{{
    {Gender::UNKNOWN, "0"},
    {Gender::MALE, "1"},
    {Gender::FEMALE, "2"},
}};

template <typename E>
std::int64_t raw(E e) {
    return static_cast<std::int64_t>(e);
}

}  // namespace

std::string getSignUpChannelBySorvelKvSignUpChannel(SorvelKvSignUpChannel channel) noexcept {
    return text(kSignUp, raw(channel), SignUp::ETC);
}
std::string getSignUpChannel(std::int64_t value) noexcept {
    return text(kSignUp, value, SignUp::ETC);
}
SorvelKvSignUpChannel convertSignUpChannel(std::int64_t value) noexcept {
    return convert(kSignUp, value, SignUp::ETC);
}

std::string getInviteChannelBySorvelKvSignUpChannel(SorvelKvInviteChannel channel) noexcept {
    return text(kInvite, raw(channel), Invite::ETC);
}
std::string getInviteChannel(std::int64_t value) noexcept {
    return text(kInvite, value, Invite::ETC);
}
SorvelKvInviteChannel convertInviteChannel(std::int64_t value) noexcept {
    return convert(kInvite, value, Invite::ETC);
}

std::string getPaymentMethodBySorvelKvPaymentMethod(SorvelKvPaymentMethod method) noexcept {
    return text(kPayment, raw(method), Payment::ETC);
}
std::string getPaymentMethod(std::int64_t value) noexcept {
    return text(kPayment, value, Payment::ETC);
}
SorvelKvPaymentMethod convertPayment(std::int64_t value) noexcept {
    return convert(kPayment, value, Payment::ETC);
}

std::string getSharingChannelBySorvelKvSharingChannel(SorvelKvSharingChannel channel) noexcept {
    return text(kSharing, raw(channel), Sharing::ETC);
}
std::string getSharingChannel(std::int64_t value) noexcept {
    return text(kSharing, value, Sharing::ETC);
}
SorvelKvSharingChannel convertChannel(std::int64_t value) noexcept {
    return convert(kSharing, value, Sharing::ETC);
}

std::string getCurrencyStringBySorvelCurrencyType(SorvelKvCurrencyType type) noexcept {
    return text(kCurrency, raw(type), Currency::KRW);
}
std::string getCurrencyString(std::int64_t value) noexcept {
    return text(kCurrency, value, Currency::KRW);
}

SorvelEventUploadCountInterval convertCountInterval(std::int64_t value) noexcept {
    return convert(kCount, value, Count::COUNT_30);
}
SorvelEventUploadTimeInterval convertTimeInterval(std::int64_t value) noexcept {
    return convert(kTime, value, Time::SECONDS_60);
}
SorvelGenderType convertGender(std::int64_t value) noexcept {
    return convert(kGender, value, Gender::UNKNOWN);
}

const char* sorvelLogLevelName(SorvelLogLevel level) noexcept {
    switch (level) {
        case SorvelLogLevel::LEVEL_NONE:
            return "none";
        case SorvelLogLevel::LEVEL_TRACE:
            return "trace";
        case SorvelLogLevel::LEVEL_DEBUG:
            return "debug";
        case SorvelLogLevel::LEVEL_INFO:
            return "info";
        case SorvelLogLevel::LEVEL_WARNING:
            return "warning";
        case SorvelLogLevel::LEVEL_ERROR:
            return "error";
    }
    return "none";
}

}  // namespace sorvel
