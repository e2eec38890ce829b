// The repository's in-app road: the per-session reset, the trigger road from
// an event to a built message handed to the display, and the campaign
// download.
#include "Common/DataRegistry.h"
#include "Common/Extensions.h"
#include "Common/RegistryStates.h"
#include "Common/SVLBooleanState.h"
#include "Common/SvlLog.h"
#include "Data/ModelProvider/InAppMessageModelProvider.h"
#include "Data/Repository/InAppMessageDisplay.h"
#include "Data/Repository/Repository.h"
#include "InAppMessage/InAppMessageDAO.h"
#include "Network/ApiConnection.h"
#include "Network/ApiConnectionManager.h"
#include "Platform/Http.h"

namespace sorvel {

namespace {

// Queues a block of the in-app road, counted in pending until it has run and
// the store's trigger names were read again after it.
void queueInApp(platform::DispatchQueue& queue, std::shared_ptr<InAppMessageDAO> dao,
                std::shared_ptr<std::atomic<std::int64_t>> pending, std::function<void()> block) {
    pending->fetch_add(1);
    queue.async([block = std::move(block), dao = std::move(dao), pending = std::move(pending)] {
        struct Finish {
            const std::shared_ptr<InAppMessageDAO>& dao;
            const std::shared_ptr<std::atomic<std::int64_t>>& pending;
            ~Finish() {
                if (dao) {
                    dao->store().refreshTriggerEventNames();
                }
                pending->fetch_sub(1);
            }
        } finish{dao, pending};
        block();
    });
}

// A message on screen, or one selected and not yet through its display step.
// The selection is read first: the display step marks a message shown before
// it lets its selection go, so a message on its way is never missed.
bool messageShownOrSelected(const std::atomic<bool>& selected) {
    return selected.load() || SVLBooleanState::isInAppMessageShowing().get();
}

// The selection mark of one selected message, held until its display step is
// over, or until that step's block is dropped without running.
class SelectionHold {
  public:
    explicit SelectionHold(std::shared_ptr<std::atomic<bool>> selected)
        : selected_(std::move(selected)) {
        selected_->store(true);
    }
    ~SelectionHold() { release(); }
    SelectionHold(const SelectionHold&) = delete;
    SelectionHold& operator=(const SelectionHold&) = delete;

    void release() {
        if (selected_) {
            selected_->store(false);
            selected_.reset();
        }
    }

