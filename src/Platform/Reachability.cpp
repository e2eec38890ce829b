#include "Platform/Reachability.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <vector>

#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/NotificationCenter.h"
#include "Platform/ProcessState.h"
#include "Platform/Scheduler.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform {
namespace {

constexpr const char* kIpv4RoutePath = "/proc/net/route";
constexpr const char* kIpv6RoutePath = "/proc/net/ipv6_route";
constexpr unsigned long kRouteUp = 0x1;        // RTF_UP
constexpr unsigned long kRouteReject = 0x200;  // RTF_REJECT: "unreachable", "prohibit"
// Routing messages come in bursts (a link going down takes its addresses and
// routes with it); the tables are read once the burst has been quiet this long.
constexpr int kSettleMillis = 50;

struct ReachabilityState {
    Mutex mu;
    std::optional<std::string> override GUARDED_BY(mu);
    std::string ipv4Path GUARDED_BY(mu) = kIpv4RoutePath;
    std::string ipv6Path GUARDED_BY(mu) = kIpv6RoutePath;
    std::optional<std::string> lastStatus GUARDED_BY(mu);
    // The machine's own tables are read (no host gave files of its own).
    bool defaultPaths GUARDED_BY(mu) = true;
    std::atomic<std::uint64_t> tableReads{0};
    // Held from reading the tables to noting what they gave, so two threads
    // reading at once cannot note an older reading after a newer one.
    Mutex refreshMu ACQUIRED_BEFORE(mu);
    std::atomic<bool> watching{false};

    ReachabilityState() {
        registerResetHook([this] {
            MutexLock lock(mu);
            override.reset();
            ipv4Path = kIpv4RoutePath;
            ipv6Path = kIpv6RoutePath;
            defaultPaths = true;
            lastStatus.reset();
        });
    }
};

ReachabilityState& state() {
    static NoDestructor<ReachabilityState> s;
    return s.get();
}

bool parseHex(const std::string& text, unsigned long& out) {
    if (text.empty() || text.size() > 16) {
        return false;
    }
    try {
        std::size_t used = 0;
        out = std::stoul(text, &used, 16);
        return used == text.size();
    } catch (...) {
        return false;
    }
}

bool parseDecimal(const std::string& text, unsigned long& out) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != text.npos) {
        return false;
    }
    out = std::stoul(text);
    return true;
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

std::vector<std::string> fieldsOf(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> f;
    std::string field;
    while (in >> field) {
        f.push_back(field);
    }
    return f;
}

// The interface of the best default route seen so far.
struct BestRoute {
    std::optional<std::string> iface;
    unsigned long metric = std::numeric_limits<unsigned long>::max();

    void consider(const std::string& name, unsigned long flags, unsigned long m) {
        if ((flags & kRouteUp) == 0 || (flags & kRouteReject) != 0 || name == "lo") {
            return;
        }
        if (!iface || m < metric) {
            iface = name;
            metric = m;
        }
    }
};

// Iface Destination Gateway Flags RefCnt Use Metric Mask ... (hex but the
// decimal counters), after a line of column titles.
BestRoute bestIpv4(const std::string& table) {
    BestRoute best;
    std::istringstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        auto f = fieldsOf(line);
        unsigned long dest = 0;
        unsigned long flags = 0;
        unsigned long metric = 0;
        unsigned long mask = 0;
        if (f.size() < 8 || !parseHex(f[1], dest) || !parseHex(f[3], flags) ||
            !parseDecimal(f[6], metric) || !parseHex(f[7], mask)) {
            continue;
        }
        if (dest == 0 && mask == 0) {
            best.consider(f[0], flags, metric);
        }
    }
    return best;
}

