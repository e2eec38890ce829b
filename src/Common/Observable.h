#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "Platform/Mutex.h"

namespace sorvel {

// Observer of values of type T; the base does nothing.
template <typename T>
class IObserver {
  public:
    virtual ~IObserver() = default;
    virtual void update(const T& /*value*/) {}
};

// Observable of values of type T; each subclass keeps its own observer list
// and overrides the operations it uses. The base bodies do nothing.
template <typename T>
class IObservable {
  public:
    virtual ~IObservable() = default;
    virtual void addObserver(std::shared_ptr<IObserver<T>> /*observer*/) {}
    virtual void removeObserver(const std::shared_ptr<IObserver<T>>& /*observer*/) {}
    virtual void notifyObservers(const T& /*value*/) {}
};

// The observer list of a process-wide observable: added to at start-up on the
// app's thread, notified from whichever thread has a value. Notifying calls
// every observer in the order added, on the calling thread, over a copy taken
// under the lock, so an observer may add another (it is told from the next
// value on) and no lock is held while observers run.
template <typename T>
class ObserverList {
  public:
    void add(std::shared_ptr<IObserver<T>> observer) {
        if (!observer) {
            return;
        }
        platform::MutexLock lock(mu_);
        observers_.push_back(std::move(observer));
    }
    void notify(const T& value) const {
        std::vector<std::shared_ptr<IObserver<T>>> copy;
        {
            platform::MutexLock lock(mu_);
            copy = observers_;
        }
        for (const auto& observer : copy) {
            observer->update(value);
        }
    }
    std::size_t count() const {
        platform::MutexLock lock(mu_);
        return observers_.size();
    }
    // Forgets every observer (a fresh SDK in tests); they are destroyed
    // outside the lock.
    void clear() {
        std::vector<std::shared_ptr<IObserver<T>>> gone;
        platform::MutexLock lock(mu_);
        gone.swap(observers_);
    }

  private:
    mutable platform::Mutex mu_;
    std::vector<std::shared_ptr<IObserver<T>>> observers_ GUARDED_BY(mu_);
};

}  // namespace sorvel
