#include "Platform/Reachability.h"

#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

#include "Platform/Host.h"
#include "Platform/NotificationCenter.h"

namespace sorvel::platform {
namespace {

constexpr const char* kDefaultRoutePath = "/proc/net/route";
constexpr unsigned long kRouteUp = 0x1;

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

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

}  // namespace

Reachability& Reachability::shared() {
    static Reachability instance;
    return instance;
}

Reachability::Reachability() {
    {
        MutexLock lock(mu_);
        routePath_ = kDefaultRoutePath;
    }
    detail::registerResetHook([this] { resetForHost(); });
}

void Reachability::resetForHost() {
    MutexLock lock(mu_);
    override_.reset();
    routePath_ = kDefaultRoutePath;
    lastStatus_.reset();
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

std::string Reachability::statusFromRouteTable(const std::string& table) {
    std::istringstream in(table);
    std::string line;
    std::getline(in, line);  // column titles
    std::optional<std::string> best;
    unsigned long bestMetric = std::numeric_limits<unsigned long>::max();
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        std::string field;
        while (fields >> field) {
            f.push_back(field);
        }
        // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
        if (f.size() < 8) {
            continue;
        }
        unsigned long dest = 0;
        unsigned long flags = 0;
        unsigned long mask = 0;
        if (!parseHex(f[1], dest) || !parseHex(f[3], flags) || !parseHex(f[7], mask)) {
            continue;
        }
        if (dest != 0 || mask != 0 || (flags & kRouteUp) == 0) {
            continue;
        }
        unsigned long metric = 0;
        try {
            metric = std::stoul(f[6]);
        } catch (...) {
            continue;
        }
        if (!best || metric < bestMetric) {
            best = f[0];
            bestMetric = metric;
        }
    }
    return best ? statusForInterface(*best) : UNKNOWN;
}

std::string Reachability::readRouteStatus(const std::string& path) const {
    std::ifstream file(path);
    if (!file) {
        return UNKNOWN;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return statusFromRouteTable(text.str());
}

bool Reachability::noteStatusLocked(const std::string& status) {
    if (lastStatus_ && *lastStatus_ == status) {
        return false;
    }
    bool changed = lastStatus_.has_value();
    lastStatus_ = status;
    return changed;
}

void Reachability::post(const std::string& status) {
    NotificationCenter::shared().post(kSvlKvReachabilityChangedNotification, Value(status));
}

std::string Reachability::currentStatus() {
    std::optional<std::string> forced;
    std::string path;
    {
        MutexLock lock(mu_);
        forced = override_;
        path = routePath_;
    }
    // The file is read outside the lock: a slow read must not stall the host.
    std::string status = forced ? *forced : readRouteStatus(path);
    bool changed = false;
    {
        MutexLock lock(mu_);
        changed = noteStatusLocked(status);
    }
    if (changed) {
        post(status);
    }
    return status;
}

void Reachability::setOverride(std::optional<std::string> status) {
    std::string path;
    {
        MutexLock lock(mu_);
        if (override_ == status) {
            return;
        }
        override_ = status;
        path = routePath_;
    }
    // A changed override is always reported, even when it gives the same text
    // as before: for the app the network did change.
    std::string now = status ? *status : readRouteStatus(path);
    {
        MutexLock lock(mu_);
        lastStatus_ = now;
    }
    post(now);
}

void Reachability::setRouteTablePath(std::string path) {
    MutexLock lock(mu_);
    routePath_ = std::move(path);
}

}  // namespace sorvel::platform
