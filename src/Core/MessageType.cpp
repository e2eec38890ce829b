#include "Core/MessageType.h"

#include <array>

namespace sorvel {
namespace {

constexpr std::array<const char*, kMessageTypeCount> kNames{
    "INITIALIZE",
    "SAVE_USER_PROPERTY",
    "SAVE_USER_PROPERTY_WITHOUT_EVENT",
    "CLEAR_USER_PROPERTY",
    "LOG_EVENT",
    "LOG_SAME_EVENT_WITH_PAGING",
    "DID_BECOME_ACTIVE",
    "WILL_RESIGN_ACTIVE",
    "DEEPLINK",
    "GDPR_FORGET_ME",
    "DELETE_USER_DATA_AND_STOP_SDK",
    "RESTART_SDK",
    "FETCH_ACTION_HISTORY_FROM_SERVER",
    "INSERT_PUSH_DATA",
    "GET_ACTION_HISTORY",
    "GET_ALL_ACTION_HISTORY",
    "DELETE_ALL_ACTION_HISTORY",
    "DELETE_ACTION_HISTORY",
    "CLEAR_SYNCED_ACTION_HISTORY_IN_LOCAL_DB",
    "CLEAR_ALL_ACTION_HISTORY_IN_LOCAL_DB",
};
static_assert(static_cast<std::size_t>(MessageType::CLEAR_ALL_ACTION_HISTORY_IN_LOCAL_DB) + 1 ==
              kMessageTypeCount);

}  // namespace

const char* messageTypeName(MessageType type) noexcept {
    auto i = static_cast<std::size_t>(type);
    return i < kNames.size() ? kNames[i] : "";
}

}  // namespace sorvel
