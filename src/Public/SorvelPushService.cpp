#include "sorvel/SorvelPushService.h"

#include "Common/Extensions.h"
#include "Common/RegistryStates.h"
#include "Common/SdkState.h"
#include "Common/SvlLog.h"
#include "Core/DiContainer.h"
#include "Platform/Dispatch.h"
#include "Public/FacadeInternal.h"
#include "Push/RichPushDecorator.h"

namespace sorvel {

namespace {

// Debug lines: they reach the app by the logger's rule like every other line
// (the logger adds the "svlkv [debug]: " prefix on the system log).
constexpr const char* kReceivedLine = "Remote Push Content Received!! ::::::";

}  // namespace

// ---- Download-task face --------------------------------------------------------

SorvelPushServiceObjC::SorvelPushServiceObjC()
    : core_(std::make_unique<push::RichPushDecorator>(push::RichPushStyle::downloadTask)) {}

SorvelPushServiceObjC::~SorvelPushServiceObjC() = default;

void SorvelPushServiceObjC::didReceive(const NotificationRequest& request,
                                       NotificationContentHandler contentHandler) {
    facade::boundary("didReceiveNotificationRequest", [&] {
        SvlLog::debug(kReceivedLine, false);
        auto state = core_->begin(request, std::move(contentHandler));
        core_->decorate(state, request.content.userInfo);
    });
}

void SorvelPushServiceObjC::serviceExtensionTimeWillExpire() {
    facade::boundary("serviceExtensionTimeWillExpire", [&] { core_->timeWillExpire(); });
}

// ---- Synchronous face ------------------------------------------------------------

SorvelPushService::SorvelPushService()
    : core_(std::make_unique<push::RichPushDecorator>(push::RichPushStyle::synchronous)) {}

SorvelPushService::~SorvelPushService() = default;

void SorvelPushService::didReceive(const NotificationRequest& request,
                                   NotificationContentHandler contentHandler) {
    facade::boundary("didReceive", [&] {
        SvlLog::debug(kReceivedLine, false);
        if (SvlLog::wouldDeliver(SorvelLogLevel::LEVEL_DEBUG, false)) {
            SvlLog::debug("Remote Push Data :: " + ext::toJsonFormat(request.content.userInfo),
                          false);
        }
        auto state = core_->begin(request, std::move(contentHandler));
        core_->decorate(state, request.content.userInfo);
    });
}

void SorvelPushService::serviceExtensionTimeWillExpire() {
    facade::boundary("serviceExtensionTimeWillExpire", [&] { core_->timeWillExpire(); });
}

// ---- The controller ----------------------------------------------------------------

namespace {
struct PushControllerPart : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::pushController;

    template <typename Key>
    explicit PushControllerPart(Key key) : controller(key) {}

    SorvelMultiPushProviderController controller;
};
}  // namespace

SorvelMultiPushProviderController& SorvelMultiPushProviderController::getInstance() noexcept {
    return SdkState::shared()
        .part<PushControllerPart>([] { return std::make_unique<PushControllerPart>(PassKey{}); })
        .controller;
}

SorvelMultiPushProviderController& SorvelMultiPushProviderController::getInstanceObjc() noexcept {
    return getInstance();
}

SorvelMultiPushProviderController::SorvelMultiPushProviderController(PassKey)
    : core_(std::make_unique<push::RichPushDecorator>(push::RichPushStyle::synchronous)) {}

SorvelMultiPushProviderController::~SorvelMultiPushProviderController() = default;

void SorvelMultiPushProviderController::didReceiveSvlPush(
    const NotificationRequest& request, NotificationContentHandler contentHandler) noexcept {
    facade::boundary("didReceiveSvlPush", [&] {
        auto registry = DiContainer::shared().dataRegistry();
        const char* off = nullptr;
        if (!FvnUtil::getPushEnable(*registry)) {
            off = "Push service is not available : push enable = flase";
        } else if (!FvnUtil::getOsPushEnable(*registry)) {
            off = "Push service is not available : os push enable = flase";
        }
        if (off != nullptr) {
            SvlLog::debug(off, true);
            // The system would otherwise wait for the extension's whole time
            // and show nothing better: the content goes back as it came.
            if (contentHandler)
                contentHandler(request.content);
            return;
        }
        auto state = core_->begin(request, std::move(contentHandler));
        platform::DispatchQueue::main().async(
            [core = core_.get(), state, userInfo = request.content.userInfo] {
                core->decorate(state, userInfo);
            });
    });
}

void SorvelMultiPushProviderController::svlPushServiceExtensionTimeWillExpire() noexcept {
    facade::boundary("svlPushServiceExtensionTimeWillExpire", [&] { core_->timeWillExpire(); });
}

}  // namespace sorvel
