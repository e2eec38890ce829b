// The facade's message-history calls: each a gate that refuses the call while
// the SDK is disabled and otherwise hands it unchanged to the controller.

#include <utility>

#include "Core/DefaultSVLContextController.h"
#include "Core/DiContainer.h"
#include "Public/FacadeInternal.h"
#include "sorvel/SorvelKV.h"

namespace sorvel {
namespace {

// What the controller is handed: never an empty function, and nothing the app's
// completion throws escapes into the SDK's queues.
ActionHistoryCompletion guarded(ActionHistoryCompletion completion) {
    return [completion = std::move(completion)](const ActionHistoryResult& result) {
        if (completion) {
            facade::boundary("ActionHistory completion", [&] { completion(result); });
        }
    };
}

// Runs the call on the controller unless the SDK is disabled, in which case
// the completion hears so at once, on this thread.
template <typename Call>
void gate(const char* name, ActionHistoryCompletion completion, Call&& call) noexcept {
    auto answer = guarded(std::move(completion));
    bool handedOver = false;
    facade::boundary(name, [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        auto controller = DiContainer::shared().defaultSVLContextController();
        handedOver = true;
        call(*controller, answer);
    });
    if (!handedOver) {
        answer(ActionHistoryResult::failure(ActionHistoryError::SDKDisabledStateError));
    }
}

}  // namespace

void SorvelKV::fetchActionHistoryByUserId(const std::optional<std::string>& token,
                                          const std::vector<std::string>& actionType,
                                          ActionHistoryCompletion completion) noexcept {
    gate("fetchActionHistoryByUserId", std::move(completion), [&](auto& c, auto& answer) {
        c.fetchActionHistoryFromServer(token, ActionHistoryIdType::USER_ID, actionType, answer);
    });
}

void SorvelKV::fetchActionHistoryByAdid(const std::optional<std::string>& token,
                                        const std::vector<std::string>& actionType,
                                        ActionHistoryCompletion completion) noexcept {
    gate("fetchActionHistoryByAdid", std::move(completion), [&](auto& c, auto& answer) {
        c.fetchActionHistoryFromServer(token, ActionHistoryIdType::ADID, actionType, answer);
    });
}

void SorvelKV::insertPushData(const Value::Map& pushJsonDic) noexcept {
    facade::boundary("insertPushData", [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        DiContainer::shared().defaultSVLContextController()->insertPushData(pushJsonDic);
    });
}

void SorvelKV::getActionHistory(std::int64_t skip, std::int64_t limit,
                                const std::vector<std::string>& actionType,
                                ActionHistoryCompletion completion) noexcept {
    gate("getActionHistory", std::move(completion),
         [&](auto& c, auto& answer) { c.getActionHistory(skip, limit, actionType, answer); });
}

void SorvelKV::getAllActionHistory(const std::vector<std::string>& actionType,
                                   ActionHistoryCompletion completion) noexcept {
    gate("getAllActionHistory", std::move(completion),
         [&](auto& c, auto& answer) { c.getAllActionHistory(actionType, answer); });
}

void SorvelKV::deleteAllActionHistoryByUserId(const std::optional<std::string>& token,
                                              ActionHistoryCompletion completion) noexcept {
    gate("deleteAllActionHistoryByUserId", std::move(completion), [&](auto& c, auto& answer) {
        c.deleteAllActionHistory(token, ActionHistoryIdType::USER_ID, answer);
    });
}

void SorvelKV::deleteAllActionHistoryByAdid(const std::optional<std::string>& token,
                                            ActionHistoryCompletion completion) noexcept {
    gate("deleteAllActionHistoryByAdid", std::move(completion), [&](auto& c, auto& answer) {
        c.deleteAllActionHistory(token, ActionHistoryIdType::ADID, answer);
    });
}

void SorvelKV::deleteActionHistory(const std::optional<std::string>& token,
                                   const std::string& historyId, std::int64_t timeStamp,
                                   ActionHistoryCompletion completion) noexcept {
    gate("deleteActionHistory", std::move(completion), [&](auto& c, auto& answer) {
        c.deleteActionHistory(token, historyId, timeStamp, answer);
    });
}

void SorvelKV::clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion completion) noexcept {
    gate("clearSyncedActionHistoryInLocalDB", std::move(completion),
         [&](auto& c, auto& answer) { c.clearSyncedActionHistoryInLocalDB(answer); });
}

}  // namespace sorvel
