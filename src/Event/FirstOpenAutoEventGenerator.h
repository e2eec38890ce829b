#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Event/AttributionProvider.h"
#include "Platform/Mutex.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;

// The first open of an installation: gathers the install attribution and the
// install timestamps the first session's "start_session" carries, and after
// that session has started asks the server once for a deferred deeplink (one
// the user tapped before installing), which is posted to the observers of
// DeferredDeeplinkPostingObservable.
class FirstOpenAutoEventGenerator {
  public:
    using FirstOpenCompletion = std::function<void(const Value::Map& parameters)>;

    explicit FirstOpenAutoEventGenerator(std::shared_ptr<DataRegistry> dataRegistry,
                                         std::shared_ptr<IAttributionProvider> attribution =
                                             std::make_shared<DefaultAttributionProvider>());

    // Calls the completion synchronously with the first-open parameters, or,
    // without network, not at all (the next activation tries again).
    void getFirstOpenParameter(const FirstOpenCompletion& completion);
    // Sends the deferred-deeplink request (retried on the statuses the
    // connection manager retries) and posts a deeplink of the answer. The
    // first attempt is waited for on the calling thread.
    void runDeferredDeeplinkProcess();

    std::string searchToken() const;
    Value::Map searchAdsResponseData() const;

  private:
    struct State;
    // The details answer: every entry whose value is a map is stored in turn,
    // so the last one visited is kept.
    static void onAttributionDetails(const std::weak_ptr<State>& state,
                                     std::optional<Value::Map> details,
                                     std::optional<IAttributionProvider::Error> error);

    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<IAttributionProvider> attribution_;
    // Written by the details answer on a platform thread while the controller
    // queue reads it; the answer holds it weakly, so a late answer after the
    // generator is gone changes nothing.
    const std::shared_ptr<State> state_;
};

}  // namespace sorvel
