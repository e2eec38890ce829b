#pragma once

#include <memory>

#include "Common/FvnUtil.h"
#include "Event/EventPackage.h"

namespace sorvel {

class DataRegistry;
class DeviceRealtimeDataProvider;

// Posts one package to the event-bulk endpoint, never retried: a package that
// fails goes back to its container's queue instead. It fails at once when the
// network is down or GDPR forget-me is in force; a request that could not even
// be sent (no secret key, unusable URL) fails too, so the package is kept.
// Holds no mutable state; each call builds its own collaborators.
class DefaultEventSender : public IEventSender {
  public:
    // gdprAction runs when forget-me is stored but not yet acknowledged by the
    // server (the erasure request is sent again); by default the GDPR use case
    // the core installs.
    DefaultEventSender(std::shared_ptr<DataRegistry> dataRegistry,
                       std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider,
                       FvnUtil::GdprAction gdprAction = nullptr);

    void sendEventPackage(std::shared_ptr<const EventPackage> eventPackage,
                          Completion completion) override;

  private:
    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider_;
    const FvnUtil::GdprAction gdprAction_;
};

}  // namespace sorvel
