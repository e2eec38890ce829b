#pragma once

#include <memory>
#include <optional>

#include "Common/GdprForgetMe.h"
#include "Event/EventPackage.h"
#include "Network/ApiConnectionManager.h"

namespace sorvel {

class ApiConnection;
class CommonBlockCache;
class DataRegistry;
class DeviceRealtimeDataProvider;

// Posts one package to the event-bulk endpoint, never retried: a package that
// fails goes back to its container's queue instead. It fails at once when the
// network is down or GDPR forget-me is in force; a request that could not even
// be sent (no secret key, unusable URL) fails too, so the package is kept.
// Each call builds its own request and returns once it is answered; what the
// sender keeps is the text of the common block, written again only when a
// value in it changes. Calls from one thread reuse one kept-alive connection
// (see HttpSession).
class DefaultEventSender : public IEventSender {
  public:
    // gdprAction runs when forget-me is stored but not yet acknowledged by the
    // server (the erasure request is sent again); by default the GDPR use case
    // the core installs.
    DefaultEventSender(std::shared_ptr<DataRegistry> dataRegistry,
                       std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider,
                       GdprForgetMe::Action gdprAction = nullptr);

    void sendEventPackage(std::shared_ptr<const EventPackage> eventPackage,
                          Completion completion) override;

  private:
    struct Upload;
    // The request of one package and the upload that owns its body and its
    // completion.
    struct Request {
        std::shared_ptr<ApiConnection> connection;
        std::shared_ptr<Upload> upload;
        // What the manager calls with the outcome; valid while `upload` lives.
        ApiConnectionManager::Completion answer() const;
    };
    // The checks and the request of one package, which takes the completion;
    // without a request the completion has been told the package failed.
    std::optional<Request> prepare(const std::shared_ptr<const EventPackage>& eventPackage,
                                   Completion& completion);

    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider_;
    const GdprForgetMe::Action gdprAction_;
    const std::shared_ptr<CommonBlockCache> commonBlock_;
    // Never retries (a failed package waits for the next round), so its
    // attempt count stays 0 and one serves every package, from any thread.
    ApiConnectionManager manager_;
};

}  // namespace sorvel
