#include "Event/SessionAutoEventGenerator.h"

#include <algorithm>

#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DatesAndIds.h"
#include "Common/RegistryStates.h"
#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "Event/DeeplinkParameterSet.h"
#include "Event/DeeplinkPostingObservable.h"
#include "Event/DeeplinkUrl.h"
#include "Event/EventCounters.h"
#include "Event/FirstOpenAutoEventGenerator.h"
#include "Event/IAutoEventRepository.h"
#include "Event/PushOpenMonitor.h"
#include "Event/TypedValueDictionary.h"
#include "Event/V1MigrationManager.h"

namespace sorvel {
namespace {

constexpr std::int64_t kSessionTimeoutMs =
    static_cast<std::int64_t>(Constants::SESSION_TIMEOUT_SECONDS) * 1000;

}  // namespace

SessionAutoEventGenerator::SessionAutoEventGenerator(
    std::shared_ptr<DataRegistry> dataRegistry, std::shared_ptr<EventCounters> counters,
    std::shared_ptr<FirstOpenAutoEventGenerator> firstOpenAutoEventGenerator,
    std::shared_ptr<DeeplinkParameterSet> deeplinkParameterSet,
    std::shared_ptr<IAutoEventRepository> repository,
    std::shared_ptr<V1MigrationManager> v1MigrationManager, LogEventAction logEventAction)
    : dataRegistry_(std::move(dataRegistry)),
      counters_(std::move(counters)),
      firstOpenAutoEventGenerator_(std::move(firstOpenAutoEventGenerator)),
      deeplinkParameterSet_(std::move(deeplinkParameterSet)),
      logEventAction_(std::move(logEventAction)),
      repository_(std::move(repository)),
      v1MigrationManager_(std::move(v1MigrationManager)) {
    const DataRegistry& registry = *dataRegistry_;
    lastCreatedSessionId_ = registry.getString(DataRegistryKey::STRING_LAST_CREATED_SESSION_ID, "");
    lastEndSessionId_ = registry.getString(DataRegistryKey::STRING_LAST_END_SESSION_ID, "");
    lastSessionCreatedTime_ =
        registry.getInt64(DataRegistryKey::INT64_LAST_SESSION_CREATED_TIME, 0);
    lastSessionEndTime_ = registry.getInt64(DataRegistryKey::INT64_LAST_SESSION_END_TIME, 0);
    isEndSessionSentLast_ = registry.getBool(DataRegistryKey::BOOL_IS_END_SESSION_SENT_LAST, false);
}

void SessionAutoEventGenerator::handleDidBecomeActive() {
    if (SVLBooleanState::isSessionStarted().get()) {
        const std::int64_t away =
            autoevent::saturatingSub(autoevent::nowMillis(), lastSessionEndTime_);
        if (lastSessionEndTime_ == 0 || away < kSessionTimeoutMs) {
            return;
        }
    }
    if (v1MigrationManager_) {
        v1MigrationManager_->migrate();
    }
    if (!lastCreatedSessionId_.empty() && lastCreatedSessionId_ != lastEndSessionId_) {
        endSession(
            autoevent::makeAutoEvent(Constants::EVENT_NAME_END_SESSION, {}, 0, getSessionLength()));
    }
    if (FvnUtil::isBeforeFirstOpen(*dataRegistry_)) {
        // Without network the completion is not called: no session starts on
        // this activation, and the next one tries the first open again.
        firstOpenAutoEventGenerator_->getFirstOpenParameter([this](const Value::Map& parameters) {
            SvlLog::debug("FirstOpen start", true);
            startSession(StartSessionType::FIRST_OPEN, parameters);
            SvlLog::debug("FirstOpen finished successfully", true);
            firstOpenAutoEventGenerator_->runDeferredDeeplinkProcess();
        });
        return;
    }
    startSessionWithoutFirstOpen();
}

void SessionAutoEventGenerator::startSessionWithoutFirstOpen() {
    if (const std::optional<std::string> url = FvnUtil::popStoredDeeplinkUrl(*dataRegistry_)) {
        Value::Map parameters = FvnUtil::getDeeplinkParameters(*url);
        if (deeplinkParameterSet_->isUsedOrExpiredDeeplink(parameters) ||
            !FvnUtil::isSorvelDeeplink(parameters, *url, *dataRegistry_)) {
            startSession(StartSessionType::BASIC_OPEN, {});
            return;
        }
        startSession(StartSessionType::DEEPLINK_OPEN, std::move(parameters));
        DeeplinkPostingObservable::shared().notifyObservers(*url);
        return;
    }
    // Taken and cleared in one step: a push open marked meanwhile waits for
    // the next session start instead of being cleared unseen.
    if (std::optional<Value::Map> pushParameters = PushOpenMonitor::shared().take()) {
        startSession(StartSessionType::PUSH_OPEN, std::move(*pushParameters));
        return;
    }
    startSession(StartSessionType::BASIC_OPEN, {});
}

void SessionAutoEventGenerator::handleWillResignActive() {
    setLastSessionEndTime(autoevent::nowMillis());
}

void SessionAutoEventGenerator::startSession(StartSessionType type, Value::Map parameters) {
    if (SVLBooleanState::isSessionStarted().get()) {
        return;
    }
    DataRegistry& registry = *dataRegistry_;
    const std::int64_t now = autoevent::nowMillis();
    setLastCreatedSessionId(FvnUtil::createEventId());
    setLastSessionCreatedTime(now);
    repository_->resetInAppMessageSessionFrequency();
    if (autoevent::isInAppMessageListExpired(registry, now)) {
        repository_->fetchInAppMessages();
    }
    parameters[Constants::PARAM_KEY_OPEN_TYPE] = Value(std::string(rawValue(type)));
    // Typed, the open type reads "string:first_open": the sampling key of the
    // event becomes "svl:first_open", "svl:deeplink_open", ... so the first
    // and deeplink opens fall under the keys that are never sampled.
    LogEventParameter event = autoevent::makeAutoEvent(Constants::EVENT_NAME_START_SESSION,
                                                       FvnUtil::toTypedValueDictionary(parameters),
                                                       getSessionInterval(), 0);
    if (type == StartSessionType::FIRST_OPEN) {
        registry.putString(event.eventId, DataRegistryKey::STRING_LAST_FIRSTOPEN_ID);
        registry.putString(event.eventId, DataRegistryKey::STRING_LAST_OPEN_ID);
    } else if (type == StartSessionType::DEEPLINK_OPEN) {
        registry.putString(event.eventId, DataRegistryKey::STRING_LAST_DEEPLINK_ID);
        registry.putString(event.eventId, DataRegistryKey::STRING_LAST_OPEN_ID);
    }
    counters_->resetSession();
    if (logEventAction_) {
        logEventAction_(event);
    }
    SVLBooleanState::isSessionStarted().set(true);
    isEndSessionSentLast_ = false;
    registry.putBool(false, DataRegistryKey::BOOL_IS_END_SESSION_SENT_LAST);
}

void SessionAutoEventGenerator::endSession(const LogEventParameter& parameter) {
    if (isEndSessionSentLast_) {
        return;
    }
    setLastEndSessionId(lastCreatedSessionId_);
    if (logEventAction_) {
        logEventAction_(parameter);
    }
    SVLBooleanState::isSessionStarted().set(false);
    isEndSessionSentLast_ = true;
    dataRegistry_->putBool(true, DataRegistryKey::BOOL_IS_END_SESSION_SENT_LAST);
}

std::int64_t SessionAutoEventGenerator::getSessionInterval() const {
    if (lastSessionEndTime_ == 0) {
        return 0;
    }
    // A wall clock set back would make it negative: no interval then.
    return std::max<std::int64_t>(
        0, autoevent::saturatingSub(autoevent::nowMillis(), lastSessionEndTime_));
}

std::int64_t SessionAutoEventGenerator::getSessionLength() const {
    // An end older than the start (a crash without resign, two activations
    // with an old end) gives no negative duration: the length is 0.
    return std::max<std::int64_t>(
        0, autoevent::saturatingSub(lastSessionEndTime_, lastSessionCreatedTime_));
}

void SessionAutoEventGenerator::setLastCreatedSessionId(const std::string& id) {
    lastCreatedSessionId_ = id;
    dataRegistry_->putString(id, DataRegistryKey::STRING_LAST_CREATED_SESSION_ID);
}

void SessionAutoEventGenerator::setLastEndSessionId(const std::string& id) {
    lastEndSessionId_ = id;
    dataRegistry_->putString(id, DataRegistryKey::STRING_LAST_END_SESSION_ID);
}

void SessionAutoEventGenerator::setLastSessionCreatedTime(std::int64_t ms) {
    lastSessionCreatedTime_ = ms;
    dataRegistry_->putInt64(ms, DataRegistryKey::INT64_LAST_SESSION_CREATED_TIME);
}

void SessionAutoEventGenerator::setLastSessionEndTime(std::int64_t ms) {
    lastSessionEndTime_ = ms;
    dataRegistry_->putInt64(ms, DataRegistryKey::INT64_LAST_SESSION_END_TIME);
}

}  // namespace sorvel
