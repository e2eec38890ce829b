#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Event/AutoEvent.h"
#include "Event/StartSessionType.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;
class DeeplinkParameterSet;
class EventCounters;
class FirstOpenAutoEventGenerator;
class IAutoEventRepository;
class V1MigrationManager;

// Turns the app's life cycle into sessions. Each activation either continues
// the live session (the app came back within 60 s of resigning, or has not
// resigned since the session started) or sends the pending "end_session" of
// the old session and starts a new one with one "start_session" whose open
// type says why the app opened: first open, a tracking deeplink, a push
// notification, or plainly. Resigning only records the end time; the end of a
// session is sent lazily, at the next session start.
//
// Every call comes from the controller's serial queue, one at a time.
class SessionAutoEventGenerator {
  public:
    SessionAutoEventGenerator(
        std::shared_ptr<DataRegistry> dataRegistry, std::shared_ptr<EventCounters> counters,
        std::shared_ptr<FirstOpenAutoEventGenerator> firstOpenAutoEventGenerator,
        std::shared_ptr<DeeplinkParameterSet> deeplinkParameterSet,
        std::shared_ptr<IAutoEventRepository> repository,
        std::shared_ptr<V1MigrationManager> v1MigrationManager, LogEventAction logEventAction);

    void handleDidBecomeActive();
    void handleWillResignActive();
    // Opens a session unless one is live; the parameters get "svl:open_type".
    void startSession(StartSessionType type, Value::Map parameters);
    // Sends the prepared "end_session" unless the last session event sent
    // was already an end.
    void endSession(const LogEventParameter& parameter);

    // Milliseconds since the last resign (0 when none is recorded), carried by
    // "start_session".
    std::int64_t getSessionInterval() const;
    // Milliseconds from the session's start to the last resign, carried by
    // "end_session".
    std::int64_t getSessionLength() const;

    void setLastCreatedSessionId(const std::string& id);
    void setLastEndSessionId(const std::string& id);
    void setLastSessionCreatedTime(std::int64_t ms);
    void setLastSessionEndTime(std::int64_t ms);

  private:
    // The start type of a new session other than a first open: a stored
    // tracking deeplink, then a push open, then a plain open.
    void startSessionWithoutFirstOpen();

    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<EventCounters> counters_;
    const std::shared_ptr<FirstOpenAutoEventGenerator> firstOpenAutoEventGenerator_;
    const std::shared_ptr<DeeplinkParameterSet> deeplinkParameterSet_;
    const LogEventAction logEventAction_;
    const std::shared_ptr<IAutoEventRepository> repository_;
    const std::shared_ptr<V1MigrationManager> v1MigrationManager_;
    std::string lastCreatedSessionId_;
    std::string lastEndSessionId_;
    std::int64_t lastSessionCreatedTime_ = 0;
    std::int64_t lastSessionEndTime_ = 0;
    bool isEndSessionSentLast_ = false;
};

}  // namespace sorvel
