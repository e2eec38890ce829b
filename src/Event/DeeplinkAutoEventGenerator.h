#pragma once

#include <memory>

#include "Event/AutoEvent.h"

namespace sorvel {

class DataRegistry;
class DeeplinkParameterSet;

// Logs "deeplink_open" for a tracking deeplink that opened the app while a
// session was live, and posts the link to the app's deeplink delegate.
class DeeplinkAutoEventGenerator {
  public:
    DeeplinkAutoEventGenerator(std::shared_ptr<DataRegistry> dataRegistry,
                               std::shared_ptr<DeeplinkParameterSet> deeplinkParameterSet,
                               LogEventAction logEventAction);

    // Takes the stored deeplink URL (the message's own is not used): nothing
    // stored, a link that is not a tracking link, or one already used or
    // expired raise nothing.
    void handleDeeplink();

  private:
    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<DeeplinkParameterSet> deeplinkParameterSet_;
    const LogEventAction logEventAction_;
};

}  // namespace sorvel
