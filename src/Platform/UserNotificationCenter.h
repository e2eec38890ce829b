#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Base/Status.h"
#include "Platform/Clock.h"
#include "Platform/Mutex.h"
#include "sorvel/SorvelNotifications.h"

namespace sorvel::platform {

using sorvel::CalendarNotificationTrigger;
using sorvel::NotificationAttachment;
using sorvel::NotificationContent;
using sorvel::NotificationDateComponents;
using sorvel::NotificationRequest;
using sorvel::NotificationResponse;
using sorvel::NotificationSound;

// Shows the notifications the centre delivers and reports what the user did
// with them. present() runs on the centre's queue, one notification at a time.
class INotificationPresenter {
  public:
    // Where a presenter reports a click (the default action) or a dismissal of
    // a notification it showed, by the request's identifier.
    using ResponseSink =
        std::function<void(const std::string& identifier, const std::string& actionIdentifier)>;

    virtual ~INotificationPresenter() = default;
    virtual void present(const NotificationRequest& request) = 0;
    // Called by the centre when the presenter is installed (an empty sink when
    // it is replaced).
    virtual void setResponseSink(ResponseSink sink) { (void)sink; }
};

// Keeps what it was asked to show; nothing reaches the user. The default
// presenter, and the fallback of the desktop one.
class RecordingNotificationPresenter final : public INotificationPresenter {
  public:
    // Only the newest ones are kept, so an app that never shows its
    // notifications does not collect them for ever.
    static constexpr std::size_t MAX_RECORDED = 1000;

    void present(const NotificationRequest& request) override;
    // The newest MAX_RECORDED, oldest first.
    std::vector<NotificationRequest> presented() const;
    // Called after each recorded notification, on the centre's queue.
    void setObserver(std::function<void(const NotificationRequest&)> observer);

  private:
    mutable Mutex mu_;
    std::deque<NotificationRequest> presented_ GUARDED_BY(mu_);
    std::function<void(const NotificationRequest&)> observer_ GUARDED_BY(mu_);
};

// The user-notification centre of the process: it keeps scheduled requests in
// memory and, while the process runs, delivers each when its date comes (on
// the scheduler, measured on the current clock) to the presenter. Nothing
// survives the process: a request still pending at exit is gone.
//
// Completions run on the centre's serial queue "UserNotificationCenterQueue",
// never on the caller's thread.
class UserNotificationCenter {
  public:
    static constexpr const char* QUEUE_LABEL = "UserNotificationCenterQueue";
    // A request answered by none of these is forgotten once this many newer
    // ones were delivered.
    static constexpr std::size_t MAX_DELIVERED = 1000;

    using AddCompletion = std::function<void(const std::optional<std::string>& error)>;
    using PendingCompletion = std::function<void(std::vector<NotificationRequest> requests)>;
    using ResponseHandler = std::function<void(const NotificationResponse& response)>;

    static UserNotificationCenter& current();

    // Schedules the request; a pending one with the same identifier is
    // replaced (and goes to the end of the order). A calendar trigger whose
    // fields name no date, a year outside 1...9999, a repeating trigger or a
    // date more than a second in the past is refused with an error. A request
    // without a trigger is delivered at once.
    void add(NotificationRequest request, AddCompletion completion);
    // The pending requests, in the order they were added.
    void getPendingNotificationRequests(PendingCompletion completion);
    // Identifiers that are not pending are ignored; delivered ones stay.
    void removePendingNotificationRequests(const std::vector<std::string>& identifiers);
    void removeAllPendingNotificationRequests();

    // ---- The OS side (the host drives these) ------------------------------

    // Shows a notification now (a remote notification arriving).
    void deliver(NotificationRequest request);
    // The user answered a delivered notification: the response handler gets
    // it on the calling thread. False when no delivered notification has that
    // identifier (already answered, or never shown).
    bool respond(const std::string& identifier, const std::string& actionIdentifier);
    // Where responses go (the app's notification-centre delegate); empty: nowhere.
    void setResponseHandler(ResponseHandler handler);
    // Null restores a fresh recording presenter.
    void setPresenter(std::shared_ptr<INotificationPresenter> presenter);
    std::shared_ptr<INotificationPresenter> presenter() const;
    // The delivered notifications not yet answered, oldest first.
    std::vector<NotificationRequest> delivered() const;
    // Waits until every block queued on the centre's queue before the call ran.
    void flush();

    // The second since the epoch the trigger names in the device's time zone,
    // or why none.
    static StatusOr<std::int64_t> fireSecond(const CalendarNotificationTrigger& trigger);
    // The same as an instant of the clock (refused beyond its range).
    static StatusOr<WallTime> fireDate(const CalendarNotificationTrigger& trigger);

    UserNotificationCenter();
    UserNotificationCenter(const UserNotificationCenter&) = delete;
    UserNotificationCenter& operator=(const UserNotificationCenter&) = delete;

  private:
    struct State;

    void fire(const std::string& identifier, std::uint64_t generation);
    void present(const NotificationRequest& request);
    void reset();

    std::shared_ptr<State> state_;
};

// The application's state as a push callback reports it: active in the
// foreground, inactive before the first activation (a launch), background
// once it resigned.
enum class ApplicationState { active = 0, inactive = 1, background = 2 };
ApplicationState applicationState();
// Kept by host::applicationDidBecomeActive and host::applicationWillResignActive.
void setApplicationState(ApplicationState state);

// Writes data to a fresh private temporary folder (0700) under fileName and
// makes it a notification attachment. The name loses every "/" and NUL byte
// (an empty result becomes "attachment"). Only images are taken: PNG, JPEG,
// GIF, WebP or BMP, told by their first bytes.
StatusOr<NotificationAttachment> makeNotificationAttachment(std::string identifier,
                                                            std::string_view fileName,
                                                            std::string_view data);

}  // namespace sorvel::platform
