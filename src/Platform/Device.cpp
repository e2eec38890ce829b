#include "Platform/Device.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/utsname.h>

#include <fstream>

#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"

namespace sorvel::platform {
namespace {

struct Simulated {
    Mutex mu;
    std::optional<CarrierInfo> carrier GUARDED_BY(mu);
    std::optional<std::string> radio GUARDED_BY(mu);
    std::string advertisingId GUARDED_BY(mu) = Device::ZERO_ADVERTISING_ID;
    TrackingAuthorizationStatus tracking GUARDED_BY(mu) =
        TrackingAuthorizationStatus::notDetermined;
    NotificationAuthorizationStatus notification GUARDED_BY(mu) =
        NotificationAuthorizationStatus::notDetermined;
    std::optional<std::string> modelOverride GUARDED_BY(mu);
    std::optional<std::string> osVersionOverride GUARDED_BY(mu);

    void reset() {
        MutexLock lock(mu);
        carrier.reset();
        radio.reset();
        advertisingId = Device::ZERO_ADVERTISING_ID;
        tracking = TrackingAuthorizationStatus::notDetermined;
        notification = NotificationAuthorizationStatus::notDetermined;
        modelOverride.reset();
        osVersionOverride.reset();
    }
};

Simulated& simulated() {
    static NoDestructor<Simulated> holder;
    static Simulated& s = holder.get();
    static const bool registered = [] {
        registerResetHook([] { s.reset(); });
        return true;
    }();
    (void)registered;
    return s;
}

std::string unquote(std::string v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
    }
    return v;
}

std::optional<std::string> osReleaseVersion() {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(path);
        if (!in) {
            continue;
        }
        std::string line;
        while (std::getline(in, line)) {
            constexpr std::string_view key = "VERSION_ID=";
            if (line.rfind(key, 0) == 0) {
                std::string v = unquote(line.substr(key.size()));
                if (!v.empty()) {
                    return v;
                }
            }
        }
    }
    return std::nullopt;
}

const utsname& uname() {
    static const utsname u = [] {
        utsname v{};
        if (::uname(&v) != 0) {
            v = utsname{};
        }
        return v;
    }();
    return u;
}

}  // namespace

std::string Device::model() {
    {
        auto& s = simulated();
        MutexLock lock(s.mu);
        if (s.modelOverride) {
            return *s.modelOverride;
        }
    }
    std::string m = uname().machine;
    return m.empty() ? "unknown" : m;
}

std::string Device::osVersion() {
    {
        auto& s = simulated();
        MutexLock lock(s.mu);
        if (s.osVersionOverride) {
            return *s.osVersionOverride;
        }
    }
    static NoDestructor<std::string> version([] {
        if (auto v = osReleaseVersion()) {
            return *v;
        }
        std::string r = uname().release;
        return r.empty() ? std::string("unknown") : r;
    }());
    return version.get();
}

std::vector<NetworkInterface> Device::networkInterfaces() {
    std::vector<NetworkInterface> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return out;
    }
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr) {
            continue;
        }
        const int family = it->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {0};
        const void* addr =
            family == AF_INET
                ? static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr)
                : static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in6*>(it->ifa_addr)->sin6_addr);
        if (inet_ntop(family, addr, text, sizeof(text)) == nullptr) {
            continue;
        }
        NetworkInterface ni;
        ni.name = it->ifa_name != nullptr ? it->ifa_name : "";
        ni.family = family == AF_INET ? "ipv4" : "ipv6";
        ni.address = text;
        ni.up = (it->ifa_flags & IFF_UP) != 0;
        ni.loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
        out.push_back(std::move(ni));
    }
    freeifaddrs(list);
    return out;
}

std::optional<CarrierInfo> Device::carrier() {
    auto& s = simulated();
    MutexLock lock(s.mu);
    return s.carrier;
}

std::optional<std::string> Device::radioAccessTechnology() {
    auto& s = simulated();
    MutexLock lock(s.mu);
    return s.radio;
}

std::string Device::advertisingIdentifier() {
    auto& s = simulated();
    MutexLock lock(s.mu);
    return s.advertisingId;
}

TrackingAuthorizationStatus Device::trackingAuthorizationStatus() {
    auto& s = simulated();
    MutexLock lock(s.mu);
    return s.tracking;
}

NotificationAuthorizationStatus Device::notificationAuthorizationStatus() {
    auto& s = simulated();
    MutexLock lock(s.mu);
    return s.notification;
}

namespace host {

void setCarrier(const std::optional<CarrierInfo>& carrier) {
    auto& s = simulated();
    MutexLock lock(s.mu);
    s.carrier = carrier;
}

void setRadioAccessTechnology(const std::optional<std::string>& radio) {
    auto& s = simulated();
    MutexLock lock(s.mu);
    s.radio = radio;
}

void setAdvertisingIdentifier(const std::string& id) {
    auto& s = simulated();
    MutexLock lock(s.mu);
    s.advertisingId = id;
}

void setTrackingAuthorizationStatus(TrackingAuthorizationStatus status) {
    auto& s = simulated();
    MutexLock lock(s.mu);
    s.tracking = status;
}

void setNotificationAuthorizationStatus(NotificationAuthorizationStatus status) {
    auto& s = simulated();
    MutexLock lock(s.mu);
    s.notification = status;
}

void setDeviceModel(const std::optional<std::string>& model) {
    auto& s = simulated();
    MutexLock lock(s.mu);
    s.modelOverride = model;
}

void setOsVersion(const std::optional<std::string>& version) {
    auto& s = simulated();
    MutexLock lock(s.mu);
    s.osVersionOverride = version;
}

}  // namespace host
}  // namespace sorvel::platform
