#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "sorvel/Value.h"

namespace sorvel::platform {

// In-process notification centre: observers by name, delivered synchronously
// on the posting thread, in registration order.
class NotificationCenter {
  public:
    // The application-state notifications, posted by the host
    // (host::applicationDidBecomeActive and host::applicationWillResignActive)
    // where a mobile OS would post them: the app came to the foreground, or is
    // about to leave it.
    static constexpr const char* kApplicationDidBecomeActiveNotification =
        "ApplicationDidBecomeActiveNotification";
    static constexpr const char* kApplicationWillResignActiveNotification =
        "ApplicationWillResignActiveNotification";

    using Observer = std::function<void(const std::string& name, const std::optional<Value>& info)>;
    using Token = std::uint64_t;

    static NotificationCenter& shared();

    Token addObserver(const std::string& name, Observer observer);
    void removeObserver(Token token);
    void post(const std::string& name, const std::optional<Value>& info = std::nullopt);
};

}  // namespace sorvel::platform
