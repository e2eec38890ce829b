#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sorvel/ActionHistoryModel.h"
#include "sorvel/ActionHistoryResult.h"
#include "sorvel/Completion.h"
#include "sorvel/Export.h"
#include "sorvel/SorvelEnums.h"
#include "sorvel/SorvelKVDelegates.h"
#include "sorvel/SorvelKVLogDelegate.h"
#include "sorvel/SorvelKvAttrModel.h"
#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/SorvelNotifications.h"
#include "sorvel/SvlRemotePushModel.h"

/// Everything public of the SDK: the facade SorvelKV, the host calls
/// SorvelHost, and the values and delegates they take.
namespace sorvel {

/// Why a local notification was not scheduled: the SDK's refusal (pushError
/// set) or the notification centre's (pushError absent).
struct SORVEL_API LocalPushError {
    /// The SDK's reason (disabled, push switch off, permission denied, a bad
    /// date); absent when the notification centre refused the request.
    std::optional<SvlRemotePushError> pushError;
    /// The error's (localized) description.
    std::string description;
};
/// Told whether a local notification was scheduled: (success, the error on
/// failure, the request's identifier).
using LocalPushCompletionHandler = std::function<void(
    bool success, const std::optional<LocalPushError>& error, const std::string& identifier)>;

/// Receives the outcome of a delete-user-data or restart request: SUCCESS or
/// FAILURE, once, on a thread of the SDK.
using SorvelCompletionHandler = std::function<void(Completion)>;

/// The one object through which an app reaches the SDK.
///
/// \code
///     sorvel::SorvelHost::setDataFolder(...);            // see SorvelHost.h
///     auto& sdk = sorvel::SorvelKV::getInstance();
///     sdk.initSorvel(appKey, secretKey);                 // 22 characters each
///     sorvel::SorvelHost::applicationDidBecomeActive();
///     sorvel::SorvelHost::whenStarted([&sdk](bool running) {
///         if (running) sdk.event("level_started");       // may show an in-app message
///     });
/// \endcode
///
/// Every call may be made from any thread, never throws and never waits for
/// the network or the disk: it checks its arguments and hands the request to
/// the SDK's own queue. Calls made before initSorvel are held until the SDK has
/// started and the app has first become active; SorvelHost::whenStarted tells
/// the app when that is. While the SDK is disabled (the
/// user asked to be forgotten, the server paused or stopped the app, or the
/// user's data was deleted) the calls that act on the SDK do nothing but log
/// "Sorvel Disabled : true"; the delegate setters, the conversions, the
/// life-cycle calls, initSorvel, setDeviceId and printSdkState always work.
///
/// Every log line of the SDK is either meant for quality assurance only (what
/// the SDK does, the calls it refuses or ignores) or not (what the developer
/// must fix or know of: a key of the wrong length, a store that cannot be
/// written, data that was lost). Where a line goes, one rule for all of them:
///  - quality-assurance mode (the Boolean Info key "SorvelQaMode" set true):
///    every line, at every level, to stderr; the log delegate gets nothing;
///  - otherwise a log delegate, when one is set (setLogDelegate), gets every
///    line at every level, and the warnings and errors that are not meant for
///    quality assurance also go to stderr, delegate or not. A shipped app
///    that runs as it should leaves stderr empty.
///
/// On stderr a line reads "svlkv [\<level\>]: \<text\>", in pieces of 1000
/// characters.
///
/// Bad input never throws and never stops the SDK: a call with an argument it
/// cannot take is dropped with a line for quality assurance naming the call
/// and the reason, and nothing already recorded is lost. An event whose
/// attributes nest more than 100 levels deep, or that comes to more than
/// about 1 MB, is dropped so ("... nested deeper than 100 levels", "... more
/// than 1048576 ..."); ill-formed UTF-8 in a name or value is repaired
/// (U+FFFD), with such a line too. Event names are not checked otherwise: the
/// empty name, or one with any characters (spaces, quotes, NUL bytes), is sent
/// as given.
class SORVEL_API SorvelKV {
    struct PassKey {
        explicit PassKey() = default;
    };

  public:
    /// The single instance, built on first use (thread-safe, any thread) and
    /// never destroyed.
    static SorvelKV& getInstance() noexcept;
    /// The same instance as getInstance().
    static SorvelKV& sharedInstance() noexcept;

