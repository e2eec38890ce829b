#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sorvel/Export.h"

namespace sorvel {

/// One message-history entry.
class ActionHistory;

/// Failures of the message history, each with a fixed description.
enum class ActionHistoryError {
    DeleteLocalDBFailError,
    SyncServerError,
    NoValueError,
    OpenDatabaseError,
    SqliteQueryError,
    InvalidActionError,
    ContentParsingError,
    NilIdError,
    CalledBeforeInitError,
    SDKDisabledStateError,
};
/// The error's fixed description; pure.
SORVEL_API const char* describe(ActionHistoryError error) noexcept;

/// Which identifier a message-history server request uses.
enum class ActionHistoryIdType : std::int64_t {
    USER_ID = 0,
    ADID = 1,
};
/// Nothing for any other number.
SORVEL_API std::optional<ActionHistoryIdType> makeActionHistoryIdType(std::int64_t raw) noexcept;

/// The kinds of message in the history.
enum class ActionHistoryActionType {
    PUSH_ANDROID,
    PUSH_IOS,
    KAKAOTALK,
    TEXT_MESSAGE,
};
/// The type's raw value as the server writes it; pure.
SORVEL_API const char* rawValue(ActionHistoryActionType type) noexcept;
/// Exact, case-sensitive match of the raw value; nothing otherwise.
SORVEL_API std::optional<ActionHistoryActionType> makeActionHistoryActionType(
    std::string_view raw) noexcept;

/// The failure a message-history result carries: a message-history error, or an
/// error of the layers below it (the server connection, JSON reading), named by
/// its domain ("ActionHistoryError", "ApiConnectionError", "JsonError"), its
/// case number within that domain and its fixed description.
class SORVEL_API ActionHistoryResultError {
  public:
    /// A message-history error, with its domain, number and description.
    ActionHistoryResultError(ActionHistoryError error);  // NOLINT: implicit by design
    /// An error of another layer, named by its domain, case number and description.
    ActionHistoryResultError(std::string domain, int code, std::string description);

    /// The message-history case; nothing for an error of another domain.
    std::optional<ActionHistoryError> actionHistoryError() const noexcept;
    /// "ActionHistoryError", "ApiConnectionError" or "JsonError".
    const std::string& domain() const noexcept { return domain_; }
    /// The case number within the domain.
    int code() const noexcept { return code_; }
    /// The case's fixed description.
    const std::string& localizedDescription() const noexcept { return description_; }

    /// Same domain and case number.
    friend bool operator==(const ActionHistoryResultError& a, const ActionHistoryResultError& b) {
        return a.domain_ == b.domain_ && a.code_ == b.code_;
    }

  private:
    std::string domain_;
    int code_;
    std::string description_;
};

/// What every message-history completion receives.
class SORVEL_API ActionHistoryResult {
  public:
    /// The messages a result carries.
    using Entries = std::vector<std::shared_ptr<const ActionHistory>>;

    /// A result as the SDK builds it: success with optional data, or failure
    /// with an error.
    ActionHistoryResult(bool isSucceeded, std::optional<Entries> data,
                        std::optional<ActionHistoryResultError> error);
    /// A failed result without data.
    static ActionHistoryResult failure(ActionHistoryResultError error);

    /// The entries found; absent for operations that return none and for
    /// failures. The receiver may replace them.
    std::optional<Entries> data;

    /// Success flag and error are fixed at creation.
    bool isSucceeded() const noexcept { return isSucceeded_; }
    /// The entries (the data member).
    const std::optional<Entries>& getData() const noexcept { return data; }
    /// The error of a failed result; absent on success.
    const std::optional<ActionHistoryResultError>& getError() const noexcept { return error_; }

  private:
    bool isSucceeded_;
    std::optional<ActionHistoryResultError> error_;
};

/// Called exactly once per message-history call.
using ActionHistoryCompletion = std::function<void(const ActionHistoryResult&)>;

}  // namespace sorvel
