#pragma once

#include <atomic>
#include <functional>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/GdprForgetMe.h"
#include "Data/Repository/IRepository.h"
#include "Event/EventModel.h"
#include "Event/EventModelProvider.h"
#include "Platform/Dispatch.h"
#include "Platform/Mutex.h"
#include "sorvel/SorvelLogLevel.h"

namespace sorvel {

class ActionHistoryDAO;
class DataRegistry;
class DeviceRealtimeDataProvider;
class DeviceStaticDataProvider;
class EventBuffer;
class EventCounters;
class EventSamplingFilter;
class IInAppMessageDisplay;
class InAppMessage;
class InAppMessageDAO;
class UserPropertyManager;

// The data layer behind the use cases: it consults the user-property store,
// the registry, the remote configuration, the sampling filter, the event
// model builder, the event buffer and the network, in a fixed order, and
// keeps no state of its own beyond the lock of its event operations. What its
// operations change lives in the registry and in those collaborators.
//
// Events arrive from the controller queue, the main thread (in-app views) and
// global-queue threads (daily first open). One lock covers each event from
// the block check to the previous id's update, so the order numbers and the
// previous-id chain follow the order in which events enter the buffer.
//
// Server requests block the calling thread until answered; their completions
// run on the connection's callback thread (or, after a retry, on the thread of
// the retried attempt).
//
// In-app messages run while the remote configuration's in-app switch is on
// and the campaign store is present: every call into the store, and the
// campaign download's first attempt, on the serial "FvnInAppMessageDispatchQueue";
// the orientation and the view on the main thread. Otherwise the in-app
// operations return silently.
//
// The message-history store may be absent (it could not be opened): every
// message-history operation then logs its line and answers its completion with
// OpenDatabaseError on the caller's thread. Otherwise each runs on the serial
// "FvnActionHistoryDispatchQueue" and answers there.
class Repository final : public IRepository, public std::enable_shared_from_this<Repository> {
  public:
    Repository(std::shared_ptr<UserPropertyManager> userPropertyManager,
               std::shared_ptr<DataRegistry> dataRegistry, std::shared_ptr<EventBuffer> eventBuffer,
               std::shared_ptr<EventSamplingFilter> eventSamplingFilter,
               std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider,
               std::shared_ptr<DeviceStaticDataProvider> deviceStaticDataProvider,
               std::shared_ptr<ActionHistoryDAO> actionHistoryDAO = nullptr,
               std::shared_ptr<InAppMessageDAO> inAppMessageDAO = nullptr,
               std::shared_ptr<IInAppMessageDisplay> inAppMessageDisplay = nullptr);
    ~Repository() override;

    bool saveUserProperty(const Value::Map& properties) override;
    bool saveCiProperty(const Value::Map& properties) override;
    void clearUserProperty() override;
    void initDefaultConfigValue() override;
    // Fetches the remote configuration and applies it; skipped under GDPR
    // forget-me and all-stop, and without an app key.
    void syncApplicationConfigure() override;
    // Sends the erasure request (retried); the forget-me flag is stored true
    // in both outcomes, the server-sync flag true only on success.
    void requestGdprForgetMe(GdprForgetMe::Done done) override;
    void saveUnsentEvents() override;
    // Drops an event on the remote block list or sampled out; otherwise its
    // model goes to the buffer and its id becomes the stored previous id.
    void logEvent(LogEventParameter parameter) override;
    // One "svl" event per page of 100 products, all pages with one id, one
    // time and one pair of order numbers; an empty list gives one event.
    void logSameEventWithPaging(const std::vector<SorvelKvCommerceProductModel>& products,
                                const std::string& eventName,
                                const Value::Map& eventParam) override;
    void flushAllNow() override;
    void flushAtIntervals() override;
    // At each session start: every campaign's per-session count back to 0.
    void resetInAppMessageSessionFrequency() override;
    // The trigger road for an event ("<group>:<name>"): the campaign store
    // picks the message on the in-app queue, the display shows it on the
    // main thread. Refused while a message is on screen.
    void getInAppMessage(const std::string& eventName) override;
    // Downloads the campaign list and hands it to the campaign store.
    void fetchInAppMessages() override;
    // Waits until the in-app work queued so far has run (tests, tools).
    void waitForInAppQueue();
    // The delete/restart requests (not retried) and their stored outcome:
    //   delete success: stopped true, sync true   (DELETE_SYNCED)
    //   delete failure: stopped true, sync false  (DELETE_NOT_SYNCED)
    //   restart success: stopped false, sync false (INIT_RESTART_SYNCED)
    //   restart failure: stopped false, sync true  (INIT_RESTART_NOT_SYNCED)
    // The completion gets SUCCESS or FAILURE once the outcome is stored.
    void requestDeleteUserData(const std::string& userId, CompletionCallback completion) override;
    void restartSDK(const std::string& userId, CompletionCallback completion) override;

