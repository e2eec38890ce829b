#pragma once

#include <memory>

#include "Common/Observable.h"

namespace sorvel {

// Passes the OS notification permission, each time a request reads it, to
// the observers the facade registers at start-up (one per initialisation; the
// same observer added twice is told twice). Adding an observer also connects
// the observable to the permission reads of the common request block.
class OsPushEnableObservable : public IObservable<bool> {
  public:
    static OsPushEnableObservable& shared();

    void addObserver(std::shared_ptr<IObserver<bool>> observer) override;
    // Calls every observer in the order added, on the calling thread.
    void notifyObservers(const bool& value) override;

  private:
    friend struct OsPushEnableObservableHolder;
    ObserverList<bool> observers_;
};

}  // namespace sorvel
