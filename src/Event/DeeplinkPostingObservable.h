#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "Common/Observable.h"

namespace sorvel {

// Passes each opened tracking deeplink to the facade's observer, which hands
// it to the app's deeplink delegate.
class DeeplinkPostingObservable : public IObservable<std::string> {
  public:
    static DeeplinkPostingObservable& shared();

    // Appends the observer (no duplicate check); observers are never removed.
    void addObserver(std::shared_ptr<IObserver<std::string>> observer) override;
    // Calls every observer in registration order, on the calling thread.
    void notifyObservers(const std::string& value) override;

  private:
    friend struct DeeplinkObservables;
    ObserverList<std::string> observers_;
};

// Passes the deferred deeplink of the first open's server answer to the
// facade's observer, which hands it to the app's deferred-deeplink delegate.
class DeferredDeeplinkPostingObservable : public IObservable<std::string> {
  public:
    static DeferredDeeplinkPostingObservable& shared();

    void addObserver(std::shared_ptr<IObserver<std::string>> observer) override;
    void notifyObservers(const std::string& value) override;
    // The server's answer: when it is a JSON object whose "deeplink" is a
    // string, that string is posted; anything else is logged and dropped.
    void postDeferredDeeplink(std::string_view jsonText);

  private:
    friend struct DeeplinkObservables;
    ObserverList<std::string> observers_;
};

}  // namespace sorvel
