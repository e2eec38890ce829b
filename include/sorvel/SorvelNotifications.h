#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sorvel/Export.h"
#include "sorvel/Value.h"

// The user-notification types a Linux app hands to the SDK and gets back from
// it: the content of a notification, its request and trigger, the user's
// response to a shown notification, and the base class of a notification
// service extension. They are plain values, safe to copy between threads.
namespace sorvel {

/// The sound of a notification: the desktop's default sound or a named sound
/// file. A content without a sound is silent. On Linux the name is passed to
/// the desktop as the "sound-name" hint and the desktop looks it up in its
/// sound theme; nothing is played by the SDK itself.
struct SORVEL_API NotificationSound {
    /// True for the default sound; false for the named one.
    bool isDefault = true;
    /// The sound's name when not the default.
    std::string name;

    /// The default sound of the desktop.
    static NotificationSound defaultSound() noexcept { return NotificationSound{}; }
    /// A named sound (a sound-theme name such as "message-new-instant").
    static NotificationSound named(std::string soundName) noexcept {
        return NotificationSound{false, std::move(soundName)};
    }
    /// Equal when every field is.
    bool operator==(const NotificationSound&) const = default;
};

/// A file shown with a notification (an image). The file lives in a private
/// temporary folder made for it; it stays there for as long as the process
/// runs.
struct SORVEL_API NotificationAttachment {
    /// The identifier given at creation (may be empty).
    std::string identifier;
    /// The absolute path of the attached file.
    std::string path;
    /// Equal when every field is.
    bool operator==(const NotificationAttachment&) const = default;
};

/// What a notification shows. The badge number is kept and reported but, on
/// Linux, not drawn anywhere: desktops have no app-icon badge.
struct SORVEL_API NotificationContent {
    /// The first line, shown bold by most desktops.
    std::string title;
    /// A line between the title and the body.
    std::string subtitle;
    /// The message.
    std::string body;
    /// Absent: silent.
    std::optional<NotificationSound> sound;
    /// The app's badge number with this notification (kept, not drawn).
    std::optional<std::int64_t> badge;
    /// Groups related notifications.
    std::string threadIdentifier;
    /// The notification's category (its custom actions).
    std::string categoryIdentifier;
    /// Files shown with it; the first image is shown on the desktop.
    std::vector<NotificationAttachment> attachments;
    /// The notification's data: for a remote notification its whole payload
    /// (with "aps"), for a local one what the scheduler put there.
    Value::Map userInfo;
    /// Equal when every field is.
    bool operator==(const NotificationContent&) const = default;
};

/// Calendar fields in the device's time zone. A calendar trigger fires at the
/// first instant whose local fields match all of them.
struct SORVEL_API NotificationDateComponents {
    /// 1 ... 9999 for a date the centre accepts.
    std::int64_t year = 1970;
    /// 1 ... 12.
    int month = 1;
    /// 1 ... the month's last day.
    int day = 1;
    /// 0 ... 23.
    int hour = 0;
    /// 0 ... 59.
    int minute = 0;
    /// 0 ... 59.
    int second = 0;
    /// Equal when every field is.
    bool operator==(const NotificationDateComponents&) const = default;
};

/// Fires once (repeats false is the only kind the SDK schedules) at the local
/// calendar date of its components.
struct SORVEL_API CalendarNotificationTrigger {
    /// The local date and time to fire at.
    NotificationDateComponents dateComponents;
    /// Must stay false: the centre refuses repeating triggers.
    bool repeats = false;
    /// Equal when every field is.
    bool operator==(const CalendarNotificationTrigger&) const = default;
};

/// A notification to show: its identifier, its content and, for a scheduled
/// one, its trigger (absent: shown when delivered).
struct SORVEL_API NotificationRequest {
    /// Unique among pending notifications: a new one replaces the old.
    std::string identifier;
    /// What it shows.
    NotificationContent content;
    /// When it fires; absent for a notification shown at once.
    std::optional<CalendarNotificationTrigger> trigger;
    /// Equal when every field is.
    bool operator==(const NotificationRequest&) const = default;
};

/// The user's answer to a shown notification.
struct SORVEL_API NotificationResponse {
    /// The user opened the notification (clicked it).
    static constexpr const char* DEFAULT_ACTION_IDENTIFIER = "NotificationDefaultActionIdentifier";
    /// The user dismissed it.
    static constexpr const char* DISMISS_ACTION_IDENTIFIER = "NotificationDismissActionIdentifier";

    /// The notification the user answered.
    NotificationRequest request;
    /// One of the two identifiers above or an action of the notification's
    /// category.
    std::string actionIdentifier;
};

/// Receives the decorated content of one notification; called once per
/// request.
using NotificationContentHandler = std::function<void(NotificationContent content)>;

/// The base of a notification service extension: it gets each remote
/// notification before it is shown and hands back the content to show. The
/// host (SorvelHost::setNotificationServiceExtension) runs it for each remote
/// notification it delivers; when the handler has not been called 30 seconds
/// after didReceive, serviceExtensionTimeWillExpire is called and the content
/// handed then is shown.
class SORVEL_API NotificationServiceExtension {
  public:
    virtual ~NotificationServiceExtension() = default;
    /// Called on the delivering thread with the notification and the handler
    /// to call, once, with the content to show.
    virtual void didReceive(const NotificationRequest& request,
                            NotificationContentHandler contentHandler) = 0;
    /// Called on the scheduler's thread when the time for the last request is
    /// up: hand over the best content so far, now.
    virtual void serviceExtensionTimeWillExpire() = 0;
};

}  // namespace sorvel
