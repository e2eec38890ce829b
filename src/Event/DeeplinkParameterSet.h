#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Mutex.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;

// Rejects a tracking deeplink whose ad-key was already used (in this process,
// or as the last accepted key kept in the registry), whose ad-key is older
// than 168 hours, or that is a universal link marked as used; an accepted
// ad-key is remembered. It is reset from the controller queue and consulted
// from network callbacks and listener threads too, so it has its own lock:
// the check and the acceptance of one ad-key are one step.
class DeeplinkParameterSet {
  public:
    static constexpr std::int64_t MAX_AD_KEY_AGE_HOURS = 168;

    explicit DeeplinkParameterSet(std::shared_ptr<DataRegistry> dataRegistry);

    // True means reject. Takes the parameters made by
    // FvnUtil::getDeeplinkParameters; any map is safe.
    bool isUsedOrExpiredDeeplink(const Value::Map& parameters);
    // The ad-key's creation time in epoch milliseconds: after the first ":"
    // for an ad-key beginning with "ncpi", before it for any other; 0 when
    // there is none or it is not a signed 64-bit number.
    static std::int64_t parseNcpiParameter(std::string_view adKey);
    // Forgets the ad-keys accepted in this process; the stored last one stays.
    void clearSuccessParameterSet();

    std::vector<std::string> successParameterSet() const;

  private:
    bool isUsedUniversalLink(const Value::Map& parameters) const;

    const std::shared_ptr<DataRegistry> dataRegistry_;
    mutable platform::Mutex mu_;
    std::vector<std::string> successParameterSet_ GUARDED_BY(mu_);
    // The key this object stored last; stays through a clear, like the stored one.
    std::optional<std::string> lastAccepted_ GUARDED_BY(mu_);
};

}  // namespace sorvel