  private:
    std::shared_ptr<std::atomic<bool>> selected_;
};

}  // namespace

Repository::~Repository() = default;

bool Repository::isInAppMessageActive() const {
    return inAppMessageDAO_ &&
           dataRegistry_->getBool(DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE, false);
}

void Repository::resetInAppMessageSessionFrequency() {
    if (!isInAppMessageActive()) {
        return;
    }
    runOnInAppQueue([dao = inAppMessageDAO_] { dao->resetFrequencyCapPerSession(); });
}

void Repository::runOnInAppQueue(std::function<void()> block) {
    queueInApp(*inAppMessageExecutor_, inAppMessageDAO_, inAppBlocksPending_, std::move(block));
}

void Repository::getInAppMessage(const std::string& eventName) {
    if (!isInAppMessageActive()) {
        return;
    }
    // Most events trigger no campaign: with nothing queued before it that may
    // change the campaigns, such an event is answered here, without waking
    // the in-app queue for a lookup that would find nothing. Lookups queued
    // before it change no trigger name, so they do not count: were they to,
    // a stream faster than the queue would keep one queued for good, and
    // every event after it would take the queue too. The store answers "no"
    // only from names read after the last commit to its file by anyone, so a
    // list another process stored is never missed; it waits on no table read.
    if (inAppBlocksPending_->load() == 0 && !inAppMessageDAO_->store().mayTrigger(eventName)) {
        if (SvlLog::wouldDeliver(SorvelLogLevel::LEVEL_DEBUG, true)) {
            if (messageShownOrSelected(*inAppMessageSelected_)) {
                SvlLog::debug("InAppMessage already shown", true);
            } else {
                SvlLog::debug(
                    "getInAppMessageByCampaignId Fail, No Valid InAppMessage, eventName : " +
                        eventName,
                    true);
            }
        }
        return;
    }
    inAppMessageExecutor_->async([dao = inAppMessageDAO_, display = inAppMessageDisplay_,
                                  selected = inAppMessageSelected_, self = weak_from_this(),
                                  eventName] {
        // The names are read again after the lookup (a shown message counts
        // in the store; another process may have written), so that the
        // events after it are answered at once again.
        struct Refresh {
            InAppMessageDAO& dao;
            ~Refresh() { dao.store().refreshTriggerEventNames(); }
        } refresh{*dao};
        if (messageShownOrSelected(*selected)) {
            SvlLog::debug("InAppMessage already shown", true);
            return;
        }
        if (platform::isMainThread()) {
            SvlLog::error("fatal Error :: getInAppMessage is called on MainThread!!", true);
            return;
        }
        // Read here, not by waiting for the main thread: a host that runs no
        // main loop would hold this queue (and the SDK's shutdown) forever.
        const bool isPortrait = display->isPortrait();
        auto message = dao->getInAppMessageByEventName(eventName, isPortrait);
        if (!message) {
            return;
        }
        // Until the main thread has laid this message on the screen (or
        // found it cannot), a later trigger is refused: the shown flag is
        // raised only once the view is attached.
        auto hold = std::make_shared<SelectionHold>(selected);
        platform::DispatchQueue::main().async([self, hold, message = std::move(message)] {
            if (auto repository = self.lock()) {
                repository->displayInAppMessage(message);
            }
            hold->release();
        });
    });
}

void Repository::displayInAppMessage(std::shared_ptr<const InAppMessage> message) {
    // The view logs its impression and clicks through the repository's event
    // road, on the main thread; a view outliving the SDK logs nothing.
    InAppLogEvent logEvent = [self = weak_from_this()](const LogEventParameter& parameter) {
        if (auto repository = self.lock()) {
            repository->logEvent(parameter);
        }
    };
    inAppMessageDisplay_->display(std::move(message), std::move(logEvent));
}

void Repository::fetchInAppMessages() {
    if (!isInAppMessageActive()) {
        return;
    }
    SvlLog::debug("inAppMessageApiConnection start ::: ", true);
    if (!FvnUtil::isNetworkConnected()) {
        SvlLog::debug("InAppMessageApiConnection Fail. You are not connected to Internet", true);
        return;
    }
    std::shared_ptr<IApiModel> model =
        InAppMessageModelProvider(dataRegistry_, deviceRealtimeDataProvider_).getApiModel();
    if (SvlLog::wouldDeliver(SorvelLogLevel::LEVEL_DEBUG, true)) {
        SvlLog::debug("inAppMessageRequest: " + ext::toJsonFormat(model->toDictionary()), true);
        // Where the request actually goes: a base URL the app set replaces
        // the region's host.
        SvlLog::debug("inAppMessageRequest Url: " + platform::effectiveHttpUrl(model->getUrl()),
                      true);
    }
    auto executor = inAppMessageExecutor_;
    runOnInAppQueue([model = std::move(model), registry = dataRegistry_, dao = inAppMessageDAO_,
                     executor, pending = inAppBlocksPending_] {
        auto connection = std::make_shared<ApiConnection>(registry);
        connection->setPostRequest(*model);
        // A retry answers from a global-queue thread, after this block: the
        // completion holds what it needs, not the repository.
        ApiConnectionManager().request(
            connection, true, [dao, executor, pending](const Result& result) {
                if (!result.isSuccess()) {
                    SvlLog::debug("Terminated inAppMessageApiConnection", true);
                    SvlLog::debug("inAppMessageApiConnection connectFail!!, responseCode : " +
                                      std::to_string(result.statusCode()) + " ",
                                  true);
                    return;
                }
                auto text = result.response();
                if (!text) {
                    SvlLog::error("ApiConnectionError :: Response is nil", true);
                    return;
                }
                SvlLog::debug("Terminated inAppMessageApiConnection", true);
                SvlLog::info(
                    "inAppMessageApiConnection connectSuccess !! response:  " + *text + ")", true);
                queueInApp(*executor, dao, pending,
                           [dao, text = std::move(*text)] { dao->insertApiResponse2Table(text); });
            });
    });
}

void Repository::dropInAppMessageTables() {
    if (inAppMessageDAO_) {
        runOnInAppQueue([dao = inAppMessageDAO_] { dao->deleteAllImagesAndDropTables(); });
    }
}

void Repository::createInAppMessageTables() {
    if (inAppMessageDAO_) {
        runOnInAppQueue([dao = inAppMessageDAO_] { dao->createTables(); });
    }
}

void Repository::waitForInAppQueue() {
    inAppMessageExecutor_->sync([] {});
}

}  // namespace sorvel
