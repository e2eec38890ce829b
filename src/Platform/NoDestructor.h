#pragma once

#include <memory>
#include <new>
#include <utility>

namespace sorvel::platform::detail {

// Process-wide singletons whose state SDK threads may still use (blocked on
// the network, on a never-pumped run loop) when the process exits are never
// torn down, so exit neither joins those threads nor pulls state from under them.
template <typename T>
class NoDestructor {
  public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        std::construct_at(reinterpret_cast<T*>(storage_), std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace sorvel::platform::detail
