#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Base/Status.h"
#include "sorvel/Value.h"

namespace sorvel {

// The install attribution a first open carries: an attribution token asked
// for synchronously, and attribution details whose answer comes later.
class IAttributionProvider {
  public:
    // Why no token was given.
    struct Error {
        std::string description;
    };
    // The details, or an error; neither when the platform had nothing.
    using DetailsCallback =
        std::function<void(std::optional<Value::Map> details, std::optional<Error> error)>;

    virtual ~IAttributionProvider() = default;

    // Runs on the calling thread.
    virtual StatusOr<std::string, Error> attributionToken() = 0;
    // Whether attribution details can be asked for at all.
    virtual bool canRequestAttributionDetails() = 0;
    // Sends the details request and returns at once; the callback runs later,
    // on any thread, at most once.
    virtual void requestAttributionDetails(DetailsCallback callback) = 0;
};

// Linux has no install-attribution service: no token, no details request.
class DefaultAttributionProvider final : public IAttributionProvider {
  public:
    static constexpr const char* UNAVAILABLE = "unavailable";

    StatusOr<std::string, Error> attributionToken() override { return Error{UNAVAILABLE}; }
    bool canRequestAttributionDetails() override { return false; }
    void requestAttributionDetails(DetailsCallback) override {}
};

}  // namespace sorvel
