#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Base/Status.h"
#include "Event/EventModel.h"
#include "Network/ApiModel.h"

namespace sorvel {

enum class EventPackageError { FromDictionaryParseError };
// "Error occur while making EventPackage from Dictionary".
const char* describe(EventPackageError error) noexcept;

// A batch of events on its way to the server, with an id of its own. Its
// dictionary form is also its storage form.
class EventPackage : public IDataModel {
  public:
    // A fresh UUID id, always: no package is ever made with a given id.
    explicit EventPackage(std::vector<EventModel> eventModels);
    EventPackage(const EventPackage& other);
    EventPackage(EventPackage&& other) noexcept;
    EventPackage& operator=(const EventPackage& other);
    EventPackage& operator=(EventPackage&& other) noexcept;
    ~EventPackage() override = default;

    // The events, read back from the package's JSON text: a package keeps
    // only that text, so one waiting in memory costs its bytes once.
    std::vector<EventModel> eventModels() const;
    std::size_t eventCount() const { return eventCount_; }
    const std::string& packageId() const { return packageId_; }
    // The compact JSON array of the event dictionaries, in order: written once,
    // when the package is made, for both the upload body and the stored list.
    const std::string& eventsJson() const { return eventsJson_; }

    // {"eventModels": [event dictionaries in order], "package_id": id}.
    Value::Map toDictionary() const override;
    // Appends the compact JSON of toDictionary() without building it.
    void appendJson(std::string& out) const;
    // Marks the package as built for an identity that a delete of the user's
    // data ended: it is dropped rather than sent. Any thread.
    void withdraw() const { withdrawn_.store(true, std::memory_order_release); }
    bool withdrawn() const { return withdrawn_.load(std::memory_order_acquire); }

    // "eventModels" must be a list; an element that is not an object or not a
    // readable event is skipped with "EventPackage From Dictionary Error". The
    // stored "package_id" is not read: the package gets a new id.
    static StatusOr<EventPackage> initFromDictionary(const Value::Map& dictionary);

  private:
    std::size_t eventCount_ = 0;
    std::string packageId_;
    std::string eventsJson_;
    mutable std::atomic<bool> withdrawn_{false};
};

// The outcome of sending one package, carrying the package that was sent.
struct IEventSendActionResult {
    enum class Kind { onSuccess, onFail };
    Kind kind;
    std::shared_ptr<const EventPackage> package;

    static IEventSendActionResult onSuccess(std::shared_ptr<const EventPackage> p) {
        return {Kind::onSuccess, std::move(p)};
    }
    static IEventSendActionResult onFail(std::shared_ptr<const EventPackage> p) {
        return {Kind::onFail, std::move(p)};
    }
};

// Sends one package and reports the outcome, at most once per call, with the
// package that was passed in. The completion has finished when the call
// returns.
class IEventSender {
  public:
    using Completion = std::function<void(const IEventSendActionResult&)>;
    virtual ~IEventSender() = default;
    virtual void sendEventPackage(std::shared_ptr<const EventPackage> eventPackage,
                                  Completion completion) = 0;
    // Starts sending and may return before the outcome: the completion runs
    // exactly once, on any thread, possibly while other packages are being
    // sent. By default the blocking send, with a failure reported for a
    // package it left without an outcome.
    virtual void sendEventPackageAsync(std::shared_ptr<const EventPackage> eventPackage,
                                       Completion completion);
};

}  // namespace sorvel
