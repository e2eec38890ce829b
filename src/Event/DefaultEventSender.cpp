#include "Event/DefaultEventSender.h"

#include "Common/SvlLog.h"
#include "Data/ModelProvider/CommonModelProvider.h"
#include "Event/EventBundleModelProvider.h"
#include "Network/ApiConnection.h"
#include "Network/ApiConnectionManager.h"

namespace sorvel {

DefaultEventSender::DefaultEventSender(
    std::shared_ptr<DataRegistry> dataRegistry,
    std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider,
    FvnUtil::GdprAction gdprAction)
    : dataRegistry_(std::move(dataRegistry)),
      deviceRealtimeDataProvider_(std::move(deviceRealtimeDataProvider)),
      gdprAction_(gdprAction ? std::move(gdprAction)
                             : FvnUtil::GdprAction([](FvnUtil::GdprDone done) {
                                   FvnUtil::executeGdprForgetMe(std::move(done));
                               })) {}

void DefaultEventSender::sendEventPackage(std::shared_ptr<const EventPackage> eventPackage,
                                          Completion completion) {
    auto complete = [&](IEventSendActionResult result) {
        if (completion) {
            completion(result);
        }
    };
    if (!eventPackage) {
        return;
    }
    if (!FvnUtil::isNetworkConnected()) {
        SvlLog::error("Fail to sending event. You are not connected to the network.", true);
        complete(IEventSendActionResult::onFail(eventPackage));
        return;
    }
    if (FvnUtil::isGdprForgetMe(gdprAction_, *dataRegistry_)) {
        SvlLog::error("GdprForgetMe is true", true);
        complete(IEventSendActionResult::onFail(eventPackage));
        return;
    }
    CommonModel common =
        CommonModelProvider(dataRegistry_, deviceRealtimeDataProvider_).getDataModel();
    if (eventPackage->withdrawn()) {
        // Checked after the common block was read: a delete withdraws the
        // packages before it changes the identity, so a block read after the
        // change always finds its package withdrawn here.
        SvlLog::warning("sendEventPackage :: package " + eventPackage->packageId() +
                        " was built before the user data was deleted; not sent");
        complete(IEventSendActionResult::onFail(eventPackage));
        return;
    }
    std::shared_ptr<IApiModel> bundle =
        EventBundleModelProvider(std::move(common), eventPackage).getApiModel();
    if (SvlLog::wouldDeliver(true)) {
        // The body again, as text: built only when someone reads the line.
        SvlLog::debug(bundle->toApiBody().json, true);
    }

    auto connection = std::make_shared<ApiConnection>(dataRegistry_);
    connection->setPostRequest(*bundle);
    ApiConnectionManager().request(connection, false, [eventPackage, completion](const Result& r) {
        if (completion) {
            completion(r.isSuccess() ? IEventSendActionResult::onSuccess(eventPackage)
                                     : IEventSendActionResult::onFail(eventPackage));
        }
        SvlLog::debug("Sending event is complete. responseCode : " + std::to_string(r.statusCode()),
                      true);
    });
}

}  // namespace sorvel
