#pragma once

#include <memory>
#include <string>

#include "Common/DataRegistry.h"
#include "Common/Observable.h"
#include "Core/ISVLContextController.h"

namespace sorvel {

// Hands the deferred deeplink of the first open to the app's delegate; with
// none set it is logged and dropped (a delegate set later never gets it).
class DeferredDeeplinkObserver : public IObserver<std::string> {
  public:
    void update(const std::string& deeplink) override;
};

// Hands each opened tracking deeplink to the app's deeplink delegate, the
// same way.
class DeeplinkObserver : public IObserver<std::string> {
  public:
    void update(const std::string& deeplink) override;
};

// Turns a change of the OS notification permission into the stored flag and
// the event "set_push". Not behind the disabled guard: the flag is stored
// even while the SDK is disabled, whose state then refuses the event.
class OsPushEnableObserver : public IObserver<bool> {
  public:
    OsPushEnableObserver(std::shared_ptr<DataRegistry> dataRegistry,
                         std::shared_ptr<ISVLContextController> controller);
    void update(const bool& isEnabled) override;

  private:
    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<ISVLContextController> controller_;
};

}  // namespace sorvel
