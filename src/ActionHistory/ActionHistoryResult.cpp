#include "sorvel/ActionHistoryResult.h"

#include <array>
#include <utility>

#include "ActionHistory/ActionHistoryResultErrors.h"

namespace sorvel {
namespace {

constexpr const char* kActionHistoryDomain = "ActionHistoryError";

constexpr std::array<std::pair<ActionHistoryActionType, const char*>, 4> kActionTypes{{
    {ActionHistoryActionType::PUSH_ANDROID, "PUSH_ANDROID"},
    {ActionHistoryActionType::PUSH_IOS, "PUSH_IOS"},
    {ActionHistoryActionType::KAKAOTALK, "KAKAOTALK"},
    {ActionHistoryActionType::TEXT_MESSAGE, "TEXT_MESSAGE"},
}};

}  // namespace

const char* describe(ActionHistoryError error) noexcept {
    switch (error) {
        case ActionHistoryError::DeleteLocalDBFailError:
            return "DeleteActionHistoryError :: Delete Action History in Local DB Fail!";
        case ActionHistoryError::SyncServerError:
            return "DeleteActionHistoryError :: Delete Action History in remote server Fail!";
        case ActionHistoryError::NoValueError:
            return "jsonDic does not contain required value";
        case ActionHistoryError::OpenDatabaseError:
            return "cannot open ActionHistory database";
        case ActionHistoryError::SqliteQueryError:
            return "Error occure while execute sqlite query";
        case ActionHistoryError::InvalidActionError:
            return "invalid Action Type";
        case ActionHistoryError::ContentParsingError:
            return "Error occure while parsing action content";
        case ActionHistoryError::NilIdError:
            return "ADID or userID cannot be null!";
        case ActionHistoryError::CalledBeforeInitError:
            return "ActionHistory Api is called before sdk initialize";
        case ActionHistoryError::SDKDisabledStateError:
            return "Disabled된 SVL SDK의 Method가 호출되었습니다.";
    }
    return "";
}

std::optional<ActionHistoryIdType> makeActionHistoryIdType(std::int64_t raw) noexcept {
    switch (raw) {
        case 0:
            return ActionHistoryIdType::USER_ID;
        case 1:
            return ActionHistoryIdType::ADID;
        default:
            return std::nullopt;
    }
}

const char* rawValue(ActionHistoryActionType type) noexcept {
    for (const auto& [value, text] : kActionTypes) {
        if (value == type) {
            return text;
        }
    }
    return "";
}

std::optional<ActionHistoryActionType> makeActionHistoryActionType(std::string_view raw) noexcept {
    for (const auto& [value, text] : kActionTypes) {
        if (raw == text) {
            return value;
        }
    }
    return std::nullopt;
}

ActionHistoryResultError::ActionHistoryResultError(ActionHistoryError error)
    : domain_(kActionHistoryDomain),
      code_(static_cast<int>(error)),
      description_(describe(error)) {}

ActionHistoryResultError::ActionHistoryResultError(std::string domain, int code,
                                                   std::string description)
    : domain_(std::move(domain)), code_(code), description_(std::move(description)) {}

std::optional<ActionHistoryError> ActionHistoryResultError::actionHistoryError() const noexcept {
    if (domain_ != kActionHistoryDomain || code_ < 0 ||
        code_ > static_cast<int>(ActionHistoryError::SDKDisabledStateError)) {
        return std::nullopt;
    }
    return static_cast<ActionHistoryError>(code_);
}

ActionHistoryResult::ActionHistoryResult(bool isSucceeded, std::optional<Entries> data,
                                         std::optional<ActionHistoryResultError> error)
    : data(std::move(data)), isSucceeded_(isSucceeded), error_(std::move(error)) {}

ActionHistoryResult ActionHistoryResult::failure(ActionHistoryResultError error) {
    return ActionHistoryResult(false, std::nullopt, std::move(error));
}

ActionHistoryResultError toResultError(ApiConnectionError error) {
    return ActionHistoryResultError("ApiConnectionError", static_cast<int>(error), describe(error));
}

ActionHistoryResultError toResultError(JsonError error) {
    return ActionHistoryResultError("JsonError", static_cast<int>(error), describe(error));
}

}  // namespace sorvel
