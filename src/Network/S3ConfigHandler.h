#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Mutex.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;

// The remote configuration: applies the configuration file to the registry
// and keeps the values the SDK consults on every event. Its fields are read
// and written from several threads, under one lock that is never held while
// the registry (and so its listeners) is called.
//
// Keys of the configuration file (absent key: its default applies; a value of
// the wrong type counts as absent and is logged):
//   "allStop" Bool, "pause" Bool, "blockedEvents" array of "group:name" texts,
//   "maxPropertySize" integer, "inAppMessageActive" Bool, "eventSamplings" map.
class S3ConfigHandler {
    // Only shared() can name it, so only shared() can construct the handler.
    struct PassKey {};

  public:
    static constexpr std::int64_t DEFAULT_PROPERTY_MAX_SIZE = 100;

    explicit S3ConfigHandler(PassKey);

    static S3ConfigHandler& shared();

    // The registry the handler stores into; the dependency container sets it
    // (Common/CoreHooks.h).
    void setDataRegistry(std::shared_ptr<DataRegistry> registry);

    // Parses the file's text and stores the decoded values. A text that is not
    // a JSON object changes nothing and logs why.
    void applyConfig(const std::string& text);
    // Reloads the stored values (defaults for what is not stored) and logs each.
    void initDefaultConfigValue();
    // True (and logged) when the group is "svl" or "custom" and the block list
    // holds "<group>:<name>".
    bool isEventBlocked(const std::string& eventName, const std::string& group) const;
    // The most keys the user and ci property maps may hold together.
    std::int64_t configPropertyMaxSize() const;

    bool isPause() const;
    bool isAllStop() const;
    bool isInAppMessageActive() const;
    std::vector<std::string> blockedEvents() const;
    Value::Map eventSamplingData() const;

    // Back to the values of a fresh process (test support).
    void reset();

  private:
    std::shared_ptr<DataRegistry> registry() const;

    mutable platform::Mutex mu_;
    std::shared_ptr<DataRegistry> registry_ GUARDED_BY(mu_);
    std::vector<std::string> blockedEvents_ GUARDED_BY(mu_);
    std::int64_t propertyMaxSize_ GUARDED_BY(mu_) = DEFAULT_PROPERTY_MAX_SIZE;
    bool pause_ GUARDED_BY(mu_) = false;
    bool allStop_ GUARDED_BY(mu_) = false;
    bool inAppMessageActive_ GUARDED_BY(mu_) = false;
    Value::Map eventSamplingData_ GUARDED_BY(mu_);
};

}  // namespace sorvel
