// The repository's message-history operations: the local store behind
// ActionHistoryDAO and the web-api's list and delete requests, all run on the
// serial "FvnActionHistoryDispatchQueue".

#include <exception>
#include <utility>
#include <variant>

#include "ActionHistory/ActionHistoryDAO.h"
#include "ActionHistory/ActionHistoryListAnswer.h"
#include "ActionHistory/ActionHistoryResultErrors.h"
#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/Extensions.h"
#include "Common/SvlLog.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Data/ModelProvider/ActionHistoryModelProviders.h"
#include "Data/ModelProvider/CommonModelProvider.h"
#include "Data/Repository/Repository.h"
#include "Event/UserPropertyManager.h"
#include "Network/ApiConnection.h"
#include "Network/ApiConnectionManager.h"

namespace sorvel {
namespace {

// What the queued work needs, held by value so that it outlives nothing.
struct HistoryWork {
    std::shared_ptr<ActionHistoryDAO> dao;
    std::shared_ptr<DataRegistry> registry;
    std::shared_ptr<DeviceRealtimeDataProvider> realtime;
    std::shared_ptr<UserPropertyManager> userProperties;
};

// The user property "svl:user_id" when it is a string.
std::optional<std::string> currentUserId(const UserPropertyManager& userProperties) {
    const Value::Map properties = userProperties.userPropertyDic();
    auto it = properties.find(Constants::PARAM_KEY_USER_ID);
    if (it == properties.end() || !it->second.isString()) {
        return std::nullopt;
    }
    return *it->second.getString();
}

// Calls the app's completion; what it throws stays here, so the queue runs on.
void answer(const ActionHistoryCompletion& completion, const ActionHistoryResult& result) {
    if (!completion) {
        return;
    }
    try {
        completion(result);
    } catch (...) {
        SvlLog::error("ActionHistory completion threw; ignored", true);
    }
}

ActionHistoryResult success(std::optional<ActionHistoryResult::Entries> data = std::nullopt) {
    return ActionHistoryResult(true, std::move(data), std::nullopt);
}

ActionHistoryResult failure(ActionHistoryResultError error) {
    return ActionHistoryResult::failure(std::move(error));
}

// The store is absent: the operation's line, and its completion (when it has
// one) answered at once on the caller's thread.
void answerWithoutHistoryStore(const char* line, const ActionHistoryCompletion& completion) {
    SvlLog::error(line, true);
    answer(completion, failure(ActionHistoryError::OpenDatabaseError));
}

// A store read as the app's result.
template <typename F>
ActionHistoryResult runRead(F&& read) {
    try {
        auto entries = read();
        return entries ? success(std::move(entries).value()) : failure(entries.error());
    } catch (const std::exception& e) {
        SvlLog::error(std::string("ActionHistory read failed : ") + e.what(), true);
        return failure(ActionHistoryError::SqliteQueryError);
    }
}

Value::Map commonBlock(const HistoryWork& work) {
    return CommonModelProvider(work.registry, work.realtime).getDataModel().toDictionary();
}

std::shared_ptr<ApiConnection> connectionWithToken(const HistoryWork& work,
                                                   const std::optional<std::string>& token) {
    auto connection = std::make_shared<ApiConnection>(work.registry);
    // The token goes as it came, without a scheme word; none sends no header.
    connection->setHeaders({{"Authorization", token}});
    return connection;
}

// Sends a deletion without retries and answers by its outcome.
void sendDeletion(const HistoryWork& work, const std::optional<std::string>& token,
                  const std::shared_ptr<IApiModel>& model, const std::string& name,
                  const ActionHistoryCompletion& completion) {
    SvlLog::debug("Start " + name + " ApiConnection", true);
    auto connection = connectionWithToken(work, token);
    connection->setDeleteRequest(*model);
    bool answered = false;
    ApiConnectionManager().request(connection, false, [&](const Result& result) {
        answered = true;
        if (!result.isSuccess()) {
            SvlLog::debug("Terminated " + name, true);
            SvlLog::debug(
                name + " connectFail!!, responseCode : " + std::to_string(result.statusCode()),
                true);
            answer(completion, failure(toResultError(ApiConnectionError::ApiConnectionFailError)));
            return;
        }
        const auto text = result.response();
        if (!text) {
            SvlLog::error("ApiConnectionError :: Response is nil", true);
            answer(completion, failure(toResultError(ApiConnectionError::NilResponseError)));
            return;
        }
        SvlLog::debug("Terminated " + name, true);
        SvlLog::info(name + " connectSuccess !! response:  " + *text + ")", true);
        answer(completion, success());
    });
    if (!answered) {
        // Without retries the manager answers before it returns; should that
        // ever change, the app still hears once.
        answer(completion, failure(toResultError(ApiConnectionError::ApiConnectionFailError)));
    }
}

// The fetch's answer turned into the result, the entries stored on the way.
// The answer is read entry by entry: each is stored (a chunk of rows at a
// time) and becomes the app's entry before the next one is read, so that no
// tree of the whole answer is ever built.
ActionHistoryResult readFetchAnswer(const HistoryWork& work, const Result& result) {
    static const char* const kName =
        "fetchActionHistoryFromServer(token:idType:actionType:completion:)";
    const auto* answered = std::get_if<Result::Success>(&result.value());
    if (answered == nullptr) {
        return failure(toResultError(ApiConnectionError::ApiConnectionFailError));
    }
    if (!answered->response) {
        SvlLog::error("ApiConnectionError :: Response is nil", true);
        return failure(toResultError(ApiConnectionError::NilResponseError));
    }
    const std::string& text = *answered->response;
    SvlLog::debug(std::string("Terminated ") + kName, true);
    if (SvlLog::wouldDeliver(SorvelLogLevel::LEVEL_INFO, true)) {
        SvlLog::info(std::string(kName) + " connectSuccess !! response:  " + text + ")", true);
    }
    // Checked whole first: an answer that is not a list of entries stores
    // nothing.
    const auto answer = HistoryListAnswer::check(text);
    if (!answer) {
        SvlLog::error(std::string(kName) + " :: error while parsing jsonString", true);
        return failure(toResultError(JsonError::dictionaryConvertingError));
    }
    if (answer->minutesToRefresh) {
        work.registry->putInt(*answer->minutesToRefresh,
                              DataRegistryKey::STRING_ACTION_HISTORY_MINUTES_TO_REFRESH);
    }
    ActionHistoryResult::Entries entries;
    entries.reserve(answer->entries);
    auto writer = work.dao->serverListWriter();
    HistoryListAnswer::forEachEntry(text, [&](const Value::Map& entry) {
        writer.add(entry);
        if (auto history = ActionHistory::fromDictionary(entry, false)) {
            entries.push_back(std::make_shared<const ActionHistory>(std::move(*history)));
        }
    });
    writer.finish();
    return success(std::move(entries));
}

}  // namespace

// ---- Message history ------------------------------------------------------------------

void Repository::fetchActionHistoryFromServer(const std::optional<std::string>& token,
                                              ActionHistoryIdType idType,
                                              const std::vector<std::string>& actionType,
                                              ActionHistoryCompletion completion) {
    if (!actionHistoryDAO_) {
        answerWithoutHistoryStore("fetchActionHistoryFromServer :: can not use actionHistoryDAO",
                                  completion);
        return;
    }
    std::string id;
    if (idType == ActionHistoryIdType::USER_ID) {
        auto userId = currentUserId(*userPropertyManager_);
        if (!userId) {
            answer(completion, failure(ActionHistoryError::NilIdError));
            return;
        }
        id = std::move(*userId);
    }
    HistoryWork work{actionHistoryDAO_, dataRegistry_, deviceRealtimeDataProvider_,
                     userPropertyManager_};
    actionHistoryExecutor_->async([work, token, id = std::move(id), actionType,
                                   completion = std::move(completion)] {
        ActionHistoryResult result = failure(ActionHistoryError::SqliteQueryError);
        try {
            auto model =
                ActionHistoryQueryModelProvider(commonBlock(work), actionType, 0, 0, 0, 0, true, id)
                    .getApiModel();
            auto connection = connectionWithToken(work, token);
            connection->setPostRequest(*model);
            result = readFetchAnswer(work, ApiConnectionManager().requestSync(connection));
        } catch (const std::exception& e) {
            SvlLog::error(std::string("fetchActionHistoryFromServer :: ") + e.what(), true);
        }
        answer(completion, result);
        // Whatever the outcome: pushes older than the newest server entry go.
        try {
            if (auto last = work.dao->getLastServerTimeStamp()) {
                work.dao->deleteOutDatedPushData(last.value());
            } else {
                SvlLog::error(
                    std::string(
                        "fetchActionHistoryFromServer(token:idType:actionType:completion:) :: ") +
                        describe(last.error()),
                    true);
            }
        } catch (const std::exception& e) {
            SvlLog::error(std::string("fetchActionHistoryFromServer :: ") + e.what(), true);
        }
    });
}

void Repository::insertPushData(const Value::Map& pushJsonDic) {
    if (!actionHistoryDAO_) {
        SvlLog::error("insertPushData :: can not use ActionHistoryDAO", true);
        SvlLog::error(describe(ActionHistoryError::OpenDatabaseError), true);
        return;
    }
    actionHistoryExecutor_->async([dao = actionHistoryDAO_, pushJsonDic] {
        try {
            dao->insertPushData(pushJsonDic);
        } catch (const std::exception& e) {
            SvlLog::error(std::string("insertPushData :: ") + e.what(), true);
        }
    });
}

void Repository::getActionHistory(std::int64_t skip, std::int64_t limit,
                                  const std::vector<std::string>& actionType,
                                  ActionHistoryCompletion completion) {
    if (!actionHistoryDAO_) {
        answerWithoutHistoryStore("getActionHistory :: can not use ActionHistoryDAO", completion);
        return;
    }
    actionHistoryExecutor_->async([dao = actionHistoryDAO_, skip, limit, actionType,
                                   completion = std::move(completion)] {
        answer(completion, runRead([&] { return dao->getActionHistory(skip, limit, actionType); }));
    });
}

void Repository::getAllActionHistory(const std::vector<std::string>& actionType,
                                     ActionHistoryCompletion completion) {
    if (!actionHistoryDAO_) {
        answerWithoutHistoryStore("getAllActionHistory :: can not use actionHistoryDAO",
                                  completion);
        return;
    }
    actionHistoryExecutor_->async(
        [dao = actionHistoryDAO_, actionType, completion = std::move(completion)] {
            answer(completion, runRead([&] { return dao->getAllActionHistory(actionType); }));
        });
}

void Repository::deleteAllActionHistory(const std::optional<std::string>& token,
                                        ActionHistoryIdType idType,
                                        ActionHistoryCompletion completion) {
    static const std::string kName = "deleteAllActionHistory(token:idType:completion:)";
    if (!actionHistoryDAO_) {
        answerWithoutHistoryStore(
            "deleteAllActionHistory(token:idType:completion:) :: can not use actionHistoryDAO",
            completion);
        return;
    }
    HistoryWork work{actionHistoryDAO_, dataRegistry_, deviceRealtimeDataProvider_,
                     userPropertyManager_};
    actionHistoryExecutor_->async([work, token, idType, completion = std::move(completion)] {
        if (!work.dao->clearSyncedActionHistoryInLocalDB()) {
            answer(completion, failure(ActionHistoryError::OpenDatabaseError));
            return;
        }
        const auto id =
            idType == ActionHistoryIdType::USER_ID
                ? currentUserId(*work.userProperties)
                : work.registry->getStringOrNil(DataRegistryKey::STRING_ADID, std::nullopt);
        if (!id) {
            answer(completion, failure(ActionHistoryError::NilIdError));
            return;
        }
        const auto appKey =
            work.registry->getStringOrNil(DataRegistryKey::STRING_APPKEY, std::nullopt);
        if (!appKey) {
            SvlLog::error(kName + " :: No AppKey", true);
            answer(completion, failure(toResultError(ApiConnectionError::NoAppKeyError)));
            return;
        }
        auto model = ActionHistoryDeleteModelProvider(commonBlock(work), *appKey, *id, std::nullopt,
                                                      0, idType)
                         .getApiModel();
        sendDeletion(work, token, model, kName, completion);
    });
}

void Repository::deleteActionHistory(const std::optional<std::string>& token,
                                     const std::string& historyId, std::int64_t timeStamp,
                                     ActionHistoryCompletion completion) {
    static const std::string kName = "deleteActionHistory(token:historyId:timeStamp:completion:)";
    if (!actionHistoryDAO_) {
        answerWithoutHistoryStore(
            "deleteActionHistory(token:historyId:timeStamp:completion:) :: can not use "
            "actionHistoryDAO",
            completion);
        return;
    }
    HistoryWork work{actionHistoryDAO_, dataRegistry_, deviceRealtimeDataProvider_,
                     userPropertyManager_};
    actionHistoryExecutor_->async(
        [work, token, historyId, timeStamp, completion = std::move(completion)] {
            if (!work.dao->deleteActionHistory(historyId, timeStamp)) {
                answer(completion, failure(ActionHistoryError::DeleteLocalDBFailError));
                return;
            }
            const auto appKey =
                work.registry->getStringOrNil(DataRegistryKey::STRING_APPKEY, std::nullopt);
            if (!appKey) {
                SvlLog::error(kName + " :: No AppKey", true);
                answer(completion, failure(toResultError(ApiConnectionError::NoAppKeyError)));
                return;
            }
            std::optional<std::string> id = currentUserId(*work.userProperties);
            ActionHistoryIdType idType = ActionHistoryIdType::USER_ID;
            if (!id) {
                id = work.registry->getStringOrNil(DataRegistryKey::STRING_ADID, std::nullopt);
                idType = ActionHistoryIdType::ADID;
            }
            if (!id) {
                answer(completion, failure(ActionHistoryError::NilIdError));
                return;
            }
            auto model = ActionHistoryDeleteModelProvider(commonBlock(work), *appKey, *id,
                                                          historyId, timeStamp, idType)
                             .getApiModel();
            sendDeletion(work, token, model, kName, completion);
        });
}

void Repository::clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion completion) {
    if (!actionHistoryDAO_) {
        answerWithoutHistoryStore(
            "clearSyncedActionHistoryInLocalDB(completion:) :: can not use ActionHistoryDAO",
            completion);
        return;
    }
    actionHistoryExecutor_->async([dao = actionHistoryDAO_, completion = std::move(completion)] {
        answer(completion, dao->clearSyncedActionHistoryInLocalDB()
                               ? success()
                               : failure(ActionHistoryError::DeleteLocalDBFailError));
    });
}

void Repository::clearAllActionHistoryInLocalDB() {
    if (!actionHistoryDAO_) {
        SvlLog::error("clearAllActionHistoryInLocalDB() :: can not use ActionHistoryDAO", true);
        return;
    }
    actionHistoryExecutor_->async([dao = actionHistoryDAO_] {
        if (dao->clearAllActionHistoryInLocalDB()) {
            SvlLog::debug("clearAllActionHistoryInLocalDB() :: success", true);
        } else {
            SvlLog::error(std::string("clearAllActionHistoryInLocalDB() :: ") +
                              describe(ActionHistoryError::DeleteLocalDBFailError),
                          true);
        }
    });
}

void Repository::dropActionHistoryTable() {
    if (actionHistoryDAO_) {
        actionHistoryExecutor_->async([dao = actionHistoryDAO_] { dao->dropTable(); });
    }
}

void Repository::createActionHistoryTable() {
    if (actionHistoryDAO_) {
        actionHistoryExecutor_->async([dao = actionHistoryDAO_] { dao->createTable(); });
    }
}

}  // namespace sorvel
