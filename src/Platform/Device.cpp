#include "Platform/Device.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <fstream>

#include "Platform/Dispatch.h"
#include "Platform/FileSystem.h"
#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"
#include "Platform/SystemLog.h"

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
    // The home folder whose stored permission `notification` holds (read
    // from its file, or set since); empty before either.
    std::string notificationHome GUARDED_BY(mu);
    // One store of the permission file at a time.
    Mutex storeMu;
    std::optional<std::string> modelOverride GUARDED_BY(mu);
    std::optional<std::string> osVersionOverride GUARDED_BY(mu);

    void reset() {
        MutexLock lock(mu);
        carrier.reset();
        radio.reset();
        advertisingId = Device::ZERO_ADVERTISING_ID;
        tracking = TrackingAuthorizationStatus::notDetermined;
        notification = NotificationAuthorizationStatus::notDetermined;
        notificationHome.clear();
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

constexpr std::array<const char*, 5> kNotificationStatusNames{
    "notDetermined", "denied", "authorized", "provisional", "ephemeral"};

std::string permissionFile(const std::string& home) {
    return home + "/" + Device::NOTIFICATION_PERMISSION_FILE;
}

// The answer a home's file keeps; not determined when there is none or it
// cannot be read.
NotificationAuthorizationStatus storedPermission(const std::string& home) {
    const int fd =
        ::open(permissionFile(home).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return NotificationAuthorizationStatus::notDetermined;
    }
    struct stat st {};
    std::array<char, 32> buf{};
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        n = ::read(fd, buf.data(), buf.size());
    }
    ::close(fd);
    const std::string_view text(buf.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    for (std::size_t i = 0; i < kNotificationStatusNames.size(); ++i) {
        if (text == std::string(kNotificationStatusNames[i]) + "\n") {
            return static_cast<NotificationAuthorizationStatus>(i);
        }
    }
    return NotificationAuthorizationStatus::notDetermined;
}

// Writes the answer the home holds now to its file, unless the state has moved
// to another home meanwhile (the app's data folder changed, or a fresh state).
void storePermission(const std::string& home) {
    auto& s = simulated();
    MutexLock store(s.storeMu);
    NotificationAuthorizationStatus status;
    {
        MutexLock lock(s.mu);
        if (s.notificationHome != home) {
            return;
        }
        status = s.notification;
    }
    const std::string path = permissionFile(home);
    Status written = makePrivateFolder(path.substr(0, path.rfind('/')));
    if (written.isOk()) {
        written = writePrivateFileAtomically(
            path, std::string(kNotificationStatusNames[static_cast<std::size_t>(status)]) + "\n");
    }
    if (!written.isOk()) {
        SystemLog::write("svlkv [error]: the notification permission was not stored: " +
                         written.message());
    }
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
    const std::string home = homeFolder();
    {
        MutexLock lock(s.mu);
        if (s.notificationHome == home) {
            return s.notification;
        }
    }
    const NotificationAuthorizationStatus stored = storedPermission(home);
    MutexLock lock(s.mu);
    // An answer set while the file was read wins over the file.
    if (s.notificationHome != home) {
        s.notificationHome = home;
        s.notification = stored;
    }
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
    const std::string home = homeFolder();
    {
        MutexLock lock(s.mu);
        s.notification = status;
        s.notificationHome = home;
    }
    // Stored off the caller's thread; a later answer's store writes that one.
    DispatchQueue::global().async([home] { storePermission(home); });
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
