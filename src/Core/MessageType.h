#pragma once

#include <any>
#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "sorvel/Completion.h"

namespace sorvel {

// The kind of one request to the SDK core. The order is the dispatcher's; the
// numbering is never stored or sent.
enum class MessageType {
    INITIALIZE,
    SAVE_USER_PROPERTY,
    SAVE_USER_PROPERTY_WITHOUT_EVENT,
    CLEAR_USER_PROPERTY,
    LOG_EVENT,
    LOG_SAME_EVENT_WITH_PAGING,
    DID_BECOME_ACTIVE,
    WILL_RESIGN_ACTIVE,
    DEEPLINK,
    GDPR_FORGET_ME,
    DELETE_USER_DATA_AND_STOP_SDK,
    RESTART_SDK,
    FETCH_ACTION_HISTORY_FROM_SERVER,
    INSERT_PUSH_DATA,
    GET_ACTION_HISTORY,
    GET_ALL_ACTION_HISTORY,
    DELETE_ALL_ACTION_HISTORY,
    DELETE_ACTION_HISTORY,
    CLEAR_SYNCED_ACTION_HISTORY_IN_LOCAL_DB,
    CLEAR_ALL_ACTION_HISTORY_IN_LOCAL_DB,
};
inline constexpr std::size_t kMessageTypeCount = 20;

// The case name, e.g. "LOG_EVENT".
const char* messageTypeName(MessageType type) noexcept;

// The completion of initialise, delete-user-data and restart.
using CompletionCallback = std::function<void(Completion)>;

// The arguments of one request, by position. An empty element is an absent
// value. The layout per kind is the contract between the controller's typed
// operations, which build the list, and its dispatcher, which converts each
// element back to exactly this type:
//  INITIALIZE: std::string appKey, std::string secretKey
//  SAVE_USER_PROPERTY, SAVE_USER_PROPERTY_WITHOUT_EVENT: Value::Map, bool isCi
//  LOG_EVENT: LogEventParameter
//  LOG_SAME_EVENT_WITH_PAGING: std::vector<SorvelKvCommerceProductModel>,
//      std::string eventName, Value::Map attributes
//  DEEPLINK: std::string, the absolute text of the URL
//  DELETE_USER_DATA_AND_STOP_SDK, RESTART_SDK: std::string userId,
//      CompletionCallback
//  FETCH_ACTION_HISTORY_FROM_SERVER: std::string token or absent,
//      ActionHistoryIdType, std::vector<std::string> actionType,
//      ActionHistoryCompletion
//  INSERT_PUSH_DATA: Value::Map
//  GET_ACTION_HISTORY: std::int64_t skip, std::int64_t limit,
//      std::vector<std::string> actionType, ActionHistoryCompletion
//  GET_ALL_ACTION_HISTORY: std::vector<std::string>, ActionHistoryCompletion
//  DELETE_ALL_ACTION_HISTORY: std::string token or absent,
//      ActionHistoryIdType, ActionHistoryCompletion
//  DELETE_ACTION_HISTORY: std::string token or absent, std::string historyId,
//      std::int64_t timeStamp, ActionHistoryCompletion
//  CLEAR_SYNCED_ACTION_HISTORY_IN_LOCAL_DB: ActionHistoryCompletion
//  every other kind: empty.
using MessageArgs = std::vector<std::any>;

// A request the controller holds back until start-up lets it run; the list is
// kept exactly as submitted.
class MessageInvokeRunnable {
  public:
    MessageInvokeRunnable(MessageType messageType, MessageArgs args)
        : messageType(messageType), args(std::move(args)) {}

    const MessageType messageType;
    const MessageArgs args;
};

}  // namespace sorvel
