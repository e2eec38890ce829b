#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <systemd/sd-bus.h>

#include "Platform/Mutex.h"
#include "Platform/UserNotificationCenter.h"

namespace sorvel::platform {

// Shows notifications through the desktop's notification service
// (org.freedesktop.Notifications on the session bus): the title as the
// summary, the subtitle and body as the body, the first attachment as the
// "image-path" hint, a named sound as "sound-name", and a default action. A
// click on it comes back through the response sink as the default action, a
// dismissal by the user as the dismiss action.
//
// One thread of its own owns the bus connection: present() only queues, so
// the centre's queue never waits on the bus.
class DesktopNotificationPresenter final : public INotificationPresenter {
    struct PassKey {};

  public:
    // How long one call to the service may take.
    static constexpr int CALL_TIMEOUT_MS = 5000;

    // Connects to the bus at address (empty: the session bus of the
    // environment). Null when there is none; the first such failure of the
    // process is written to the system log.
    static std::shared_ptr<DesktopNotificationPresenter> connect(const std::string& address);

    DesktopNotificationPresenter(PassKey, sd_bus* bus, int wakeFd);
    ~DesktopNotificationPresenter() override;
    DesktopNotificationPresenter(const DesktopNotificationPresenter&) = delete;
    DesktopNotificationPresenter& operator=(const DesktopNotificationPresenter&) = delete;

    void present(const NotificationRequest& request) override;
    void setResponseSink(ResponseSink sink) override;

  private:
    void run();
    void show(const NotificationRequest& request);
    void wake();
    static int onActionInvoked(::sd_bus_message* m, void* self, ::sd_bus_error* error);
    static int onClosed(::sd_bus_message* m, void* self, ::sd_bus_error* error);
    void report(std::uint32_t busId, const std::string& action);

    sd_bus* bus_;  // the worker thread's only
    const int wakeFd_;
    // Bus notification id to request identifier; the worker thread's only.
    std::map<std::uint32_t, std::string> shown_;
    Mutex mu_;
    std::deque<NotificationRequest> queue_ GUARDED_BY(mu_);
    bool stop_ GUARDED_BY(mu_) = false;
    ResponseSink sink_ GUARDED_BY(mu_);
    bool failureLogged_ = false;  // the worker thread's only
    std::thread worker_;
};

}  // namespace sorvel::platform
