#include "Event/DefaultEventSender.h"

#include "Common/GdprForgetMe.h"
#include "Common/RegistryStates.h"
#include "Common/SvlLog.h"
#include "Data/ModelProvider/CommonModelProvider.h"
#include "Event/EventBundleModel.h"
#include "Network/ApiConnection.h"
#include "Network/ApiConnectionManager.h"

namespace sorvel {

void IEventSender::sendEventPackageAsync(std::shared_ptr<const EventPackage> eventPackage,
                                         Completion completion) {
    bool answered = false;
    sendEventPackage(eventPackage, [&](const IEventSendActionResult& result) {
        answered = true;
        if (completion) {
            completion(result);
        }
    });
    if (!answered && eventPackage && completion) {
        // A sender that reports nothing must not make the package vanish.
        SvlLog::error("sendEventPackage :: no outcome for package " + eventPackage->packageId() +
                      "; it waits for the next upload");
        completion(IEventSendActionResult::onFail(eventPackage));
    }
}

DefaultEventSender::DefaultEventSender(
    std::shared_ptr<DataRegistry> dataRegistry,
    std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider,
    GdprForgetMe::Action gdprAction)
    : dataRegistry_(std::move(dataRegistry)),
      deviceRealtimeDataProvider_(std::move(deviceRealtimeDataProvider)),
      gdprAction_(gdprAction ? std::move(gdprAction)
                             : GdprForgetMe::Action([](GdprForgetMe::Done done) {
                                   FvnUtil::executeGdprForgetMe(std::move(done));
                               })),
      commonBlock_(std::make_shared<CommonBlockCache>(dataRegistry_)) {}

std::shared_ptr<ApiConnection> DefaultEventSender::prepare(
    const std::shared_ptr<const EventPackage>& eventPackage, const Completion& completion) {
    auto fail = [&] {
        if (completion) {
            completion(IEventSendActionResult::onFail(eventPackage));
        }
        return nullptr;
    };
    if (!FvnUtil::isNetworkConnected()) {
        SvlLog::error("Fail to sending event. You are not connected to the network.", true);
        return fail();
    }
    if (FvnUtil::isGdprForgetMe(gdprAction_, *dataRegistry_)) {
        SvlLog::error("GdprForgetMe is true", true);
        return fail();
    }
    CommonBlock common =
        CommonModelProvider(dataRegistry_, deviceRealtimeDataProvider_, commonBlock_)
            .getCommonBlock();
    if (eventPackage->withdrawn()) {
        // Checked after the common block was read: a delete withdraws the
        // packages before it changes the identity, so a block read after the
        // change always finds its package withdrawn here.
        SvlLog::warning("sendEventPackage :: package " + eventPackage->packageId() +
                        " was built before the user data was deleted; not sent");
        return fail();
    }
    // The body is written once, straight from the common block's text and the
    // package's; the debug line and the request share it.
    EventBundleModel bundle(std::move(common), eventPackage);
    std::string url = bundle.getUrl();
    auto body = std::make_shared<const ApiBody>(std::move(bundle).takeApiBody());
    if (SvlLog::wouldDeliver(true)) {
        SvlLog::debug(body->json, true);
    }
    auto connection = std::make_shared<ApiConnection>(dataRegistry_);
    connection->setPostRequest(std::move(body), std::move(url));
    return connection;
}

namespace {

ApiConnectionManager::Completion resultMapper(std::shared_ptr<const EventPackage> eventPackage,
                                              IEventSender::Completion completion) {
    return [eventPackage = std::move(eventPackage),
            completion = std::move(completion)](const Result& r) {
        if (completion) {
            completion(r.isSuccess() ? IEventSendActionResult::onSuccess(eventPackage)
                                     : IEventSendActionResult::onFail(eventPackage));
        }
        // Written only when someone reads it: every upload ends here.
        if (SvlLog::wouldDeliver(true)) {
            SvlLog::debug(
                "Sending event is complete. responseCode : " + std::to_string(r.statusCode()),
                true);
        }
    };
}

}  // namespace

void DefaultEventSender::sendEventPackage(std::shared_ptr<const EventPackage> eventPackage,
                                          Completion completion) {
    if (!eventPackage) {
        return;
    }
    if (auto connection = prepare(eventPackage, completion)) {
        manager_.request(std::move(connection), false,
                         resultMapper(eventPackage, std::move(completion)));
    }
}

void DefaultEventSender::sendEventPackageAsync(std::shared_ptr<const EventPackage> eventPackage,
                                               Completion completion) {
    if (!eventPackage) {
        return;
    }
    if (auto connection = prepare(eventPackage, completion)) {
        manager_.requestAsync(std::move(connection), false,
                              resultMapper(eventPackage, std::move(completion)));
    }
}

}  // namespace sorvel
