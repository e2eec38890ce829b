#pragma once

#include <memory>

#include "sorvel/Export.h"
#include "sorvel/SorvelNotifications.h"

namespace sorvel {

namespace push {
class RichPushDecorator;
}

/// A notification service extension that decorates the SDK's remote
/// notifications: the sound ("gen_sound" "1": the default sound, else none),
/// the title, subtitle and body in the user's language from "custom_alert"
/// (exact language match; empty texts ignored), and the image of "img"
/// (http or https only, at most 10 MB, within 25 s), fetched off the calling
/// thread and attached under the URL's last path component. Derive the app's
/// extension from it, or hand it to SorvelHost::setNotificationServiceExtension.
///
/// Each notification keeps its own handler and content; its content reaches
/// the handler exactly once, from the fetching thread or from
/// serviceExtensionTimeWillExpire, whichever comes first. Writes
/// "svlkv [debug] :: Remote Push Content Received!! ::::::" to the system log
/// for each notification.
class SORVEL_API SorvelPushServiceObjC : public NotificationServiceExtension {
  public:
    /// An extension with no notification in hand.
    SorvelPushServiceObjC();
    /// A fetch still in flight finishes on its own and is dropped.
    ~SorvelPushServiceObjC() override;
    /// Decorates on the calling thread; the handler runs on the thread that
    /// finished the image fetch, or at once on the calling thread.
    void didReceive(const NotificationRequest& request,
                    NotificationContentHandler contentHandler) override;
    /// Cancels the image fetch and delivers the latest notification's best
    /// attempt now, on the calling thread (once).
    void serviceExtensionTimeWillExpire() override;

  private:
    std::unique_ptr<push::RichPushDecorator> core_;
};

/// A notification service extension like SorvelPushServiceObjC, with these
/// differences: a "custom_alert" language key matches exactly (with a title)
/// or by its first two characters; empty custom texts are applied; the image
/// is attached only when "custom_alert" is present, fetched synchronously on
/// the calling thread and named "sorvelPushImage.jpg". Writes the same line
/// as SorvelPushServiceObjC, then "svlkv [debug] :: Remote Push Data :: "
/// and the payload as JSON, to the system log.
class SORVEL_API SorvelPushService : public NotificationServiceExtension {
  public:
    /// An extension with no notification in hand.
    SorvelPushService();
    /// A fetch still in flight finishes on its own and is dropped.
    ~SorvelPushService() override;
    /// Decorates and delivers on the calling thread before it returns.
    void didReceive(const NotificationRequest& request,
                    NotificationContentHandler contentHandler) override;
    /// Delivers the latest notification's best attempt now, once.
    void serviceExtensionTimeWillExpire() override;

  private:
    std::unique_ptr<push::RichPushDecorator> core_;
};

/// For an app whose extension serves several push providers: it calls the
/// controller (or SorvelKV::didReceiveSvlPush) from its own two entry points.
/// Decorates like SorvelPushService, on the main queue (the app must serve
/// the main run loop). With the app's push switch or the OS permission off it
/// logs "Push service is not available : push enable = flase" (or "os push
/// enable = flase") and hands the content back unchanged at once.
class SORVEL_API SorvelMultiPushProviderController {
    struct PassKey {};

  public:
    /// The process's one controller.
    static SorvelMultiPushProviderController& getInstance() noexcept;
    /// The same instance.
    static SorvelMultiPushProviderController& getInstanceObjc() noexcept;

    /// Made once, by getInstance.
    explicit SorvelMultiPushProviderController(PassKey);
    /// Never runs: the instance lives as long as the process.
    ~SorvelMultiPushProviderController();

    /// Checks the push switches on the calling thread, then decorates on the
    /// main queue; the handler runs there (or at once when a switch is off).
    void didReceiveSvlPush(const NotificationRequest& request,
                           NotificationContentHandler contentHandler) noexcept;
    /// Delivers the latest notification's best attempt now, once.
    void svlPushServiceExtensionTimeWillExpire() noexcept;

  private:
    std::unique_ptr<push::RichPushDecorator> core_;
};

}  // namespace sorvel
