#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sorvel/Completion.h"
#include "sorvel/Export.h"
#include "sorvel/SorvelEnums.h"
#include "sorvel/SorvelKVDelegates.h"
#include "sorvel/SorvelKVLogDelegate.h"
#include "sorvel/SorvelKvAttrModel.h"
#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/SorvelNotifications.h"
#include "sorvel/SvlRemotePushModel.h"

namespace sorvel {

/// Why a local notification was not scheduled: the SDK's refusal (pushError
/// set) or the notification centre's (pushError absent).
struct SORVEL_API LocalPushError {
    std::optional<SvlRemotePushError> pushError;
    /// The error's (localized) description.
    std::string description;
};
/// Told whether a local notification was scheduled: (success, the error on
/// failure, the request's identifier).
using LocalPushCompletionHandler = std::function<void(
    bool success, const std::optional<LocalPushError>& error, const std::string& identifier)>;

// Receives the outcome of a delete-user-data or restart request.
using SorvelCompletionHandler = std::function<void(Completion)>;

// The one object through which an app reaches the SDK.
//
//   sorvel::SorvelHost::setDataFolder(...);            // see SorvelHost.h
//   auto& sdk = sorvel::SorvelKV::getInstance();
//   sdk.initSorvel(appKey, secretKey);                 // 22 characters each
//   sorvel::SorvelHost::applicationDidBecomeActive();
//   sdk.event("level_started");
//
// Every call may be made from any thread, never throws and never waits for
// the network or the disk: it checks its arguments and hands the request to
// the SDK's own queue. Calls made before initSorvel are held until the SDK has
// started and the app has first become active. While the SDK is disabled (the
// user asked to be forgotten, the server paused or stopped the app, or the
// user's data was deleted) the calls that act on the SDK do nothing but log
// "Sorvel Disabled : true"; the delegate setters, the conversions, the
// life-cycle calls, initSorvel, setDeviceId and printSdkState always work.
//
// The SDK's log lines reach the app's log delegate (setLogDelegate) or, in
// quality-assurance mode (the Info key "SorvelQaMode" set true), the system
// log.
class SORVEL_API SorvelKV {
    struct PassKey {
        explicit PassKey() = default;
    };

  public:
    // The single instance, built on first use (thread-safe) and never destroyed.
    static SorvelKV& getInstance() noexcept;
    // The same instance.
    static SorvelKV& sharedInstance() noexcept;

    explicit SorvelKV(PassKey);
    ~SorvelKV();
    SorvelKV(const SorvelKV&) = delete;
    SorvelKV& operator=(const SorvelKV&) = delete;

    // ---- Start-up and life cycle ------------------------------------------

    // Starts the SDK with the app's keys (each exactly 22 characters; a key of
    // another length disables the SDK with an error line). Reads the Info keys
    // "SorvelServerMode" (integer: 1 development, 2 staging, anything else
    // live) and "FvnRegion" (string: "ap1", or "ap2" the default) to choose the
    // servers, and from now on follows the application-state notifications the
    // host posts (SorvelHost::applicationDidBecomeActive, ...). A second call
    // registers nothing again; the running SDK refuses it with a warning.
    void initSorvel(const std::string& appKey, const std::string& secretKey) noexcept;
    // What the application-state notifications do; an app may call them itself.
    void didBecomeActive() noexcept;
    void willResignActive() noexcept;

    // ---- Settings and diagnostics -----------------------------------------

    // The advertising identifier is not read until startGettingIDFA is called.
    void stopGettingIDFA() noexcept;
    void startGettingIDFA() noexcept;
    // Stores the device id the SDK reports, unchanged (an empty one too).
    void setDeviceId(const std::string& deviceId) noexcept;
    // Logs one line naming the delete/restart state ("SDK STOPPED STATE :: ...").
    void printSdkState() noexcept;

    // ---- Delegates ----------------------------------------------------------
    // Each setter replaces the delegate (null clears it); each getter returns
    // the one set now. Setting and reading is safe from any thread, also while
    // the SDK calls a delegate: a callback in progress finishes with the
    // delegate it had.

