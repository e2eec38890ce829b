#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sorvel::platform {

// The app-tracking authorisation of the device (raw values as the OS gives them).
enum class TrackingAuthorizationStatus {
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    authorized = 3
};

// The user's notification permission for the app.
enum class NotificationAuthorizationStatus {
    notDetermined = 0,
    denied = 1,
    authorized = 2,
    provisional = 3,
    ephemeral = 4,
};

// The mobile carrier of the SIM, when there is one.
struct CarrierInfo {
    std::string name;
    std::string mobileCountryCode;
    std::string mobileNetworkCode;
    std::string isoCountryCode;
};

struct NetworkInterface {
    std::string name;     // "eth0", "lo", "wlan0", ...
    std::string family;   // "ipv4" or "ipv6"
    std::string address;  // numeric text
    bool up = false;
    bool loopback = false;
};

// What the SDK reads about the device. Model, OS version and network
// interfaces are the machine's own; carrier, radio, advertising id and the two
// authorisations are simulated values the host sets (host::setCarrier, ...).
class Device {
  public:
    static constexpr const char* ZERO_ADVERTISING_ID = "00000000-0000-0000-0000-000000000000";

    // The hardware model (uname's machine, e.g. "x86_64").
    static std::string model();
    // The OS version (VERSION_ID of os-release; the kernel release when absent).
    static std::string osVersion();
    // Every address of every interface, as getifaddrs lists them.
    static std::vector<NetworkInterface> networkInterfaces();

    // Absent unless the host set one.
    static std::optional<CarrierInfo> carrier();
    // The radio access technology of the cellular link; absent unless set.
    static std::optional<std::string> radioAccessTechnology();
    // All zeros unless the host set one (as when tracking is not authorised).
    static std::string advertisingIdentifier();
    static TrackingAuthorizationStatus trackingAuthorizationStatus();
    // Waits for nothing here; the real OS answers asynchronously. The user's
    // answer (host::setNotificationAuthorizationStatus) is kept, as the OS
    // keeps it between launches, in NOTIFICATION_PERMISSION_FILE below the
    // app's home folder (its name, a line feed); a launch that was not told
    // again reads it there.
    static NotificationAuthorizationStatus notificationAuthorizationStatus();
    static constexpr const char* NOTIFICATION_PERMISSION_FILE =
        "Library/Preferences/notification-permission";
};

}  // namespace sorvel::platform