// Destination, prefix length, source, prefix length, next hop, metric,
// reference count, use count, flags, interface: hex, no titles.
BestRoute bestIpv6(const std::string& table) {
    BestRoute best;
    std::istringstream in(table);
    std::string line;
    while (std::getline(in, line)) {
        auto f = fieldsOf(line);
        unsigned long prefix = 0;
        unsigned long metric = 0;
        unsigned long flags = 0;
        if (f.size() < 10 || f[0].size() != 32 || !parseHex(f[1], prefix) ||
            !parseHex(f[5], metric) || !parseHex(f[8], flags)) {
            continue;
        }
        if (prefix == 0 && f[0] == std::string(32, '0')) {
            best.consider(f[9], flags, metric);
        }
    }
    return best;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        return "";
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void post(const std::string& status) {
    NotificationCenter::shared().post(Reachability::kSvlKvReachabilityChangedNotification,
                                      Value(status));
}

// The status now: the override, else what the tables say.
std::string readStatus(ReachabilityState& s) EXCLUSIVE_LOCKS_REQUIRED(s.refreshMu) {
    std::optional<std::string> forced;
    std::string ipv4;
    std::string ipv6;
    {
        MutexLock lock(s.mu);
        forced = s.override;
        ipv4 = s.ipv4Path;
        ipv6 = s.ipv6Path;
    }
    if (forced) {
        return *forced;
    }
    // The files are read outside the state lock: a slow read must not stall
    // the host.
    s.tableReads.fetch_add(1, std::memory_order_relaxed);
    return Reachability::statusFromRouteTables(readFile(ipv4), readFile(ipv6));
}

// Reads the status and notes it; posts when it differs from the last one
// noted (the first one noted is no change).
std::string refresh() {
    auto& s = state();
    std::string status;
    bool changed = false;
    {
        MutexLock reading(s.refreshMu);
        status = readStatus(s);
        MutexLock lock(s.mu);
        changed = s.lastStatus.has_value() && *s.lastStatus != status;
        s.lastStatus = status;
    }
    if (changed) {
        post(status);
    }
    return status;
}

// Notes the status as the one later changes are compared with, unless one is
// noted already; posts nothing.
void noteBaseline() {
    auto& s = state();
    MutexLock reading(s.refreshMu);
    {
        MutexLock lock(s.mu);
        if (s.lastStatus) {
            return;
        }
    }
    std::string status = readStatus(s);
    MutexLock lock(s.mu);
    s.lastStatus = status;
}

// Opens a netlink socket that hears of every change of links, addresses and
// routes; -1 when the kernel refuses one.
int openRouteSocket() {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return -1;
    }
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                     RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Takes one waiting message (or an overflow, which means messages were lost).
// False when the socket failed for good.
bool takeMessage(int fd) {
    char buf[8192];
    ssize_t got = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return got >= 0 || errno == ENOBUFS || errno == EINTR || errno == EAGAIN;
}

// The messages are taken on the timers' thread as they come; the tables are
// read once every burst of them has settled. The contents of the messages do
// not matter: whatever changed, the tables say what the status now is.
void watch(int fd) {
    detail::Scheduler::instance().watchInput(
        fd, Millis(kSettleMillis),
        [fd] {
            if (takeMessage(fd)) {
                return true;
            }
            SystemLog::log(LogLevel::warning,
                           "Reachability :: the route socket failed (" +
                               std::string(std::strerror(errno)) +
                               "); changes are seen only when the status is read");
            state().watching = false;
            ::close(fd);
            return false;
        },
        [] { (void)refresh(); });
}

}  // namespace

Reachability& Reachability::shared() {
    static NoDestructor<Reachability> instance(PassKey{});
    return instance.get();
}

Reachability::Reachability(PassKey) {
    state();
    int fd = openRouteSocket();
    if (fd < 0) {
        SystemLog::log(LogLevel::warning, "Reachability :: can not watch route changes (" +
                                              std::string(std::strerror(errno)) +
                                              "); changes are seen only when the status is read");
        return;
    }
    // Noted before the watcher runs: the first change it sees is then posted,
    // and no reading of its own races the host's first ones.
    noteBaseline();
    state().watching = true;
    // Watched for as long as the process lives.
    watch(fd);
}

bool Reachability::isWatching() const {
    return state().watching;
}

std::string Reachability::statusForInterface(const std::string& iface) {
    if (startsWith(iface, "wl")) {
        return WIFI;
    }
    if (startsWith(iface, "wwan") || startsWith(iface, "rmnet") || startsWith(iface, "ppp")) {
        return MOBILE;
    }
    return WIFI;
}

std::string Reachability::statusFromRouteTables(const std::string& ipv4, const std::string& ipv6) {
    BestRoute best = bestIpv4(ipv4);
    if (!best.iface) {
        best = bestIpv6(ipv6);
    }
    return best.iface ? statusForInterface(*best.iface) : UNKNOWN;
}

std::string Reachability::currentStatus() {
    auto& s = state();
    {
        MutexLock lock(s.mu);
        // The host's word stands until it changes it, and was noted (and
        // posted) as it gave it.
        if (s.override) {
            return *s.override;
        }
        // Every change of the machine's tables reaches the watch, which reads
        // them once the burst settles: until then the status it noted stands.
        // The pipeline asks before every upload, and two reads of /proc per
        // ask cost more than the rest of a quiet stream's upload check.
        if (s.watching.load(std::memory_order_acquire) && s.defaultPaths && s.lastStatus) {
            return *s.lastStatus;
        }
    }
    return refresh();
}

std::uint64_t Reachability::tableReads() {
    return state().tableReads.load(std::memory_order_relaxed);
}

namespace host {

void setReachability(std::optional<std::string> status) {
    auto& s = state();
    std::string now;
    {
        MutexLock reading(s.refreshMu);
        {
            MutexLock lock(s.mu);
            if (s.override == status) {
                return;
            }
            s.override = status;
        }
        now = status ? *status : readStatus(s);
        MutexLock lock(s.mu);
        s.lastStatus = now;
    }
    // A changed override is always reported, even when it gives the same text
    // as before: for the app the network did change.
    post(now);
}

void setRouteTableFiles(const std::string& ipv4, const std::string& ipv6) {
    auto& s = state();
    MutexLock lock(s.mu);
    s.ipv4Path = ipv4.empty() ? kIpv4RoutePath : ipv4;
    s.ipv6Path = ipv6.empty() ? kIpv6RoutePath : ipv6;
    // Files of the host's own change without the kernel saying so: read them
    // at every ask.
    s.defaultPaths = s.ipv4Path == kIpv4RoutePath && s.ipv6Path == kIpv6RoutePath;
}

}  // namespace host
}  // namespace sorvel::platform