    void setLogDelegate(std::shared_ptr<SorvelKVLogDelegate> delegate) noexcept;
    std::shared_ptr<SorvelKVLogDelegate> getLogDelegate() const noexcept;
    void setDeeplinkDelegate(std::shared_ptr<SorvelKVDeeplinkDelegate> delegate) noexcept;
    std::shared_ptr<SorvelKVDeeplinkDelegate> getDeeplinkDelegate() const noexcept;
    void setDeferredDeeplinkDelegate(
        std::shared_ptr<SorvelKVDeferredDeeplinkDelegate> delegate) noexcept;
    std::shared_ptr<SorvelKVDeferredDeeplinkDelegate> getDeferredDeeplinkDelegate() const noexcept;
    void setInAppMessageClickDelegate(
        std::shared_ptr<SorvelKVInAppMessageClickDelegate> delegate) noexcept;
    std::shared_ptr<SorvelKVInAppMessageClickDelegate> getInAppMessageClickDelegate()
        const noexcept;
    void setSorvelKvPushLocalDelegate(std::shared_ptr<SorvelKvPushLocalDelegate> delegate) noexcept;
    std::shared_ptr<SorvelKvPushLocalDelegate> getSorvelKvPushLocalDelegate() const noexcept;
    void setSorvelKvPushRemoteDelegate(
        std::shared_ptr<SorvelKvPushRemoteDelegate> delegate) noexcept;
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

    void event(const std::string& eventName) noexcept;
    void eventWithAttr(const std::string& eventName, const SorvelKvAttrModel& value) noexcept;
    // The same as eventWithAttr.
    void eventForUnityWithAttr(const std::string& eventName,
                               const SorvelKvAttrModel& value) noexcept;

    // ---- User identity and properties -------------------------------------

    // Stores the user id and sends "login" (and "user_property_changed" when
    // the id differs from the stored one).
    void login(const std::string& userId) noexcept;
    // Clears the user's properties and the local message history; sends "logout".
    void logout() noexcept;
    void setAge(std::int64_t age) noexcept;
    // An undeclared value (an integer cast to the enum) is ignored with a warning.
    void setGender(SorvelGenderType gender) noexcept;
    // Each attribute is stored as the property "c:<key>"; a string attribute
    // "user_id" becomes the user id (any other type refuses the whole call).
    void setUserPropertiesWithAttr(const SorvelKvAttrModel& attrModel) noexcept;
    void clearUserProperties() noexcept;
    void setKakaoId(const std::string& kakaoId) noexcept;
    // Each attribute is stored as the ci property "c:<key>".
    void setUserCiWithAttr(const SorvelKvAttrModel& attrModel) noexcept;
    // Attached to the events that follow. A NaN or infinite coordinate is
    // ignored with a warning, keeping the location stored before.
    void setLocation(double latitude, double longitude) noexcept;

    // ---- Privacy, restart, deeplinks, upload intervals ---------------------

    // Asks the server to erase the user's data and disables the SDK for good.
    void gdprForgetMe() noexcept;
    // Whether forget-me was asked (an unconfirmed erasure is sent again in
    // the background).
    bool isGdprForgetMe() noexcept;
    // Deletes the user's data on the server and stops the SDK; restartSDK
    // starts it again. The completion is called at most once: FAILURE at once
    // when the SDK is paused or forgotten, otherwise with the server's
    // outcome. A call made while the same request is still in flight, or
    // while the SDK is starting (after initSorvel or a restart, until the
    // start is decided), is ignored with a log line and its completion is
    // never called.
    void deleteUserDataAndStopSDK(const std::string& userId,
                                  SorvelCompletionHandler completion) noexcept;
    void restartSDK(const std::string& userId, SorvelCompletionHandler completion) noexcept;
    // The URL the app was opened with. Ignored before the first open was
    // recorded; starts a deeplink-open event in a running session, otherwise
    // is kept for the next session start.
    void deepLinkOpen(const std::string& urlStr) noexcept;
    // Undeclared values (an integer cast to the enum) are ignored with a warning.
    void setEventUploadCountInterval(SorvelEventUploadCountInterval interval) noexcept;
    void setEventUploadTimeInterval(SorvelEventUploadTimeInterval interval) noexcept;

