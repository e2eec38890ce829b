#include "Event/DefaultEventSender.h"

#include "Common/GdprForgetMe.h"
#include "Common/RegistryStates.h"
#include "Common/SvlLog.h"
#include "Data/ModelProvider/CommonModelProvider.h"
#include "Event/EventBundleModel.h"
#include "Network/ApiConnection.h"
#include "Network/ApiConnectionManager.h"

namespace sorvel {

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

// One package on its way: the body its request sends and whom to tell the
// outcome, in one piece.
struct DefaultEventSender::Upload {
    ApiBody body;
    std::shared_ptr<const EventPackage> package;
    Completion completion;

    void answer(const Result& r) {
        if (completion) {
            completion(r.isSuccess() ? IEventSendActionResult::onSuccess(package)
                                     : IEventSendActionResult::onFail(package));
        }
        // Written only when someone reads it: every upload ends here.
        if (SvlLog::wouldDeliver(SorvelLogLevel::LEVEL_DEBUG, true)) {
            SvlLog::debug(
                "Sending event is complete. responseCode : " + std::to_string(r.statusCode()),
                true);
        }
    }
};

std::optional<DefaultEventSender::Request> DefaultEventSender::prepare(
    const std::shared_ptr<const EventPackage>& eventPackage, Completion& completion) {
    auto fail = [&]() -> std::optional<Request> {
        if (completion) {
            completion(IEventSendActionResult::onFail(eventPackage));
        }
        return std::nullopt;
    };
    if (!FvnUtil::isNetworkConnected()) {
        // Offline, a round tries every waiting package: the line is made only
        // when someone reads it.
        if (SvlLog::wouldDeliver(SorvelLogLevel::LEVEL_ERROR, true)) {
            SvlLog::error("Fail to sending event. You are not connected to the network.", true);
        }
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
                            " was built before the user data was deleted; not sent",
                        true);
        return fail();
    }
    // The body is written once, straight from the common block's text and the
    // package's; the debug line and the request share it.
    EventBundleModel bundle(std::move(common), eventPackage);
    std::string url = bundle.getUrl();
    auto upload = std::make_shared<Upload>();
    upload->body = std::move(bundle).takeApiBody();
    upload->package = eventPackage;
    upload->completion = std::move(completion);
    if (SvlLog::wouldDeliver(SorvelLogLevel::LEVEL_DEBUG, true)) {
        SvlLog::debug(upload->body.json, true);
    }
    auto connection = std::make_shared<ApiConnection>(dataRegistry_);
    connection->setPostRequest(std::shared_ptr<const ApiBody>(upload, &upload->body),
                               std::move(url));
    return Request{std::move(connection), std::move(upload)};
}

ApiConnectionManager::Completion DefaultEventSender::Request::answer() const {
    // The manager keeps the upload (the owner) while this can run, so the
    // function holds a plain pointer and needs no storage of its own.
    return [to = upload.get()](const Result& r) { to->answer(r); };
}

void DefaultEventSender::sendEventPackage(std::shared_ptr<const EventPackage> eventPackage,
                                          Completion completion) {
    if (!eventPackage) {
        return;
    }
    if (auto r = prepare(eventPackage, completion)) {
        manager_.request(std::move(r->connection), false, r->answer(), r->upload);
    }
}

}  // namespace sorvel
