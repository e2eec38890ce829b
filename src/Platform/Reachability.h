#pragma once

#include <cstdint>
#include <string>

namespace sorvel::platform {

// Network reachability: the status text "wifi", "mobile" or "unknown" (no
// route to the internet), read from the machine's default routes, IPv4 and
// IPv6. A host may override the status (host::setReachability: the network
// drops, the device switches to mobile data).
//
// Every change of the status or of the override is posted on
// NotificationCenter::shared() as kSvlKvReachabilityChangedNotification, with
// the new status text as the notification's info, on the thread that saw it.
// A platform thread listens to the kernel's routing messages (a netlink route
// socket) from the first use of shared() on, so a change is posted when the
// network changes, not only when something happens to read the status.
class Reachability {
    struct PassKey {};

  public:
    static constexpr const char* kSvlKvReachabilityChangedNotification =
        "kNetworkReachabilityChangedNotification";
    static constexpr const char* WIFI = "wifi";
    static constexpr const char* MOBILE = "mobile";
    static constexpr const char* UNKNOWN = "unknown";

    static Reachability& shared();

    // The current status. While the kernel's route changes are watched and
    // the machine's own tables are in use, the status the watch last noted
    // (a change is noted once its burst of route messages settles, about
    // 50 ms); otherwise re-reads the route tables (unless overridden) and
    // posts the change notification when the status differs from the last
    // one seen.
    std::string currentStatus();
    // How many times the route tables were read since the process started.
    static std::uint64_t tableReads();
    // Whether the kernel's route changes are watched (on the timers' thread). Where the
    // kernel refuses the socket, a change is seen when the status is next read.
    bool isWatching() const;

    // The status the route tables give, as /proc/net/route and
    // /proc/net/ipv6_route print them: among the default routes that are up
    // and lead somewhere (not rejecting, not through the loopback), the one
    // with the lowest metric decides; an IPv4 one wins over IPv6, whose
    // metrics are counted differently. No such route is "unknown".
    static std::string statusFromRouteTables(const std::string& ipv4, const std::string& ipv6);
    // Interface name to status: "wl*" wifi, "wwan*"/"rmnet*"/"ppp*" mobile,
    // anything else (wired ethernet) wifi.
    static std::string statusForInterface(const std::string& iface);

    // Only shared() makes one.
    explicit Reachability(PassKey);
};

}  // namespace sorvel::platform