    /// Built by getInstance() only (the pass key is private).
    explicit SorvelKV(PassKey);
    /// Never runs: the instance lives as long as the process.
    ~SorvelKV();
    SorvelKV(const SorvelKV&) = delete;
    SorvelKV& operator=(const SorvelKV&) = delete;

    // ---- Start-up and life cycle ------------------------------------------

    /// Starts the SDK with the app's keys (each exactly 22 characters). A key
    /// of another length disables the SDK with the error line
    /// "AppKey가 길이 22의 문자열이 아닙니다." (the app key) or
    /// "SecretKey가 길이 22의 문자열이 아닙니다." (the secret key), which
    /// reads "the key is not a text of length 22"; it shows on stderr as
    /// "svlkv [error]: " followed by that text in every mode.
    /// SorvelHost::whenStarted tells when the start is over. Reads the Info keys
    /// "SorvelServerMode" (integer: 1 development, 2 staging, anything else
    /// live) and "FvnRegion" (string: "ap1", or "ap2" the default) to choose the
    /// servers, and from now on follows the application-state notifications the
    /// host posts (SorvelHost::applicationDidBecomeActive, ...). A second call
    /// registers nothing again; the running SDK refuses it with a warning.
    void initSorvel(const std::string& appKey, const std::string& secretKey) noexcept;
    /// What SorvelHost::applicationDidBecomeActive leads to (an app may call it
    /// itself): an app back within 60 s of leaving the foreground goes on
    /// with its current use; later, the SDK records "end_session" for the
    /// earlier use and "start_session" for a new one. Logs the QA-only line
    /// "become active".
    void didBecomeActive() noexcept;
    /// What SorvelHost::applicationWillResignActive leads to (an app may call it
    /// itself): stores the time the app left, which "end_session" reports
    /// when the app does not come back within 60 s (that event goes out when
    /// the app next becomes active), and sends what is recorded. Logs the
    /// QA-only line "will resign Active".
    void willResignActive() noexcept;

    // ---- Settings and diagnostics -----------------------------------------

    /// The advertising identifier is not read until startGettingIDFA is called.
    void stopGettingIDFA() noexcept;
    /// Lets the SDK read the advertising identifier again (see stopGettingIDFA).
    void startGettingIDFA() noexcept;
    /// Stores the device id the SDK reports, unchanged (an empty one too).
    void setDeviceId(const std::string& deviceId) noexcept;
    /// Logs one line naming the delete/restart state ("SDK STOPPED STATE :: ...").
    void printSdkState() noexcept;

    // ---- Delegates ----------------------------------------------------------
    // Each setter replaces the delegate (null clears it); each getter returns
    // the one set now. Setting and reading is safe from any thread, also while
    // the SDK calls a delegate: a callback in progress finishes with the
    // delegate it had.

    /// Sets the delegate that receives the SDK's log lines, every level (on the
    /// SDK's logging queue, one line at a time), the lines meant for quality
    /// assurance too; stderr shows what it shows without a delegate. In
    /// quality-assurance mode every line goes to stderr and the delegate gets
    /// none. Null clears it.
    void setLogDelegate(std::shared_ptr<SorvelKVLogDelegate> delegate) noexcept;
    /// The log delegate set now, or null.
    std::shared_ptr<SorvelKVLogDelegate> getLogDelegate() const noexcept;
    /// Sets the delegate told of each deeplink the app was opened with (on the
    /// thread that reports the deeplink); null clears it.
    void setDeeplinkDelegate(std::shared_ptr<SorvelKVDeeplinkDelegate> delegate) noexcept;
    /// The deeplink delegate set now, or null.
    std::shared_ptr<SorvelKVDeeplinkDelegate> getDeeplinkDelegate() const noexcept;
    /// Sets the delegate told of the deferred deeplink the server found for the
    /// first open (on the thread that received the answer); null clears it.
    void setDeferredDeeplinkDelegate(
        std::shared_ptr<SorvelKVDeferredDeeplinkDelegate> delegate) noexcept;
    /// The deferred-deeplink delegate set now, or null.
    std::shared_ptr<SorvelKVDeferredDeeplinkDelegate> getDeferredDeeplinkDelegate() const noexcept;
    /// Sets the delegate told of taps on in-app message buttons; null clears it.
    void setInAppMessageClickDelegate(
        std::shared_ptr<SorvelKVInAppMessageClickDelegate> delegate) noexcept;
    /// The in-app message click delegate set now, or null.
    std::shared_ptr<SorvelKVInAppMessageClickDelegate> getInAppMessageClickDelegate()
        const noexcept;
    /// Sets the delegate told of local notifications; null clears it.
    void setSorvelKvPushLocalDelegate(std::shared_ptr<SorvelKvPushLocalDelegate> delegate) noexcept;
    /// The local-notification delegate set now, or null.
    std::shared_ptr<SorvelKvPushLocalDelegate> getSorvelKvPushLocalDelegate() const noexcept;
    /// Sets the delegate told of remote pushes; null clears it.
    void setSorvelKvPushRemoteDelegate(
        std::shared_ptr<SorvelKvPushRemoteDelegate> delegate) noexcept;
    /// The remote-push delegate set now, or null.
    std::shared_ptr<SorvelKvPushRemoteDelegate> getSorvelKvPushRemoteDelegate() const noexcept;