    // ---- Enum getters and converters ----------------------------------------
    // Pure; an undeclared integer gives the fallback (see SorvelEnums.h).

    SorvelEventUploadCountInterval convertCountInterval(std::int64_t value) const noexcept;
    SorvelEventUploadTimeInterval convertTimeInterval(std::int64_t value) const noexcept;
    SorvelGenderType convertGender(std::int64_t value) const noexcept;
    std::string getSignUpChannelBySorvelKvSignUpChannel(
        SorvelKvSignUpChannel channel) const noexcept;
    std::string getSignUpChannel(std::int64_t value) const noexcept;
    SorvelKvSignUpChannel convertSignUpChannel(std::int64_t value) const noexcept;
    std::string getInviteChannelBySorvelKvSignUpChannel(
        SorvelKvInviteChannel channel) const noexcept;
    std::string getInviteChannel(std::int64_t value) const noexcept;
    SorvelKvInviteChannel convertInviteChannel(std::int64_t value) const noexcept;
    std::string getPaymentMethodBySorvelKvPaymentMethod(
        SorvelKvPaymentMethod method) const noexcept;
    std::string getPaymentMethod(std::int64_t value) const noexcept;
    SorvelKvPaymentMethod convertPayment(std::int64_t value) const noexcept;
    std::string getSharingChannelBySorvelKvSharingChannel(
        SorvelKvSharingChannel channel) const noexcept;
    std::string getSharingChannel(std::int64_t value) const noexcept;
    SorvelKvSharingChannel convertChannel(std::int64_t value) const noexcept;
    std::string getCurrencyStringBySorvelCurrencyType(SorvelKvCurrencyType type) const noexcept;
    std::string getCurrencyString(std::int64_t value) const noexcept;

    // ---- Product factories --------------------------------------------------

