#pragma once

#include <memory>

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

}  // namespace sorvel