    // ---- Push (SorvelKVPush.cpp) ---------------------------------------------

    /// Stores the device's push token as lower-case hex text and, when it
    /// changed, sends "set_push". A token over 4096 bytes is refused with a
    /// warning. Runs on the calling thread (the store is written on its own
    /// queue); nothing while the SDK is disabled.
    void setRegistrationId(const std::vector<std::uint8_t>& deviceToken) noexcept;
    /// The same with the token already as text, stored as given (at most 8192
    /// bytes).
    void setRegistrationIdForUnity(const std::string& deviceToken) noexcept;
    /// The app's own push switch; a change is stored and sends "set_push".
    /// Local notifications, payload parsing and rich push need it on, and the
    /// OS permission granted.
    void setPushEnable(bool toPushEnable) noexcept;

    /// Schedules a one-shot local notification for the date (cut to the whole
    /// second, in the device's time zone) under a new upper-case UUID. Returns
    /// at once: the content is built on the global queue (an image URL, http,
    /// https or a file, is read there: at most 10 MB within 60 s; a failure
    /// only leaves the image out), and the completion runs on the notification
    /// centre's queue. An absent sound means the default sound. Refused, with
    /// the completion called with false and SvlRemotePushError SorvelDisabled
    /// or PushDisable after the log line, while the SDK is disabled or the
    /// push switch or OS permission is off; a date more than a second past or
    /// naming no date is refused by the centre the same way.
    void registerLocalPushNotification(
        std::chrono::system_clock::time_point date, const std::string& title,
        const std::optional<std::string>& subtitle, const std::string& body,
        const std::optional<NotificationSound>& sound, const std::optional<std::string>& categoryId,
        const std::optional<std::string>& threadId, const std::optional<std::int64_t>& badgeNumber,
        const std::optional<std::string>& image, const std::optional<Value::Map>& attrDic,
        LocalPushCompletionHandler completionHandler) noexcept;
    /// The same under the app's own identifier (a pending request with it is
    /// replaced).
    void registerLocalPushNotification(
        const std::string& id, std::chrono::system_clock::time_point date, const std::string& title,
        const std::optional<std::string>& subtitle, const std::string& body,
        const std::optional<NotificationSound>& sound, const std::optional<std::string>& categoryId,
        const std::optional<std::string>& threadId, const std::optional<std::int64_t>& badgeNumber,
        const std::optional<std::string>& image, const std::optional<Value::Map>& attrDic,
        LocalPushCompletionHandler completionHandler) noexcept;
    /// The identifiers of every pending notification of the app, in the
    /// order they were scheduled; the handler runs on the centre's queue (not
    /// at all while the SDK is disabled).
    void getRegisteredLocalPushNotification(
        std::function<void(const std::vector<std::string>& ids)> completeHandler) noexcept;
    /// Removes these pending notifications (unknown ids are ignored).
    void cancelLocalPushNotification(const std::vector<std::string>& ids) noexcept;
    /// Removes every pending notification of the app.
    void cancelLocalPushNotificationAll() noexcept;

