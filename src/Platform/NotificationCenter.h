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
    using Observer = std::function<void(const std::string& name, const std::optional<Value>& info)>;
    using Token = std::uint64_t;

    static NotificationCenter& shared();

    Token addObserver(const std::string& name, Observer observer);
    void removeObserver(Token token);
    void post(const std::string& name, const std::optional<Value>& info = std::nullopt);
};

}  // namespace sorvel::platform
