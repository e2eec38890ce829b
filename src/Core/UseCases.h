#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Core/MessageType.h"
#include "Data/Repository/IRepository.h"
#include "Event/LogEventParameter.h"
#include "sorvel/ActionHistoryResult.h"
#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/Value.h"
#include "Common/GdprForgetMe.h"

namespace sorvel {

// One command object per data-layer operation: it holds the repository and
// the call's stored arguments, and its execute calls exactly one repository
// operation and hands back its result. Use cases keep no state between calls,
// log nothing, take no lock and never call a completion themselves: the
// repository operation they pass it to does.

// A use case without parameters.
template <class T>
concept UseCase = requires(T& useCase) {
    typename T::R;
    { useCase.execute() } -> std::same_as<typename T::R>;
};

// A use case with one parameter.
template <class T>
concept UseCaseWithParam = requires(T& useCase, const typename T::P& p) {
    typename T::R;
    { useCase.execute(p) } -> std::same_as<typename T::R>;
};

// A use case with three parameters, in the order P1, P2, P3.
template <class T>
concept UseCaseWithTriParam = requires(T& useCase, const typename T::P1& p1,
                                       const typename T::P2& p2, const typename T::P3& p3) {
    typename T::R;
    { useCase.execute(p1, p2, p3) } -> std::same_as<typename T::R>;
};

class FlushAllNowUseCase {
  public:
    using R = void;
    explicit FlushAllNowUseCase(std::shared_ptr<IRepository> repository)
        : repository(std::move(repository)) {}
    R execute() { repository->flushAllNow(); }

    std::shared_ptr<IRepository> repository;
};

class FlushAtIntervalsUseCase {
  public:
    using R = void;
    explicit FlushAtIntervalsUseCase(std::shared_ptr<IRepository> repository)
        : repository(std::move(repository)) {}
    R execute() { repository->flushAtIntervals(); }

    std::shared_ptr<IRepository> repository;
};

class GdprForgetMeUseCase {
  public:
    using R = void;
    explicit GdprForgetMeUseCase(std::shared_ptr<IRepository> repository,
                                 GdprForgetMe::Done done = nullptr)
        : repository(std::move(repository)), done(std::move(done)) {}
    R execute() { repository->requestGdprForgetMe(done); }

    std::shared_ptr<IRepository> repository;
    // Handed on to the request: it runs once the erasure request is finished.
    GdprForgetMe::Done done;
};

class InitDefaultConfigValueUseCase {
  public:
    using R = void;
    explicit InitDefaultConfigValueUseCase(std::shared_ptr<IRepository> repository)
        : repository(std::move(repository)) {}
    R execute() { repository->initDefaultConfigValue(); }

    std::shared_ptr<IRepository> repository;
};

class SaveUnsentEventsUseCase {
  public:
    using R = void;
    explicit SaveUnsentEventsUseCase(std::shared_ptr<IRepository> repository)
        : repository(std::move(repository)) {}
    R execute() { repository->saveUnsentEvents(); }

    std::shared_ptr<IRepository> repository;
};

class SyncApplicationConfigureUseCase {
  public:
    using R = void;
    explicit SyncApplicationConfigureUseCase(std::shared_ptr<IRepository> repository)
        : repository(std::move(repository)) {}
    R execute() { repository->syncApplicationConfigure(); }

    std::shared_ptr<IRepository> repository;
};

class DeleteUserDataUseCase {
  public:
    using R = void;
    using P = std::string;  // the user id
    DeleteUserDataUseCase(std::shared_ptr<IRepository> repository, CompletionCallback completion)
        : repository(std::move(repository)), completion(std::move(completion)) {}
    R execute(const P& userId) { repository->requestDeleteUserData(userId, completion); }

    std::shared_ptr<IRepository> repository;
    CompletionCallback completion;
};

class RestartSDKUseCase {
  public:
    using R = void;
    using P = std::string;  // the user id
    RestartSDKUseCase(std::shared_ptr<IRepository> repository, CompletionCallback completion)
        : repository(std::move(repository)), completion(std::move(completion)) {}
    R execute(const P& userId) { repository->restartSDK(userId, completion); }

    std::shared_ptr<IRepository> repository;
    CompletionCallback completion;
};

class LogEventUseCase {
  public:
    using R = void;
    using P = LogEventParameter;
    explicit LogEventUseCase(std::shared_ptr<IRepository> repository)
        : repository(std::move(repository)) {}
    R execute(P parameter) { repository->logEvent(std::move(parameter)); }