    /// Hand every notification response here (SorvelHost::
    /// setNotificationResponseHandler does it for you). A tap on a local
    /// notification of the SDK calls the local-push delegate; a tap on a
    /// remote one calls the remote-push delegate and counts "open_push" (or
    /// leaves it for the next session start when no session runs or the last
    /// ended 60 s or more ago). Delegates run on the calling thread.
    void userNotificationCenter(const NotificationResponse& response) noexcept;
    /// Parses a notification's user info; nothing is logged or tracked.
    /// Absent with the reason in error: SorvelDisabled, PushDisable (push
    /// switch or OS permission off), NoSvlPushData or NoSvlTrackingParam.
    /// Runs on the calling thread without waiting on the disk or network.
    std::optional<SvlRemotePushModel> parsePushData(const Value::Map& userInfo,
                                                    SvlRemotePushError& error) noexcept;
    /// The same, for callers that do not need the reason.
    std::optional<SvlRemotePushModel> parsePushData(const Value::Map& userInfo) noexcept;
    /// Reports the open of a parsed push as a tap does (the remote-push
    /// delegate gets an empty map). Does not check the push switches.
    void openPush(const SvlRemotePushModel& model) noexcept;
    /// Forwards the extension's receive to SorvelMultiPushProviderController
    /// (see SorvelPushService.h): it checks the push switches on the calling
    /// thread and decorates on the main queue, where the handler runs.
    void didReceiveSvlPush(const NotificationRequest& request,
                           NotificationContentHandler contentHandler) noexcept;
    /// Forwards the extension's time-out to the controller: the latest
    /// notification's best attempt is delivered now, once.
    void svlPushServiceExtensionTimeWillExpire() noexcept;

    // ---- Custom events ----------------------------------------------------
    // The app's own events, in the group "custom"; attributes are sent in
    // typed form ("string:abc", "long:3", "double:1.5", "boolean:true").

    /// Records the custom event eventName (no attributes) and sends it with the
    /// next upload. The name is sent as given, the empty name too (only
    /// ill-formed UTF-8 is repaired, with a warning).
    void event(const std::string& eventName) noexcept;
    /// Records the custom event eventName with the model's attributes. An event
    /// too deep or too large is dropped with a warning naming it and the reason.
    void eventWithAttr(const std::string& eventName, const SorvelKvAttrModel& value) noexcept;
    /// The same as eventWithAttr.
    void eventForUnityWithAttr(const std::string& eventName,
                               const SorvelKvAttrModel& value) noexcept;

    // ---- User identity and properties -------------------------------------

    /// Stores the user id and sends "login" (and "user_property_changed" when
    /// the id differs from the stored one).
    void login(const std::string& userId) noexcept;
    /// Clears the user's properties and the local message history; sends "logout".
    void logout() noexcept;
    /// Stores the user's age as the property "svl:age"; sends
    /// "user_property_changed" when it changed.
    void setAge(std::int64_t age) noexcept;
    /// An undeclared value (an integer cast to the enum) is ignored with a warning.
    void setGender(SorvelGenderType gender) noexcept;
    /// Each attribute is stored as the property "c:<key>"; a string attribute
    /// "user_id" becomes the user id (any other type refuses the whole call).
    void setUserPropertiesWithAttr(const SorvelKvAttrModel& attrModel) noexcept;
    /// Removes every user property the app set.
    void clearUserProperties() noexcept;
    /// Stores the ci property "svl:kakao_id".
    void setKakaoId(const std::string& kakaoId) noexcept;
    /// Each attribute is stored as the ci property "c:<key>".
    void setUserCiWithAttr(const SorvelKvAttrModel& attrModel) noexcept;
    /// Attached to the events that follow. A NaN or infinite coordinate is
    /// ignored with a warning, keeping the location stored before.
    void setLocation(double latitude, double longitude) noexcept;

    // ---- Privacy, restart, deeplinks, upload intervals ---------------------

