#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

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

// A value, or the failure that kept it from being made. The failure is a
// Status unless the call has error values of its own (an enum its callers
// switch on, whose fixed texts they log): then E is that type, so the value
// travels unchanged instead of being flattened into a message.
template <class T, class E = Status>
class [[nodiscard]] StatusOr {
    static_assert(!std::is_same_v<T, E>, "a value and a failure of one type cannot be told apart");

  public:
    StatusOr(T value) : outcome_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
    StatusOr(E failure) : outcome_(std::in_place_index<1>, std::move(failure)) {}  // NOLINT

    bool isOk() const noexcept { return outcome_.index() == 0; }
    explicit operator bool() const noexcept { return isOk(); }
    // Only on failure.
    const E& error() const& { return std::get<1>(outcome_); }
    // Success, or the failure, for callers that speak Status.
    const Status& status() const noexcept requires std::is_same_v<E, Status> {
        static const Status kOk = Status::ok();
        return isOk() ? kOk : *std::get_if<1>(&outcome_);
    }
    // Only on success.
    T& value() & { return std::get<0>(outcome_); }
    const T& value() const& { return std::get<0>(outcome_); }
    T&& value() && { return std::get<0>(std::move(outcome_)); }
    const T* operator->() const { return &value(); }
    T* operator->() { return &value(); }

  private:
    std::variant<T, E> outcome_;
};

// Success, or a failure of the call's own error type. (A call without one
// returns a plain Status.)
template <class E>
class [[nodiscard]] StatusOr<void, E> {
    static_assert(!std::is_same_v<E, Status>, "return Status for a failure without a value");

  public:
    StatusOr() = default;                                  // success
    StatusOr(E failure) : failure_(std::move(failure)) {}  // NOLINT: implicit
    static StatusOr ok() { return StatusOr(); }

    bool isOk() const noexcept { return !failure_.has_value(); }
    explicit operator bool() const noexcept { return isOk(); }
    // Only on failure.
    const E& error() const& { return failure_.value(); }

  private:
    std::optional<E> failure_;
};

}  // namespace sorvel