    void fetchActionHistoryFromServer(const std::optional<std::string>& token,
                                      ActionHistoryIdType idType,
                                      const std::vector<std::string>& actionType,
                                      ActionHistoryCompletion completion) override;
    void insertPushData(const Value::Map& pushJsonDic) override;
    void getActionHistory(std::int64_t skip, std::int64_t limit,
                          const std::vector<std::string>& actionType,
                          ActionHistoryCompletion completion) override;
    void getAllActionHistory(const std::vector<std::string>& actionType,
                             ActionHistoryCompletion completion) override;
    void deleteAllActionHistory(const std::optional<std::string>& token, ActionHistoryIdType idType,
                                ActionHistoryCompletion completion) override;
    void deleteActionHistory(const std::optional<std::string>& token, const std::string& historyId,
                             std::int64_t timeStamp, ActionHistoryCompletion completion) override;
    void clearSyncedActionHistoryInLocalDB(ActionHistoryCompletion completion) override;
    void clearAllActionHistoryInLocalDB() override;

    EventModel buildEventModel(LogEventParameter parameter) const;
    // The body of a restart request by the delete/restart state: "restart" in
    // NORMAL (also when the state cannot be read), the stored init-restart
    // event again in INIT_RESTART_NOT_SYNCED, a new one in every other state.
    std::shared_ptr<IApiModel> buildDRModel(const std::string& userId) const;
    // What a delete answer leaves: the registry wiped but for the two keys and
    // the two flags, the device id deleted, the in-memory properties and the
    // unsent events dropped. A second failure in a row changes nothing.
    void onDeleteComplete(bool isSuccess);
    void onRestartComplete(bool isSuccess);

  private:
    // What a delete or a restart logs of its answer; the failure line is
    // followed by the response code.
    struct DRAnswerLines {
        const char* success;
        std::string failure;
        SorvelLogLevel failureLevel;
    };
    std::string drWorksEndpoint() const;
    // Posts the model to the delete/restart endpoint without retries, then
    // logs the answer, stores its outcome with onComplete and answers the
    // completion.
    void postDRWorks(const IApiModel& model, const DRAnswerLines& lines,
                     void (Repository::*onComplete)(bool), CompletionCallback completion);
    // The local stores' part of a delete and of a restart. Each store works on
    // its own serial executor when present.
    void dropLocalStoreTables();
    void createLocalStoreTables();
    void dropActionHistoryTable();
    void createActionHistoryTable();
    // The campaign store's part of a delete and of a restart.
    void dropInAppMessageTables();
    void createInAppMessageTables();
    // Queues a block of the in-app road; the store's trigger names are read
    // again after it, before it counts as finished.
    void runOnInAppQueue(std::function<void()> block);
    // The in-app switch: the remote configuration's flag, and a campaign store.
    bool isInAppMessageActive() const;
    // The display step of the trigger road, on the main thread.
    void displayInAppMessage(std::shared_ptr<const InAppMessage> message);

    const std::shared_ptr<UserPropertyManager> userPropertyManager_;
    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<EventBuffer> eventBuffer_;
    const std::shared_ptr<EventCounters> eventCounters_;
    const std::shared_ptr<EventSamplingFilter> eventSamplingFilter_;
    const std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider_;
    const std::shared_ptr<DeviceStaticDataProvider> deviceStaticDataProvider_;
    // What every event carries from the registry and the properties, made
    // again only when a value in it changed.
    const std::shared_ptr<EventContextCache> eventContexts_ =
        std::make_shared<EventContextCache>(userPropertyManager_, dataRegistry_);

    const std::shared_ptr<InAppMessageDAO> inAppMessageDAO_;
    const std::shared_ptr<IInAppMessageDisplay> inAppMessageDisplay_;
    // Blocks queued on the in-app queue that may change the campaigns (every
    // one but a trigger's lookup) and not yet finished. While none is, and the
    // store's file has had no commit since its trigger names were read (by
    // this process or another), they are those a lookup queued now would read.
    const std::shared_ptr<std::atomic<std::int64_t>> inAppBlocksPending_ =
        std::make_shared<std::atomic<std::int64_t>>(0);
    // True from the moment a trigger's lookup selects a message until its
    // display step is over, shown or not: a trigger in between is refused as
    // one arriving while a message is on screen, so that two messages never
    // stack on the screen (and the second is not counted against its caps).
    const std::shared_ptr<std::atomic<bool>> inAppMessageSelected_ =
        std::make_shared<std::atomic<bool>>(false);

    // Held from the block check to the previous id's update of an event.
    platform::Mutex eventMu_;
    // The id of the event being logged, until it becomes the previous id.
    std::optional<InlineText> lastEventId_ GUARDED_BY(eventMu_);

    // Absent when the message-history database could not be opened.
    const std::shared_ptr<ActionHistoryDAO> actionHistoryDAO_;
    // "FvnActionHistoryDispatchQueue": every store call and history request.
    const std::shared_ptr<platform::DispatchQueue> actionHistoryExecutor_;
    // Declared last: it goes first, running what was queued while the rest
    // is still in place.
    const std::shared_ptr<platform::DispatchQueue> inAppMessageExecutor_;
};

}  // namespace sorvel