    /// Asks the server to erase the user's data and disables the SDK for good.
    void gdprForgetMe() noexcept;
    /// Whether forget-me was asked (an unconfirmed erasure is sent again in
    /// the background).
    bool isGdprForgetMe() noexcept;
    /// Deletes the user's data on the server and stops the SDK; restartSDK
    /// starts it again. The completion is called at most once: FAILURE at once
    /// when the SDK is paused or forgotten, otherwise with the server's
    /// outcome. A call made while the same request is still in flight, or
    /// while the SDK is starting (after initSorvel or a restart, until the
    /// start is decided), is ignored with a log line and its completion is
    /// never called.
    void deleteUserDataAndStopSDK(const std::string& userId,
                                  SorvelCompletionHandler completion) noexcept;
    /// Starts the SDK again after deleteUserDataAndStopSDK, for userId; the
    /// completion is called as for deleteUserDataAndStopSDK.
    void restartSDK(const std::string& userId, SorvelCompletionHandler completion) noexcept;
    /// The URL the app was opened with. Ignored before the first open was
    /// recorded; starts a deeplink-open event in a running session, otherwise
    /// is kept for the next session start.
    void deepLinkOpen(const std::string& urlStr) noexcept;
    /// How many recorded events make the SDK upload: any positive count, a
    /// declared value or an integer cast to the enum (45 means 45). Zero or
    /// less is ignored with the warning "setEventUploadCountInterval :: <n> is
    /// not a positive count; ignored".
    void setEventUploadCountInterval(SorvelEventUploadCountInterval interval) noexcept;
    /// Seconds between timed uploads: 30, 60 or 120. An undeclared value (an
    /// integer cast to the enum) is ignored with the warning
    /// "setEventUploadTimeInterval :: <n> is not a declared ...".
    void setEventUploadTimeInterval(SorvelEventUploadTimeInterval interval) noexcept;

    // ---- Enum getters and converters ----------------------------------------
    // Pure; an undeclared integer gives the fallback (see SorvelEnums.h).

    /// The count enum for 10, 30 or 60; COUNT_30 for any other number.
    SorvelEventUploadCountInterval convertCountInterval(std::int64_t value) const noexcept;
    /// The time enum for 30, 60 or 120; SECONDS_60 for any other number.
    SorvelEventUploadTimeInterval convertTimeInterval(std::int64_t value) const noexcept;
    /// The gender enum for a declared number; UNKNOWN for any other.
    SorvelGenderType convertGender(std::int64_t value) const noexcept;
    /// The channel's string as events carry it ("ETC" when undeclared).
    std::string getSignUpChannelBySorvelKvSignUpChannel(
        SorvelKvSignUpChannel channel) const noexcept;
    /// The string of the sign-up channel with that number ("ETC" when undeclared).
    std::string getSignUpChannel(std::int64_t value) const noexcept;
    /// The sign-up channel with that number (ETC when undeclared).
    SorvelKvSignUpChannel convertSignUpChannel(std::int64_t value) const noexcept;
    /// The invite channel's string as events carry it ("ETC" when undeclared).
    std::string getInviteChannelBySorvelKvSignUpChannel(
        SorvelKvInviteChannel channel) const noexcept;
    /// The string of the invite channel with that number ("ETC" when undeclared).
    std::string getInviteChannel(std::int64_t value) const noexcept;
    /// The invite channel with that number (ETC when undeclared).
    SorvelKvInviteChannel convertInviteChannel(std::int64_t value) const noexcept;
    /// The payment method's string as events carry it ("ETC" when undeclared).
    std::string getPaymentMethodBySorvelKvPaymentMethod(
        SorvelKvPaymentMethod method) const noexcept;
    /// The string of the payment method with that number ("ETC" when undeclared).
    std::string getPaymentMethod(std::int64_t value) const noexcept;
    /// The payment method with that number (ETC when undeclared).
    SorvelKvPaymentMethod convertPayment(std::int64_t value) const noexcept;
    /// The sharing channel's string as events carry it ("ETC" when undeclared).
    std::string getSharingChannelBySorvelKvSharingChannel(
        SorvelKvSharingChannel channel) const noexcept;
    /// The string of the sharing channel with that number ("ETC" when undeclared).
    std::string getSharingChannel(std::int64_t value) const noexcept;
    /// The sharing channel with that number (ETC when undeclared).
    SorvelKvSharingChannel convertChannel(std::int64_t value) const noexcept;
    /// The currency's code ("KRW" when undeclared).
    std::string getCurrencyStringBySorvelCurrencyType(SorvelKvCurrencyType type) const noexcept;
    /// The code of the currency with that number ("KRW" when undeclared).
    std::string getCurrencyString(std::int64_t value) const noexcept;

    // ---- Product factories --------------------------------------------------

