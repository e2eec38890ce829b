#include "Platform/Device.h"
#include "Platform/Host.h"
#include "Public/FacadeInternal.h"
#include "sorvel/SorvelHost.h"

// The host's user-notification controls.

namespace sorvel {

void SorvelHost::setNotificationPermission(bool granted) noexcept {
    facade::boundary("SorvelHost::setNotificationPermission", [&] {
        platform::host::setNotificationAuthorizationStatus(
            granted ? platform::NotificationAuthorizationStatus::authorized
                    : platform::NotificationAuthorizationStatus::denied);
    });
}

bool SorvelHost::useDesktopNotifications(const std::string& busAddress) noexcept {
    return facade::boundary("SorvelHost::useDesktopNotifications", false,
                            [&] { return platform::host::useDesktopNotifications(busAddress); });
}

void SorvelHost::setNotificationResponseHandler(
    std::function<void(const NotificationResponse&)> handler) noexcept {
    facade::boundary("SorvelHost::setNotificationResponseHandler",
                     [&] { platform::host::setNotificationResponseHandler(std::move(handler)); });
}

void SorvelHost::setNotificationServiceExtension(
    std::shared_ptr<NotificationServiceExtension> extension) noexcept {
    facade::boundary("SorvelHost::setNotificationServiceExtension", [&] {
        platform::host::setNotificationServiceExtension(std::move(extension));
    });
}

std::string SorvelHost::deliverRemoteNotification(const std::string& payloadJson) noexcept {
    return facade::boundary("SorvelHost::deliverRemoteNotification", std::string(), [&] {
        return platform::host::deliverRemoteNotification(payloadJson).value_or("");
    });
}

bool SorvelHost::runNotificationServiceExtension(
    std::shared_ptr<NotificationServiceExtension> extension, const std::string& payloadJson,
    std::function<void(NotificationContent)> done) noexcept {
    return facade::boundary("SorvelHost::runNotificationServiceExtension", false, [&] {
        return platform::host::runNotificationServiceExtension(std::move(extension), payloadJson,
                                                               std::move(done));
    });
}

bool SorvelHost::tapNotification(const std::string& identifier) noexcept {
    return facade::boundary("SorvelHost::tapNotification", false,
                            [&] { return platform::host::tapNotification(identifier); });
}

bool SorvelHost::dismissNotification(const std::string& identifier) noexcept {
    return facade::boundary("SorvelHost::dismissNotification", false,
                            [&] { return platform::host::dismissNotification(identifier); });
}

std::vector<NotificationRequest> SorvelHost::deliveredNotifications() noexcept {
    return facade::boundary(
        "SorvelHost::deliveredNotifications", std::vector<NotificationRequest>(),
        [&] { return platform::UserNotificationCenter::current().delivered(); });
}

void SorvelHost::setLocalizedStringProvider(
    std::function<std::string(const std::string&)> provider) noexcept {
    facade::boundary("SorvelHost::setLocalizedStringProvider",
                     [&] { platform::host::setLocalizedStringProvider(std::move(provider)); });
}

}  // namespace sorvel
