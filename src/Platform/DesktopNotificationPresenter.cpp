#include "Platform/DesktopNotificationPresenter.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "Platform/Bundle.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
// NotificationClosed's reason for "dismissed by the user".
constexpr std::uint32_t kClosedByUser = 2;

std::atomic<bool> g_noBusLogged{false};

std::string errnoText(int r) {
    return std::strerror(r < 0 ? -r : r);
}

// "file://" and the path, with the bytes a URI cannot hold escaped.
std::string fileUri(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out = "file://";
    for (unsigned char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '/' || c == '-' || c == '_' || c == '.' ||
                           c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// D-Bus strings must be valid UTF-8 without NUL; anything else is replaced
// rather than refused, so a notification with odd text still shows.
std::string busText(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80         ? 1
                          : (c >> 5) == 6  ? 2
                          : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4
                                           : 0;
        bool ok = len != 0 && i + len <= s.size() && c != 0;
        for (std::size_t k = 1; ok && k < len; ++k) {
            ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        }
        if (ok && len > 1) {
            // No overlong forms, surrogates or code points past U+10FFFF.
            std::uint32_t cp = c & (0xFF >> (len + 1));
            for (std::size_t k = 1; k < len; ++k)
                cp = (cp << 6) | (s[i + k] & 0x3F);
            ok = !(len == 2 && cp < 0x80) && !(len == 3 && cp < 0x800) &&
                 !(len == 4 && cp < 0x10000) && !(cp >= 0xD800 && cp <= 0xDFFF) && cp <= 0x10FFFF;
        }
        if (ok) {
            out.append(s, i, len);
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            i += 1;
        }
    }
    return out;
}

}  // namespace

std::shared_ptr<DesktopNotificationPresenter> DesktopNotificationPresenter::connect(
    const std::string& address) {
    sd_bus* bus = nullptr;
    int r = 0;
    if (address.empty()) {
        r = sd_bus_open_user(&bus);
    } else {
        r = sd_bus_new(&bus);
        if (r >= 0)
            r = sd_bus_set_address(bus, address.c_str());
        if (r >= 0)
            r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0)
            r = sd_bus_start(bus);
    }
    if (r < 0) {
        if (bus != nullptr)
            sd_bus_flush_close_unref(bus);
        if (!g_noBusLogged.exchange(true)) {
            SystemLog::log(LogLevel::warning, "desktop notifications are off: no session bus (" +
                                                  errnoText(r) +
                                                  "); notifications are only recorded");
        }
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus, static_cast<std::uint64_t>(CALL_TIMEOUT_MS) * 1000u);
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        sd_bus_flush_close_unref(bus);
        SystemLog::log(LogLevel::warning, "desktop notifications are off: " + errnoText(errno));
        return nullptr;
    }
    return std::make_shared<DesktopNotificationPresenter>(PassKey{}, bus, wakeFd);
}

DesktopNotificationPresenter::DesktopNotificationPresenter(PassKey, sd_bus* bus, int wakeFd)
    : bus_(bus), wakeFd_(wakeFd) {
    sd_bus_match_signal(bus_, nullptr, nullptr, kPath, kInterface, "ActionInvoked",
                        &DesktopNotificationPresenter::onActionInvoked, this);
    sd_bus_match_signal(bus_, nullptr, nullptr, kPath, kInterface, "NotificationClosed",
                        &DesktopNotificationPresenter::onClosed, this);
    worker_ = std::thread([this] { run(); });
}

DesktopNotificationPresenter::~DesktopNotificationPresenter() {
    {
        MutexLock lock(mu_);
        stop_ = true;
    }
    wake();
    if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();  // the last owner let go from a response: the loop ends on its own
    } else if (worker_.joinable()) {
        worker_.join();
    }
}

void DesktopNotificationPresenter::present(const NotificationRequest& request) {
    {
        MutexLock lock(mu_);
        queue_.push_back(request);
    }
    wake();
}

void DesktopNotificationPresenter::setResponseSink(ResponseSink sink) {
    MutexLock lock(mu_);
    sink_ = std::move(sink);
}