    /// A product filled by SorvelKvCommerceProductModel::setModel.
    SorvelKvCommerceProductModel createCommerceProductDataWithAttr(
        const std::string& productId, const std::string& productName, double price,
        std::int64_t quantity, double discount, const std::optional<std::string>& currencyString,
        const std::optional<SorvelKvCommerceProductCategoryModel>& category,
        const std::optional<SorvelKvAttrModel>& productAttrsMap) const noexcept;
    /// The non-empty strings, in order: ("a", "", "c", "", "") gives {"a", "c"}.
    SorvelKvCommerceProductCategoryModel createCommerceProductCategoryData(
        const std::string& category, const std::string& category2, const std::string& category3,
        const std::string& category4, const std::string& category5) const noexcept;

    // ---- Predefined events ----------------------------------------------------
    // Each sends one SDK event in the group "svl" with fixed "svl:" keys,
    // written over the app's attributes of the WithAttr form. Enum arguments
    // travel as their strings; an undeclared enum value refuses the call with
    // a warning. A product list is split into events of at most 100 products,
    // each with "svl:items" and "svl:page" (an empty list: one event, page 1,
    // no items); a single product goes into "svl:items" as a one-entry list.
    // Product lists are taken by value: the SDK reads its own copy later.

    // Common events.
    /// Sends "sign_up" with "svl:sign_channel"; an undeclared channel refuses the
    /// call with the warning "sign_up :: SorvelKvSignUpChannel value <n> ...".
    void commonSignUp(SorvelKvSignUpChannel channel) noexcept;
    /// commonSignUp with the app's attributes.
    void commonSignUpWithAttr(SorvelKvSignUpChannel channel,
                              const std::optional<SorvelKvAttrModel>& commonAttr) noexcept;
    /// Sends "app_update" with "svl:prev_ver" and "svl:curr_ver".
    void commonAppUpdate(const std::string& prev_ver, const std::string& curr_ver) noexcept;
    /// commonAppUpdate with the app's attributes.
    void commonAppUpdateWithAttr(const std::string& prev_ver, const std::string& curr_ver,
                                 const std::optional<SorvelKvAttrModel>& commonAttr) noexcept;
    /// Sends "invite" with "svl:invite_channel"; an undeclared channel refuses the
    /// call with a warning.
    void commonInvite(SorvelKvInviteChannel channel) noexcept;
    /// commonInvite with the app's attributes.
    void commonInviteWithAttr(SorvelKvInviteChannel channel,
                              const std::optional<SorvelKvAttrModel>& commonAttr) noexcept;
    /// Sends "use_credit".
    void commonUseCredit() noexcept;
    /// commonUseCredit with the app's attributes.
    void commonUseCreditWithAttr(const std::optional<SorvelKvAttrModel>& commonAttr) noexcept;
    /// Sends "purchase" with the order id, sales, discount, delivery charge,
    /// payment method and the products (paged); an undeclared payment method
    /// refuses the call with a warning.
    void commonPurchase(const std::string& orderId,
                        std::vector<SorvelKvCommerceProductModel> productInfo, double orderSales,
                        double discount, double deliveryCharge,
                        SorvelKvPaymentMethod paymentMethod) noexcept;
    /// commonPurchase with the app's attributes for the order.
    void commonPurchaseWithAttr(const std::string& orderId,
                                std::vector<SorvelKvCommerceProductModel> productInfo,
                                double orderSales, double discount, double deliveryCharge,
                                SorvelKvPaymentMethod paymentMethod,
                                const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;

    // Commerce events.
    /// Sends "view_home".
    void commerceViewHome() noexcept;
    /// commerceViewHome with the app's attributes.
    void commerceViewHomeWithAttr(const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    /// Sends "category_view" with the first 5 category strings
    /// ("svl:category1".."svl:category5") and the products (paged); sends
    /// nothing, logging a QA-only line, when the category list is empty.
    void commerceCategoryView(const SorvelKvCommerceProductCategoryModel& category,
                              std::vector<SorvelKvCommerceProductModel> productInfo) noexcept;
    /// commerceCategoryView with the app's attributes.
    void commerceCategoryViewWithAttr(const SorvelKvCommerceProductCategoryModel& category,
                                      std::vector<SorvelKvCommerceProductModel> productInfo,
                                      const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    /// Sends "product_view" with the product.
    void commerceProductView(const SorvelKvCommerceProductModel& productInfo) noexcept;
    /// commerceProductView with the app's attributes.
    void commerceProductViewWithAttr(const SorvelKvCommerceProductModel& productInfo,
                                     const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    /// Sends "add_to_cart" with the products (paged).
    void commerceAddToCart(std::vector<SorvelKvCommerceProductModel> productInfo) noexcept;
    /// commerceAddToCart with the app's attributes.
    void commerceAddToCartWithAttr(std::vector<SorvelKvCommerceProductModel> productInfo,
                                   const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    /// Sends "add_to_wishlist" with the product.
    void commerceAddToWishList(const SorvelKvCommerceProductModel& productInfo) noexcept;
    /// commerceAddToWishList with the app's attributes.
    void commerceAddToWishListWithAttr(const SorvelKvCommerceProductModel& productInfo,
                                       const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    /// Sends "review_order" with the order id, discount, delivery charge and the
    /// products (paged).
    void commerceReviewOrder(const std::string& orderId,
                             std::vector<SorvelKvCommerceProductModel> productInfo, double discount,
                             double deliveryCharge) noexcept;
    /// commerceReviewOrder with the app's attributes.
    void commerceReviewOrderWithAttr(const std::string& orderId,
                                     std::vector<SorvelKvCommerceProductModel> productInfo,
                                     double discount, double deliveryCharge,
                                     const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    /// Sends "refund" with the order id, penalty charge and the products (paged).
    void commerceRefund(const std::string& orderId,
                        std::vector<SorvelKvCommerceProductModel> productInfo,
                        double penaltyCharge) noexcept;
    /// commerceRefund with the app's attributes.
    void commerceRefundWithAttr(const std::string& orderId,
                                std::vector<SorvelKvCommerceProductModel> productInfo,
                                double penaltyCharge,
                                const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    /// Sends "search" with the keyword and the products found (paged).
    void commerceSearch(std::vector<SorvelKvCommerceProductModel> productInfo,
                        const std::string& keyword) noexcept;
    /// commerceSearch with the app's attributes.
    void commerceSearchWithAttr(std::vector<SorvelKvCommerceProductModel> productInfo,
                                const std::string& keyword,
                                const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    /// Sends "share" with the sharing channel and the product; an undeclared
    /// channel refuses the call with a warning.
    void commerceShare(SorvelKvSharingChannel channel,
                       const SorvelKvCommerceProductModel& productInfo) noexcept;
    /// commerceShare with the app's attributes.
    void commerceShareWithAttr(SorvelKvSharingChannel channel,
                               const SorvelKvCommerceProductModel& productInfo,
                               const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    /// Sends "list_view" with the products (paged).
    void commerceListView(std::vector<SorvelKvCommerceProductModel> productInfo) noexcept;
    /// commerceListView with the app's attributes.
    void commerceListViewWithAttr(std::vector<SorvelKvCommerceProductModel> productInfo,
                                  const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    /// Sends "cart_view" with the products (paged).
    void commerceCartView(std::vector<SorvelKvCommerceProductModel> productInfo) noexcept;
    /// commerceCartView with the app's attributes.
    void commerceCartViewWithAttr(std::vector<SorvelKvCommerceProductModel> productInfo,
                                  const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    /// Sends "paymentinfo_added".
    void commercePaymentInfoAdded() noexcept;
    /// commercePaymentInfoAdded with the app's attributes.
    void commercePaymentInfoAddedWithAttr(
        const std::optional<SorvelKvAttrModel>& paymentInfoAttr) noexcept;

    // Game events.
    /// Sends "tutorial_completed" with whether the tutorial was skipped.
    void gameTutorialCompleted(bool isSkip) noexcept;
    /// gameTutorialCompleted with the app's attributes.
    void gameTutorialCompletedWithAttr(
        bool isSkip, const std::optional<SorvelKvAttrModel>& gameInfoAttr) noexcept;
    /// Sends "character_created".
    void gameCharacterCreated() noexcept;
    /// gameCharacterCreated with the app's attributes.
    void gameCharacterCreatedWithAttr(
        const std::optional<SorvelKvAttrModel>& gameInfoAttr) noexcept;
    /// Sends "stage_cleared" with the stage's name.
    void gameStageCleared(const std::string& stageName) noexcept;
    /// gameStageCleared with the app's attributes.
    void gameStageClearedWithAttr(const std::string& stageName,
                                  const std::optional<SorvelKvAttrModel>& gameInfoAttr) noexcept;
    /// Sends "level_achieved" with the level reached.
    void gameLevelAchieved(std::int64_t level) noexcept;
    /// gameLevelAchieved with the app's attributes.
    void gameLevelAchievedWithAttr(std::int64_t level,
                                   const std::optional<SorvelKvAttrModel>& gameInfoAttr) noexcept;

    // ---- Message history ----------------------------------------------------
    // The inbox of received pushes and of the messages the server keeps for
    // the user. Each call with a completion answers it exactly once. While the
    // SDK is disabled the completion runs at once, on the calling thread,
    // before the call returns, with a failure carrying
    // ActionHistoryError::SDKDisabledStateError. Otherwise the call is queued
    // and the completion runs later on the SDK's message-history queue
    // ("FvnActionHistoryDispatchQueue"), or at once on the SDK's controller
    // queue when the history store could not be opened (OpenDatabaseError):
    // move to the main thread yourself to touch the user interface. A call
    // made before the SDK is ready (see SorvelHost::whenStarted) is held with
    // the app's other calls and carried out once it is, in order; a start that
    // ends disabled (a refused key) answers it with SDKDisabledStateError.
    // CalledBeforeInitError answers only a call that reaches the SDK while a
    // restart (restartSDK) hands it back to its start. A token, when given, is
    // sent unchanged as the "Authorization" header; none sends no such header.
    // Action types are the raw values "PUSH_ANDROID", "PUSH_IOS", "KAKAOTALK",
    // "TEXT_MESSAGE". An empty completion is allowed (nothing is called).

    /// Fetches the history of the user id (the user property "svl:user_id")
    /// from the server, stores it and answers with its entries; fails with
    /// NilIdError when no user id is set. Runs on the history queue.
    void fetchActionHistoryByUserId(const std::optional<std::string>& token,
                                    const std::vector<std::string>& actionType,
                                    ActionHistoryCompletion completion) noexcept;
    /// The same for the device id (the condition's id is then empty).
    void fetchActionHistoryByAdid(const std::optional<std::string>& token,
                                  const std::vector<std::string>& actionType,
                                  ActionHistoryCompletion completion) noexcept;
    /// Stores a received push payload (the notification's user info) as an
    /// unread "PUSH_IOS" entry. Returns at once; the store is written on the
    /// history queue, before the SDK is ready too (the call is not held). A
    /// payload without "aps", "custom_alert", an alert or the campaign values
    /// is logged ("insertPushData :: no essential Value") and dropped. Does
    /// nothing while the SDK is disabled.
    void insertPushData(const Value::Map& pushJsonDic) noexcept;
    /// Reads a page of stored entries of the types, newest first: at most
    /// limit entries after skipping skip (a negative skip counts as 0, a
    /// negative limit gives none).
    void getActionHistory(std::int64_t skip, std::int64_t limit,
                          const std::vector<std::string>& actionType,
                          ActionHistoryCompletion completion) noexcept;
    /// Reads every stored entry of the types.
    void getAllActionHistory(const std::vector<std::string>& actionType,
                             ActionHistoryCompletion completion) noexcept;
    /// Clears the entries synchronised from the server, then deletes the
    /// user's whole history on the server (not retried).
    void deleteAllActionHistoryByUserId(const std::optional<std::string>& token,
                                        ActionHistoryCompletion completion) noexcept;
    /// The same for the device id.
    void deleteAllActionHistoryByAdid(const std::optional<std::string>& token,
                                      ActionHistoryCompletion completion) noexcept;
    /// Deletes one synchronised entry (id and time stamp must both match)
    /// locally, then on the server under the user id, or the device id when
    /// there is none.
    void deleteActionHistory(const std::optional<std::string>& token, const std::string& historyId,
                             std::int64_t timeStamp, ActionHistoryCompletion completion) noexcept;
    /// Deletes the locally stored entries that came from the server; the
    /// pushes stored on the device stay.
    void clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion completion) noexcept;

  private:
    friend struct SorvelKVPart;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sorvel