    // A product filled by SorvelKvCommerceProductModel::setModel.
    SorvelKvCommerceProductModel createCommerceProductDataWithAttr(
        const std::string& productId, const std::string& productName, double price,
        std::int64_t quantity, double discount, const std::optional<std::string>& currencyString,
        const std::optional<SorvelKvCommerceProductCategoryModel>& category,
        const std::optional<SorvelKvAttrModel>& productAttrsMap) const noexcept;
    // The non-empty strings, in order: ("a", "", "c", "", "") gives {"a", "c"}.
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
    void commonSignUp(SorvelKvSignUpChannel channel) noexcept;
    void commonSignUpWithAttr(SorvelKvSignUpChannel channel,
                              const std::optional<SorvelKvAttrModel>& commonAttr) noexcept;
    void commonAppUpdate(const std::string& prev_ver, const std::string& curr_ver) noexcept;
    void commonAppUpdateWithAttr(const std::string& prev_ver, const std::string& curr_ver,
                                 const std::optional<SorvelKvAttrModel>& commonAttr) noexcept;
    void commonInvite(SorvelKvInviteChannel channel) noexcept;
    void commonInviteWithAttr(SorvelKvInviteChannel channel,
                              const std::optional<SorvelKvAttrModel>& commonAttr) noexcept;
    void commonUseCredit() noexcept;
    void commonUseCreditWithAttr(const std::optional<SorvelKvAttrModel>& commonAttr) noexcept;
    void commonPurchase(const std::string& orderId,
                        std::vector<SorvelKvCommerceProductModel> productInfo, double orderSales,
                        double discount, double deliveryCharge,
                        SorvelKvPaymentMethod paymentMethod) noexcept;
    void commonPurchaseWithAttr(const std::string& orderId,
                                std::vector<SorvelKvCommerceProductModel> productInfo,
                                double orderSales, double discount, double deliveryCharge,
                                SorvelKvPaymentMethod paymentMethod,
                                const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;

    // Commerce events. The category view sends at most the first 5 category
    // strings ("svl:category1".."svl:category5") and nothing at all when the
    // category list is empty.
    void commerceViewHome() noexcept;
    void commerceViewHomeWithAttr(const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    void commerceCategoryView(const SorvelKvCommerceProductCategoryModel& category,
                              std::vector<SorvelKvCommerceProductModel> productInfo) noexcept;
    void commerceCategoryViewWithAttr(const SorvelKvCommerceProductCategoryModel& category,
                                      std::vector<SorvelKvCommerceProductModel> productInfo,
                                      const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    void commerceProductView(const SorvelKvCommerceProductModel& productInfo) noexcept;
    void commerceProductViewWithAttr(const SorvelKvCommerceProductModel& productInfo,
                                     const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    void commerceAddToCart(std::vector<SorvelKvCommerceProductModel> productInfo) noexcept;
    void commerceAddToCartWithAttr(std::vector<SorvelKvCommerceProductModel> productInfo,
                                   const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    void commerceAddToWishList(const SorvelKvCommerceProductModel& productInfo) noexcept;
    void commerceAddToWishListWithAttr(const SorvelKvCommerceProductModel& productInfo,
                                       const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    void commerceReviewOrder(const std::string& orderId,
                             std::vector<SorvelKvCommerceProductModel> productInfo, double discount,
                             double deliveryCharge) noexcept;
    void commerceReviewOrderWithAttr(const std::string& orderId,
                                     std::vector<SorvelKvCommerceProductModel> productInfo,
                                     double discount, double deliveryCharge,
                                     const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    void commerceRefund(const std::string& orderId,
                        std::vector<SorvelKvCommerceProductModel> productInfo,
                        double penaltyCharge) noexcept;
    void commerceRefundWithAttr(const std::string& orderId,
                                std::vector<SorvelKvCommerceProductModel> productInfo,
                                double penaltyCharge,
                                const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    void commerceSearch(std::vector<SorvelKvCommerceProductModel> productInfo,
                        const std::string& keyword) noexcept;
    void commerceSearchWithAttr(std::vector<SorvelKvCommerceProductModel> productInfo,
                                const std::string& keyword,
                                const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    void commerceShare(SorvelKvSharingChannel channel,
                       const SorvelKvCommerceProductModel& productInfo) noexcept;
    void commerceShareWithAttr(SorvelKvSharingChannel channel,
                               const SorvelKvCommerceProductModel& productInfo,
                               const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    void commerceListView(std::vector<SorvelKvCommerceProductModel> productInfo) noexcept;
    void commerceListViewWithAttr(std::vector<SorvelKvCommerceProductModel> productInfo,
                                  const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    void commerceCartView(std::vector<SorvelKvCommerceProductModel> productInfo) noexcept;
    void commerceCartViewWithAttr(std::vector<SorvelKvCommerceProductModel> productInfo,
                                  const std::optional<SorvelKvAttrModel>& orderAttr) noexcept;
    void commercePaymentInfoAdded() noexcept;
    void commercePaymentInfoAddedWithAttr(
        const std::optional<SorvelKvAttrModel>& paymentInfoAttr) noexcept;

    // Game events.
    void gameTutorialCompleted(bool isSkip) noexcept;
    void gameTutorialCompletedWithAttr(
        bool isSkip, const std::optional<SorvelKvAttrModel>& gameInfoAttr) noexcept;
    void gameCharacterCreated() noexcept;
    void gameCharacterCreatedWithAttr(
        const std::optional<SorvelKvAttrModel>& gameInfoAttr) noexcept;
    void gameStageCleared(const std::string& stageName) noexcept;
    void gameStageClearedWithAttr(const std::string& stageName,
                                  const std::optional<SorvelKvAttrModel>& gameInfoAttr) noexcept;
    void gameLevelAchieved(std::int64_t level) noexcept;
    void gameLevelAchievedWithAttr(std::int64_t level,
                                   const std::optional<SorvelKvAttrModel>& gameInfoAttr) noexcept;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sorvel