    std::shared_ptr<IRepository> repository;
};

class LogSameEventWithPagingUseCase {
  public:
    using R = void;
    using P1 = std::vector<SorvelKvCommerceProductModel>;
    using P2 = std::string;
    using P3 = Value::Map;
    explicit LogSameEventWithPagingUseCase(std::shared_ptr<IRepository> repository)
        : repository(std::move(repository)) {}
    R execute(const P1& products, const P2& eventName, const P3& eventParam) {
        repository->logSameEventWithPaging(products, eventName, eventParam);
    }

    std::shared_ptr<IRepository> repository;
};

class SaveUserPropertyWithoutEventUseCase {
  public:
    using R = bool;
    using P = Value::Map;
    explicit SaveUserPropertyWithoutEventUseCase(std::shared_ptr<IRepository> repository)
        : repository(std::move(repository)) {}
    R execute(const P& properties) { return repository->saveUserProperty(properties); }

    std::shared_ptr<IRepository> repository;
};

class SaveCiPropertyWithoutEventUseCase {
  public:
    using R = bool;
    using P = Value::Map;
    explicit SaveCiPropertyWithoutEventUseCase(std::shared_ptr<IRepository> repository)
        : repository(std::move(repository)) {}
    R execute(const P& properties) { return repository->saveCiProperty(properties); }

    std::shared_ptr<IRepository> repository;
};

class TriggerInAppMessageUseCase {
  public:
    using R = void;
    using P = std::string;  // "<group>:<event name>"
    explicit TriggerInAppMessageUseCase(std::shared_ptr<IRepository> repository)
        : repository(std::move(repository)) {}
    R execute(const P& event) { repository->getInAppMessage(event); }

    std::shared_ptr<IRepository> repository;
};

class ClearUserPropertyUseCase {
  public:
    using R = void;
    explicit ClearUserPropertyUseCase(std::shared_ptr<IRepository> repository)
        : repository(std::move(repository)) {}
    R execute() { repository->clearUserProperty(); }

    std::shared_ptr<IRepository> repository;
};

class FetchActionHistoryFromServerUseCase {
  public:
    using R = void;
    FetchActionHistoryFromServerUseCase(std::shared_ptr<IRepository> repository,
                                        std::optional<std::string> token,
                                        ActionHistoryIdType idType,
                                        std::vector<std::string> actionType,
                                        ActionHistoryCompletion completion)
        : repository(std::move(repository)),
          token(std::move(token)),
          idType(idType),
          actionType(std::move(actionType)),
          completion(std::move(completion)) {}
    R execute() { repository->fetchActionHistoryFromServer(token, idType, actionType, completion); }

    std::shared_ptr<IRepository> repository;
    std::optional<std::string> token;
    ActionHistoryIdType idType;
    std::vector<std::string> actionType;
    ActionHistoryCompletion completion;
};

class InsertPushDataUseCase {
  public:
    using R = void;
    InsertPushDataUseCase(std::shared_ptr<IRepository> repository, Value::Map pushJsonDic)
        : repository(std::move(repository)), pushJsonDic(std::move(pushJsonDic)) {}
    R execute() { repository->insertPushData(pushJsonDic); }

    std::shared_ptr<IRepository> repository;
    Value::Map pushJsonDic;
};

class GetActionHistoryUseCase {
  public:
    using R = void;
    GetActionHistoryUseCase(std::shared_ptr<IRepository> repository, std::int64_t skip,
                            std::int64_t limit, std::vector<std::string> actionType,
                            ActionHistoryCompletion completion)
        : repository(std::move(repository)),
          skip(skip),
          limit(limit),
          actionType(std::move(actionType)),
          completion(std::move(completion)) {}
    R execute() { repository->getActionHistory(skip, limit, actionType, completion); }

    std::shared_ptr<IRepository> repository;
    std::int64_t skip;
    std::int64_t limit;
    std::vector<std::string> actionType;
    ActionHistoryCompletion completion;
};

class GetAllActionHistoryUseCase {
  public:
    using R = void;
    GetAllActionHistoryUseCase(std::shared_ptr<IRepository> repository,
                               std::vector<std::string> actionType,
                               ActionHistoryCompletion completion)
        : repository(std::move(repository)),
          actionType(std::move(actionType)),
          completion(std::move(completion)) {}
    R execute() { repository->getAllActionHistory(actionType, completion); }

