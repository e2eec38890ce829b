#pragma once

#include <optional>
#include <string>
#include <utility>

namespace sorvel {

// The outcome of an internal call that can fail: success, or failure with a
// message fit for a log line. Callers must look at it; a dropped failure is
// how data goes missing without a trace.
class [[nodiscard]] Status {
  public:
    static Status ok() { return Status(); }
    static Status error(std::string message) { return Status(std::move(message)); }

    bool isOk() const noexcept { return !message_.has_value(); }
    explicit operator bool() const noexcept { return isOk(); }
    // Empty for a success.
    const std::string& message() const noexcept {
        static const std::string kNone;
        return message_ ? *message_ : kNone;
    }

  private:
    Status() = default;
    explicit Status(std::string message) : message_(std::move(message)) {}
    std::optional<std::string> message_;
};

// A value, or the failure that kept it from being made.
template <class T>
class [[nodiscard]] StatusOr {
  public:
    StatusOr(T value) : value_(std::move(value)), status_(Status::ok()) {}  // NOLINT: implicit
    StatusOr(Status failure) : status_(std::move(failure)) {}               // NOLINT: implicit

    bool isOk() const noexcept { return value_.has_value(); }
    explicit operator bool() const noexcept { return isOk(); }
    const Status& status() const noexcept { return status_; }
    // Only on success.
    T& value() & { return *value_; }
    const T& value() const& { return *value_; }
    T&& value() && { return std::move(*value_); }
    const T* operator->() const { return &*value_; }
    T* operator->() { return &*value_; }

  private:
    std::optional<T> value_;
    Status status_;
};

}  // namespace sorvel
