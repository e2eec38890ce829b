#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace sorvel {

// The outcome of one server call: success with the response text (absent when
// the answer had no body, or one that is not UTF-8 text) and the status code,
// or failure with the status code (0 when no answer arrived).
class Result {
  public:
    struct Success {
        std::optional<std::string> response;
        int statusCode = 0;
    };
    struct Failure {
        int statusCode = 0;
    };

    static Result success(std::optional<std::string> response, int statusCode) {
        return Result(Success{std::move(response), statusCode});
    }
    static Result failure(int statusCode) { return Result(Failure{statusCode}); }

    bool isSuccess() const { return std::holds_alternative<Success>(value_); }
    int statusCode() const {
        return isSuccess() ? std::get<Success>(value_).statusCode
                           : std::get<Failure>(value_).statusCode;
    }
    // The response text of a success; absent for a failure.
    std::optional<std::string> response() const {
        return isSuccess() ? std::get<Success>(value_).response : std::nullopt;
    }
    const std::variant<Success, Failure>& value() const { return value_; }

  private:
    explicit Result(std::variant<Success, Failure> v) : value_(std::move(v)) {}
    std::variant<Success, Failure> value_;
};

}  // namespace sorvel