    std::shared_ptr<IRepository> repository;
    std::vector<std::string> actionType;
    ActionHistoryCompletion completion;
};

class DeleteAllActionHistoryUseCase {
  public:
    using R = void;
    DeleteAllActionHistoryUseCase(std::shared_ptr<IRepository> repository,
                                  std::optional<std::string> token, ActionHistoryIdType idType,
                                  ActionHistoryCompletion completion)
        : repository(std::move(repository)),
          token(std::move(token)),
          idType(idType),
          completion(std::move(completion)) {}
    R execute() { repository->deleteAllActionHistory(token, idType, completion); }

    std::shared_ptr<IRepository> repository;
    std::optional<std::string> token;
    ActionHistoryIdType idType;
    ActionHistoryCompletion completion;
};

class DeleteActionHistoryUseCase {
  public:
    using R = void;
    DeleteActionHistoryUseCase(std::shared_ptr<IRepository> repository,
                               std::optional<std::string> token, std::string historyId,
                               std::int64_t timeStamp, ActionHistoryCompletion completion)
        : repository(std::move(repository)),
          token(std::move(token)),
          historyId(std::move(historyId)),
          timeStamp(timeStamp),
          completion(std::move(completion)) {}
    R execute() { repository->deleteActionHistory(token, historyId, timeStamp, completion); }

    std::shared_ptr<IRepository> repository;
    std::optional<std::string> token;
    std::string historyId;
    std::int64_t timeStamp;
    ActionHistoryCompletion completion;
};

class ClearSyncedActionHistoryInLocalDBUseCase {
  public:
    using R = void;
    ClearSyncedActionHistoryInLocalDBUseCase(std::shared_ptr<IRepository> repository,
                                             ActionHistoryCompletion completion)
        : repository(std::move(repository)), completion(std::move(completion)) {}
    R execute() { repository->clearSyncedActionHistoryInLocalDB(completion); }

    std::shared_ptr<IRepository> repository;
    ActionHistoryCompletion completion;
};

class ClearAllActionHistoryInLocalDBUseCase {
  public:
    using R = void;
    explicit ClearAllActionHistoryInLocalDBUseCase(std::shared_ptr<IRepository> repository)
        : repository(std::move(repository)) {}
    R execute() { repository->clearAllActionHistoryInLocalDB(); }

    std::shared_ptr<IRepository> repository;
};

static_assert(UseCase<FlushAllNowUseCase>);
static_assert(UseCase<FlushAtIntervalsUseCase>);
static_assert(UseCase<GdprForgetMeUseCase>);
static_assert(UseCase<InitDefaultConfigValueUseCase>);
static_assert(UseCase<SaveUnsentEventsUseCase>);
static_assert(UseCase<SyncApplicationConfigureUseCase>);
static_assert(UseCaseWithParam<DeleteUserDataUseCase>);
static_assert(UseCaseWithParam<RestartSDKUseCase>);
static_assert(UseCaseWithParam<LogEventUseCase>);
static_assert(UseCaseWithTriParam<LogSameEventWithPagingUseCase>);
static_assert(UseCaseWithParam<SaveUserPropertyWithoutEventUseCase>);
static_assert(UseCaseWithParam<SaveCiPropertyWithoutEventUseCase>);
static_assert(UseCaseWithParam<TriggerInAppMessageUseCase>);
static_assert(UseCase<ClearUserPropertyUseCase>);
static_assert(UseCase<FetchActionHistoryFromServerUseCase>);
static_assert(UseCase<InsertPushDataUseCase>);
static_assert(UseCase<GetActionHistoryUseCase>);
static_assert(UseCase<GetAllActionHistoryUseCase>);
static_assert(UseCase<DeleteAllActionHistoryUseCase>);
static_assert(UseCase<DeleteActionHistoryUseCase>);
static_assert(UseCase<ClearSyncedActionHistoryInLocalDBUseCase>);
static_assert(UseCase<ClearAllActionHistoryInLocalDBUseCase>);
// The kinds do not blur: a parameterless use case takes no parameter and the
// reverse.
static_assert(!UseCaseWithParam<FlushAllNowUseCase>);
static_assert(!UseCase<LogEventUseCase>);
static_assert(!UseCaseWithParam<LogSameEventWithPagingUseCase>);

}  // namespace sorvel