void DesktopNotificationPresenter::wake() {
    const std::uint64_t one = 1;
    ssize_t n = 0;
    do {
        n = ::write(wakeFd_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void DesktopNotificationPresenter::run() {
    for (;;) {
        std::deque<NotificationRequest> work;
        {
            MutexLock lock(mu_);
            if (stop_)
                break;
            work.swap(queue_);
        }
        for (const auto& request : work) {
            show(request);
        }
        int r = 0;
        do {
            r = sd_bus_process(bus_, nullptr);
        } while (r > 0);
        if (r < 0) {
            SystemLog::log(LogLevel::warning,
                           "desktop notifications stopped: the bus failed (" + errnoText(r) + ")");
            break;
        }
        pollfd fds[2] = {{sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0},
                         {wakeFd_, POLLIN, 0}};
        std::uint64_t usec = 0;
        int timeoutMs = -1;
        if (sd_bus_get_timeout(bus_, &usec) > 0 && usec != UINT64_MAX) {
            timeoutMs = 1000;  // an absolute time-out is due: look again soon
        }
        if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR) {
            break;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t drained = 0;
            (void)!::read(wakeFd_, &drained, sizeof drained);
        }
    }
    sd_bus_flush_close_unref(bus_);
    bus_ = nullptr;
    ::close(wakeFd_);
}

void DesktopNotificationPresenter::show(const NotificationRequest& request) {
    const NotificationContent& c = request.content;
    sd_bus_message* m = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::string body = c.subtitle.empty() ? c.body
                       : c.body.empty()   ? c.subtitle
                                          : c.subtitle + "\n" + c.body;
    int r = sd_bus_message_new_method_call(bus_, &m, kService, kPath, kInterface, "Notify");
    if (r >= 0) {
        r = sd_bus_message_append(m, "susss", busText(Bundle::bundleId()).c_str(), 0u, "",
                                  busText(c.title).c_str(), busText(body).c_str());
    }
    if (r >= 0)
        r = sd_bus_message_append(m, "as", 2, "default", "Open");
    if (r >= 0)
        r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r >= 0 && !c.attachments.empty()) {
        r = sd_bus_message_append(m, "{sv}", "image-path", "s",
                                  fileUri(c.attachments.front().path).c_str());
    }
    if (r >= 0 && c.sound && !c.sound->isDefault) {
        r = sd_bus_message_append(m, "{sv}", "sound-name", "s", busText(c.sound->name).c_str());
    }
    if (r >= 0 && !c.sound) {
        r = sd_bus_message_append(m, "{sv}", "suppress-sound", "b", 1);
    }
    if (r >= 0)
        r = sd_bus_message_close_container(m);
    if (r >= 0)
        r = sd_bus_message_append(m, "i", -1);
    std::uint32_t id = 0;
    if (r >= 0)
        r = sd_bus_call(bus_, m, 0, &error, &reply);
    if (r >= 0)
        r = sd_bus_message_read(reply, "u", &id);
    if (r < 0) {
        if (!failureLogged_) {
            failureLogged_ = true;
            SystemLog::log(LogLevel::warning,
                           "a desktop notification was not shown: " +
                               std::string(error.message ? error.message : errnoText(r)));
        }
    } else {
        shown_[id] = request.identifier;
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(m);
}

void DesktopNotificationPresenter::report(std::uint32_t busId, const std::string& action) {
    auto it = shown_.find(busId);
    if (it == shown_.end()) {
        return;  // another app's notification, or one already answered
    }
    const std::string identifier = it->second;
    shown_.erase(it);
    ResponseSink sink;
    {
        MutexLock lock(mu_);
        sink = sink_;
    }
    if (sink) {
        sink(identifier, action);
    }
}

int DesktopNotificationPresenter::onActionInvoked(sd_bus_message* m, void* self, sd_bus_error*) {
    std::uint32_t id = 0;
    const char* key = nullptr;
    if (sd_bus_message_read(m, "us", &id, &key) < 0 || key == nullptr) {
        return 0;
    }
    const std::string action =
        std::strcmp(key, "default") == 0 ? NotificationResponse::DEFAULT_ACTION_IDENTIFIER : key;
    static_cast<DesktopNotificationPresenter*>(self)->report(id, action);
    return 0;
}

int DesktopNotificationPresenter::onClosed(sd_bus_message* m, void* self, sd_bus_error*) {
    std::uint32_t id = 0;
    std::uint32_t reason = 0;
    if (sd_bus_message_read(m, "uu", &id, &reason) < 0) {
        return 0;
    }
    auto* p = static_cast<DesktopNotificationPresenter*>(self);
    if (reason == kClosedByUser) {
        p->report(id, NotificationResponse::DISMISS_ACTION_IDENTIFIER);
    } else {
        p->shown_.erase(id);  // expired or closed by the app: no answer from the user
    }
    return 0;
}

}  // namespace sorvel::platform
