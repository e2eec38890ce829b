#include <atomic>
#include <utility>

#include "Platform/Crypto.h"
#include "Platform/DesktopNotificationPresenter.h"
#include "Platform/Dispatch.h"
#include "Platform/Host.h"
#include "Platform/LocalizedString.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"
#include "Platform/Scheduler.h"

// The OS side of user notifications: what arrives from the push service, what
// the user does with a shown notification, and the service extension's run.

namespace sorvel::platform {
namespace {

struct HostState {
    Mutex mu;
    std::shared_ptr<NotificationServiceExtension> extension GUARDED_BY(mu);
    std::function<std::string(const std::string&)> localize GUARDED_BY(mu);
};

HostState& hostState() {
    static NoDestructor<HostState> state;
    static const bool registered = [] {
        registerResetHook([] {
            MutexLock lock(hostState().mu);
            hostState().extension = nullptr;
            hostState().localize = nullptr;
        });
        return true;
    }();
    (void)registered;
    return state.get();
}

const Value* entry(const Value::Map& map, const char* key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

// The request the OS makes of a remote payload: the alert's texts, the sound,
// the badge and the grouping ids of "aps", the whole payload as user info.
std::optional<NotificationRequest> requestOf(const std::string& payloadJson) {
    if (payloadJson.size() > host::MAX_REMOTE_PAYLOAD_BYTES) {
        SystemLog::log(LogLevel::warning, "remote notification refused: the payload has " +
                                              std::to_string(payloadJson.size()) +
                                              " bytes, more than " +
                                              std::to_string(host::MAX_REMOTE_PAYLOAD_BYTES));
        return std::nullopt;
    }
    std::optional<Value> parsed = Value::fromJson(payloadJson);
    if (!parsed || !parsed->isMap()) {
        SystemLog::log(LogLevel::warning,
                       "remote notification refused: the payload is not a JSON object");
        return std::nullopt;
    }
    NotificationRequest request;
    request.identifier = crypto::uuidString();
    NotificationContent& content = request.content;
    content.userInfo = std::move(*parsed->getMap());
    const Value* apsValue = entry(content.userInfo, "aps");
    const Value::Map* aps = apsValue ? apsValue->getMap() : nullptr;
    if (aps == nullptr) {
        return request;
    }
    if (const Value* alert = entry(*aps, "alert")) {
        if (const auto* text = alert->getString()) {
            content.body = *text;
        } else if (const auto* m = alert->getMap()) {
            auto take = [&](const char* key, std::string& field) {
                if (const Value* v = entry(*m, key); v && v->isString())
                    field = *v->getString();
            };
            take("title", content.title);
            take("subtitle", content.subtitle);
            take("body", content.body);
        }
    }
    if (const Value* sound = entry(*aps, "sound"); sound && sound->isString()) {
        content.sound = *sound->getString() == "default"
                            ? NotificationSound::defaultSound()
                            : NotificationSound::named(*sound->getString());
    }
    if (const Value* badge = entry(*aps, "badge"); badge && badge->isInt64()) {
        content.badge = *badge->getInt64();
    }
    if (const Value* t = entry(*aps, "thread-id"); t && t->isString()) {
        content.threadIdentifier = *t->getString();
    }
    if (const Value* c = entry(*aps, "category"); c && c->isString()) {
        content.categoryIdentifier = *c->getString();
    }
    return request;
}

// Runs the extension on the request; `done` gets the content once: the one the
// extension hands over, or, when it hands nothing even after being told its
// time is up, the content as it came.
void runExtension(std::shared_ptr<NotificationServiceExtension> extension,
                  const NotificationRequest& request,
                  std::function<void(NotificationContent)> done) {
    struct Once {
        Mutex mu;
        std::atomic<bool> called{false};
        std::atomic<std::uint64_t> timer{0};
        std::function<void(NotificationContent)> done GUARDED_BY(mu);
        void call(NotificationContent c) {
            if (called.exchange(true)) {
                return;
            }
            std::function<void(NotificationContent)> d;
            {
                MutexLock lock(mu);
                d = std::move(done);
            }
            // Answered: the time-out has nothing left to do.
            detail::Scheduler::instance().cancel(timer.load());
            if (d) {
                d(std::move(c));
            }
        }
    };
    auto once = std::make_shared<Once>();
    {
        MutexLock lock(once->mu);
        once->done = std::move(done);
    }
    std::weak_ptr<NotificationServiceExtension> weakExtension = extension;
    // The timer keeps the run until its time is up or it is answered.
    once->timer = detail::Scheduler::instance().after(
        host::SERVICE_EXTENSION_TIME, [once, weakExtension, original = request.content] {
            DispatchQueue::global().async([once, weakExtension, original] {
                if (once->called) {
                    return;
                }
                if (auto ext = weakExtension.lock()) {
                    ext->serviceExtensionTimeWillExpire();
                }
                once->call(original);
            });
        });
    extension->didReceive(request,
                          [once](NotificationContent content) { once->call(std::move(content)); });
}

}  // namespace

std::string localizedString(const std::string& key) {
    std::function<std::string(const std::string&)> localize;
    {
        MutexLock lock(hostState().mu);
        localize = hostState().localize;
    }
    return localize ? localize(key) : key;
}

namespace host {

void setNotificationPresenter(std::shared_ptr<INotificationPresenter> presenter) {
    UserNotificationCenter::current().setPresenter(std::move(presenter));
}

bool useDesktopNotifications(const std::string& busAddress) {
    auto presenter = DesktopNotificationPresenter::connect(busAddress);
    if (!presenter) {
        return false;
    }
    UserNotificationCenter::current().setPresenter(std::move(presenter));
    return true;
}

void setNotificationResponseHandler(UserNotificationCenter::ResponseHandler handler) {
    UserNotificationCenter::current().setResponseHandler(std::move(handler));
}

void setNotificationServiceExtension(std::shared_ptr<NotificationServiceExtension> extension) {
    MutexLock lock(hostState().mu);
    hostState().extension = std::move(extension);
}

std::optional<std::string> deliverRemoteNotification(const std::string& payloadJson) {
    std::optional<NotificationRequest> request = requestOf(payloadJson);
    if (!request) {
        return std::nullopt;
    }
    std::shared_ptr<NotificationServiceExtension> extension;
    {
        MutexLock lock(hostState().mu);
        extension = hostState().extension;
    }
    const std::string id = request->identifier;
    if (!extension) {
        UserNotificationCenter::current().deliver(std::move(*request));
        return id;
    }
    runExtension(extension, *request, [request = *request](NotificationContent content) mutable {
        request.content = std::move(content);
        UserNotificationCenter::current().deliver(std::move(request));
    });
    return id;
}

bool runNotificationServiceExtension(std::shared_ptr<NotificationServiceExtension> extension,
                                     const std::string& payloadJson,
                                     std::function<void(NotificationContent)> done) {
    std::optional<NotificationRequest> request = requestOf(payloadJson);
    if (!request || !extension) {
        return false;
    }
    runExtension(std::move(extension), *request, std::move(done));
    return true;
}

bool tapNotification(const std::string& identifier) {
    return UserNotificationCenter::current().respond(
        identifier, NotificationResponse::DEFAULT_ACTION_IDENTIFIER);
}

bool dismissNotification(const std::string& identifier) {
    return UserNotificationCenter::current().respond(
        identifier, NotificationResponse::DISMISS_ACTION_IDENTIFIER);
}

void setLocalizedStringProvider(std::function<std::string(const std::string&)> provider) {
    MutexLock lock(hostState().mu);
    hostState().localize = std::move(provider);
}

}  // namespace host
}  // namespace sorvel::platform
