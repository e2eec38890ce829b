#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "Platform/Mutex.h"
#include "sorvel/SorvelNotifications.h"

namespace sorvel::push {

// How one of the rich-push faces decorates. The two styles differ in the
// language match, in whether empty custom texts apply, in where the image may
// come from, and in how the image is fetched and named.
enum class RichPushStyle {
    // Exact language match; empty custom texts ignored; the "img" of "aps"
    // attached without "custom_alert"; the image fetched off the calling
    // thread (a time-out cancels it) and named after the URL's last component.
    downloadTask,
    // Exact match with a title, else the first two characters; empty custom
    // texts applied; an image only with "custom_alert"; fetched on the
    // calling thread and named "sorvelPushImage.jpg".
    synchronous,
};

// One notification being decorated: its own handler and its own best attempt,
// so a second notification arriving meanwhile never changes what this one
// delivers. The content reaches the handler at most once, whichever of the
// decoration and the time-out comes first.
class RichPushRequest {
  public:
    RichPushRequest(NotificationContent content, NotificationContentHandler handler);

    // Applies a change to the best attempt (skipped once delivered).
    void update(const std::function<void(NotificationContent&)>& change);
    // Hands the best attempt to the handler unless that was done already.
    // True when this call delivered.
    bool deliver();
    bool delivered() const { return delivered_.load(); }
    // Set by a time-out: a fetch in flight stops.
    std::atomic<bool> cancelled{false};

  private:
    mutable platform::Mutex mu_;
    NotificationContent content_ GUARDED_BY(mu_);
    NotificationContentHandler handler_ GUARDED_BY(mu_);
    std::atomic<bool> delivered_{false};
};

// The decoration shared by the three faces. It remembers the latest request,
// which a time-out delivers.
class RichPushDecorator {
  public:
    explicit RichPushDecorator(RichPushStyle style) : style_(style) {}

    // Keeps the request as the latest one and returns its state.
    std::shared_ptr<RichPushRequest> begin(const NotificationRequest& request,
                                           NotificationContentHandler handler);
    // Decorates and delivers. The synchronous style returns once delivered;
    // the download style may hand the image fetch to the global queue and
    // return first.
    void decorate(const std::shared_ptr<RichPushRequest>& request, const Value::Map& userInfo);
    // The time is up: the latest request's best attempt is delivered now (once).
    void timeWillExpire();

    // The language entry of "custom_alert" this style picks, or null.
    const Value::Map* chooseEntry(const Value::Map& customAlert, const std::string& language) const;

  private:
    void decorateDownloadTask(const std::shared_ptr<RichPushRequest>& request,
                              const Value::Map& userInfo);
    void decorateSynchronous(const std::shared_ptr<RichPushRequest>& request,
                             const Value::Map& userInfo);

    const RichPushStyle style_;
    platform::Mutex mu_;
    std::shared_ptr<RichPushRequest> latest_ GUARDED_BY(mu_);
};

}  // namespace sorvel::push
