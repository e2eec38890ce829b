#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sorvel/Export.h"
#include "sorvel/SorvelKVLogDelegate.h"
#include "sorvel/SorvelLogLevel.h"
#include "sorvel/Value.h"

namespace sorvel {

/// The application's state when a push callback is made.
enum class SorvelKvApplicationState : std::int64_t {
    ACTIVE = 0,
    INACTIVE = 1,
    BACKGROUND = 2,
};

// The protocols an app implements to hear from the SDK. Each has one method;
// the SDK holds them by std::shared_ptr. Callbacks may call back into the SDK.

/// Receives the deferred deeplink found for this install. Called on the
/// background thread that received the server's answer; a deferred deeplink
/// that arrives before a delegate is set is not kept for a later one.
class SORVEL_API SorvelKVDeferredDeeplinkDelegate {
  public:
    virtual ~SorvelKVDeferredDeeplinkDelegate() = default;
    /// The deferred deeplink, as the server sent it.
    virtual void didReceiveDeferredDeeplink(const std::string& deeplink) = 0;
};

/// Receives every tracking deeplink that opened the app. Called on the SDK's
/// controller thread (not the main thread).
class SORVEL_API SorvelKVDeeplinkDelegate {
  public:
    virtual ~SorvelKVDeeplinkDelegate() = default;
    /// The deeplink URL that opened the app.
    virtual void didReceiveDeeplink(const std::string& deeplink) = 0;
};

/// Told when the user opens a local notification the SDK scheduled: data holds
/// "push_id" and the entries of the request's attribute map. Called
/// synchronously on the thread that hands the notification response to the SDK
/// (normally the main thread).
class SORVEL_API SorvelKvPushLocalDelegate {
  public:
    virtual ~SorvelKvPushLocalDelegate() = default;
    /// The opened notification's data, and the app's state when it was opened.
    virtual void pushLocalCallback(const Value::Map& data, SorvelKvApplicationState state) = 0;
};

/// Told when the user opens a remote notification: data holds "deep_link_url"
/// and "deep_link_json" when the payload has them; the SDK does not open the
/// deeplink itself. Called synchronously on the thread that hands the
/// notification response to the SDK (normally the main thread).
class SORVEL_API SorvelKvPushRemoteDelegate {
  public:
    virtual ~SorvelKvPushRemoteDelegate() = default;
    /// The opened notification's data, and the app's state when it was opened.
    virtual void pushRemoteCallback(const Value::Map& data, SorvelKvApplicationState state) = 0;
};

/// Told about every click on an in-app message. Called on the main thread.
class SORVEL_API SorvelKVInAppMessageClickDelegate {
  public:
    virtual ~SorvelKVInAppMessageClickDelegate() = default;
    /// The clicked action's id, type and argument, and whether the click
    /// closed the message.
    virtual void onReceiveInAppMessageClick(const std::string& actionId,
                                            const std::string& actionType,
                                            const std::string& actionArg, bool isClosed) = 0;
};

/// Part of the public surface for apps that declare it; the SDK never calls it.
class SORVEL_API SorvelKvPushNoticePopupLinkClickDelegate {
  public:
    virtual ~SorvelKvPushNoticePopupLinkClickDelegate() = default;
    /// A link in a notice popup was clicked (never called by the SDK).
    virtual void noticePopupLinkClickCallback(const std::string& popupSpaceKey,
                                              const Value::Map& data) = 0;
};

/// Part of the public surface for apps that declare it; the SDK never calls it.
class SORVEL_API SorvelKvPushNoticePopupCloseDelegate {
  public:
    virtual ~SorvelKvPushNoticePopupCloseDelegate() = default;
    /// A notice popup was closed (never called by the SDK).
    virtual void noticePopupCloseCallback(const std::string& popupSpaceKey,
                                          const Value::Map& data) = 0;
};

// Each make... wraps a function into a delegate. An empty function gives a
// delegate that does nothing. The function runs on the thread its protocol
// names above.

/// A deferred-deeplink delegate calling fn.
SORVEL_API std::shared_ptr<SorvelKVDeferredDeeplinkDelegate> makeDeferredDeeplinkDelegate(
    std::function<void(const std::string& deeplink)> fn);
/// A deeplink delegate calling fn.
SORVEL_API std::shared_ptr<SorvelKVDeeplinkDelegate> makeDeeplinkDelegate(
    std::function<void(const std::string& deeplink)> fn);
/// A local-notification delegate calling fn.
SORVEL_API std::shared_ptr<SorvelKvPushLocalDelegate> makePushLocalDelegate(
    std::function<void(const Value::Map& data, SorvelKvApplicationState state)> fn);
/// A remote-push delegate calling fn.
SORVEL_API std::shared_ptr<SorvelKvPushRemoteDelegate> makePushRemoteDelegate(
    std::function<void(const Value::Map& data, SorvelKvApplicationState state)> fn);
/// A log delegate calling fn on the SDK's logging thread, one line at a time,
/// in logging order.
SORVEL_API std::shared_ptr<SorvelKVLogDelegate> makeLogDelegate(
    std::function<void(SorvelLogLevel level, const std::string& log)> fn);
/// An in-app message click delegate calling fn.
SORVEL_API std::shared_ptr<SorvelKVInAppMessageClickDelegate> makeInAppMessageClickDelegate(
    std::function<void(const std::string& actionId, const std::string& actionType,
                       const std::string& actionArg, bool isClosed)>
        fn);
/// A notice-popup link delegate calling fn.
SORVEL_API std::shared_ptr<SorvelKvPushNoticePopupLinkClickDelegate>
makePushNoticePopupLinkClickDelegate(
    std::function<void(const std::string& popupSpaceKey, const Value::Map& data)> fn);
/// A notice-popup close delegate calling fn.
SORVEL_API std::shared_ptr<SorvelKvPushNoticePopupCloseDelegate> makePushNoticePopupCloseDelegate(
    std::function<void(const std::string& popupSpaceKey, const Value::Map& data)> fn);

}  // namespace sorvel
