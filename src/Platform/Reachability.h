#pragma once

#include <optional>
#include <string>

#include "Platform/Mutex.h"

namespace sorvel::platform {

// Network reachability of the design: the status text "wifi", "mobile" or
// "unknown" (no route to the internet), read from the machine's default route.
// A host may override the status (the network drops, the device switches to
// mobile data). Every change of the status or of the override is posted on
// NotificationCenter::shared() as kSvlKvReachabilityChangedNotification, with
// the new status text as the notification's info, on the thread that saw it.
class Reachability {
  public:
    static constexpr const char* kSvlKvReachabilityChangedNotification =
        "kNetworkReachabilityChangedNotification";
    static constexpr const char* WIFI = "wifi";
    static constexpr const char* MOBILE = "mobile";
    static constexpr const char* UNKNOWN = "unknown";

    static Reachability& shared();

    // The current status; re-reads the route table (unless overridden) and posts
    // the change notification when the status differs from the last one seen.
    std::string currentStatus();

    // Host control: an override wins over the route table; absent removes it.
    void setOverride(std::optional<std::string> status);
    // Host control: read this file instead of /proc/net/route.
    void setRouteTablePath(std::string path);

    // The status a /proc/net/route text gives: the lowest-metric default route
    // that is up decides; no such route is "unknown".
    static std::string statusFromRouteTable(const std::string& table);
    // Interface name to status: "wl*" wifi, "wwan*"/"rmnet*"/"ppp*" mobile,
    // anything else (wired ethernet) wifi.
    static std::string statusForInterface(const std::string& iface);

  private:
    Reachability();
    std::string readRouteStatus(const std::string& path) const;
    // Records the new effective status; true when it differs from the last seen.
    bool noteStatusLocked(const std::string& status) EXCLUSIVE_LOCKS_REQUIRED(mu_);
    void post(const std::string& status);
    void resetForHost();

    Mutex mu_;
    std::optional<std::string> override_ GUARDED_BY(mu_);
    std::string routePath_ GUARDED_BY(mu_);
    std::optional<std::string> lastStatus_ GUARDED_BY(mu_);
};

}  // namespace sorvel::platform
