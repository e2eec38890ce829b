#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Data/Repository/CompletionCallback.h"
#include "Event/LogEventParameter.h"
#include "sorvel/ActionHistoryResult.h"
#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/Value.h"

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

// The case name, e.g. "LOG_EVENT".
const char* messageTypeName(MessageType type) noexcept;

// One struct per kind, holding that kind's arguments by name. kName is the
// kind's name in log lines. A request can only be built with the arguments
// its kind takes, so the dispatcher never meets a wrong one.
namespace msg {

struct Initialize {
    static constexpr auto kType = MessageType::INITIALIZE;
    static constexpr const char* kName = "INITIALIZE";
    std::string appKey;
    std::string secretKey;
};
struct SaveUserProperty {
    static constexpr auto kType = MessageType::SAVE_USER_PROPERTY;
    static constexpr const char* kName = "SAVE_USER_PROPERTY";
    Value::Map properties;
    bool isCi = false;
};
struct SaveUserPropertyWithoutEvent {
    static constexpr auto kType = MessageType::SAVE_USER_PROPERTY_WITHOUT_EVENT;
    static constexpr const char* kName = "SAVE_USER_PROPERTY_WITHOUT_EVENT";
    Value::Map properties;
    bool isCi = false;
};
struct ClearUserProperty {
    static constexpr auto kType = MessageType::CLEAR_USER_PROPERTY;
    static constexpr const char* kName = "CLEAR_USER_PROPERTY";
};
struct LogEvent {
    static constexpr auto kType = MessageType::LOG_EVENT;
    static constexpr const char* kName = "LOG_EVENT";
    LogEventParameter parameter;
};
struct LogSameEventWithPaging {
    static constexpr auto kType = MessageType::LOG_SAME_EVENT_WITH_PAGING;
    static constexpr const char* kName = "LOG_SAME_EVENT_WITH_PAGING";
    std::vector<SorvelKvCommerceProductModel> products;
    std::string eventName;
    Value::Map attributes;
};
struct DidBecomeActive {
    static constexpr auto kType = MessageType::DID_BECOME_ACTIVE;
    static constexpr const char* kName = "DID_BECOME_ACTIVE";
};
struct WillResignActive {
    static constexpr auto kType = MessageType::WILL_RESIGN_ACTIVE;
    static constexpr const char* kName = "WILL_RESIGN_ACTIVE";
};
struct Deeplink {
    static constexpr auto kType = MessageType::DEEPLINK;
    static constexpr const char* kName = "DEEPLINK";
    // The absolute text of the URL.
    std::string url;
};
struct GdprForgetMe {
    static constexpr auto kType = MessageType::GDPR_FORGET_ME;
    static constexpr const char* kName = "GDPR_FORGET_ME";
};
struct DeleteUserDataAndStopSDK {
    static constexpr auto kType = MessageType::DELETE_USER_DATA_AND_STOP_SDK;
    static constexpr const char* kName = "DELETE_USER_DATA_AND_STOP_SDK";
    std::string userId;
    CompletionCallback completion;
};
struct RestartSDK {
    static constexpr auto kType = MessageType::RESTART_SDK;
    static constexpr const char* kName = "RESTART_SDK";
    std::string userId;
    CompletionCallback completion;
};
struct FetchActionHistoryFromServer {
    static constexpr auto kType = MessageType::FETCH_ACTION_HISTORY_FROM_SERVER;
    static constexpr const char* kName = "FETCH_ACTION_HISTORY_FROM_SERVER";
    std::optional<std::string> token;
    ActionHistoryIdType idType;
    std::vector<std::string> actionType;
    ActionHistoryCompletion completion;
};
struct InsertPushData {
    static constexpr auto kType = MessageType::INSERT_PUSH_DATA;
    static constexpr const char* kName = "INSERT_PUSH_DATA";
    Value::Map pushJsonDic;
};
struct GetActionHistory {
    static constexpr auto kType = MessageType::GET_ACTION_HISTORY;
    static constexpr const char* kName = "GET_ACTION_HISTORY";
    std::int64_t skip = 0;
    std::int64_t limit = 0;
    std::vector<std::string> actionType;
    ActionHistoryCompletion completion;
};
struct GetAllActionHistory {
    static constexpr auto kType = MessageType::GET_ALL_ACTION_HISTORY;
    static constexpr const char* kName = "GET_ALL_ACTION_HISTORY";
    std::vector<std::string> actionType;
    ActionHistoryCompletion completion;
};
struct DeleteAllActionHistory {
    static constexpr auto kType = MessageType::DELETE_ALL_ACTION_HISTORY;
    static constexpr const char* kName = "DELETE_ALL_ACTION_HISTORY";
    std::optional<std::string> token;
    ActionHistoryIdType idType;
    ActionHistoryCompletion completion;
};
struct DeleteActionHistory {
    static constexpr auto kType = MessageType::DELETE_ACTION_HISTORY;
    static constexpr const char* kName = "DELETE_ACTION_HISTORY";
    std::optional<std::string> token;
    std::string historyId;
    std::int64_t timeStamp = 0;
    ActionHistoryCompletion completion;
};
struct ClearSyncedActionHistoryInLocalDB {
    static constexpr auto kType = MessageType::CLEAR_SYNCED_ACTION_HISTORY_IN_LOCAL_DB;
    static constexpr const char* kName = "CLEAR_SYNCED_ACTION_HISTORY_IN_LOCAL_DB";
    ActionHistoryCompletion completion;
};
struct ClearAllActionHistoryInLocalDB {
    static constexpr auto kType = MessageType::CLEAR_ALL_ACTION_HISTORY_IN_LOCAL_DB;
    static constexpr const char* kName = "CLEAR_ALL_ACTION_HISTORY_IN_LOCAL_DB";
};

}  // namespace msg

// One request to the SDK core. The alternatives are in MessageType's order,
// so index() is the kind (checked where the names are kept).
using Message =
    std::variant<msg::Initialize, msg::SaveUserProperty, msg::SaveUserPropertyWithoutEvent,
                 msg::ClearUserProperty, msg::LogEvent, msg::LogSameEventWithPaging,
                 msg::DidBecomeActive, msg::WillResignActive, msg::Deeplink, msg::GdprForgetMe,
                 msg::DeleteUserDataAndStopSDK, msg::RestartSDK, msg::FetchActionHistoryFromServer,
                 msg::InsertPushData, msg::GetActionHistory, msg::GetAllActionHistory,
                 msg::DeleteAllActionHistory, msg::DeleteActionHistory,
                 msg::ClearSyncedActionHistoryInLocalDB, msg::ClearAllActionHistoryInLocalDB>;
inline constexpr std::size_t kMessageTypeCount = std::variant_size_v<Message>;

inline MessageType messageTypeOf(const Message& message) noexcept {
    return static_cast<MessageType>(message.index());
}

// A request the controller holds back until start-up lets it run; the
// message is kept exactly as submitted.
class MessageInvokeRunnable {
  public:
    explicit MessageInvokeRunnable(Message message)
        : messageType(messageTypeOf(message)), message(std::move(message)) {}

    const MessageType messageType;
    Message message;
};

}  // namespace sorvel
