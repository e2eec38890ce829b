#pragma once

#include <atomic>
#include <memory>

#include "Platform/Mutex.h"

namespace sorvel {

class DataRegistry;

// The facade's SDK-disabled guard (FvnUtil::isSorvelDisabled) without the
// registry's lock on its common path. The guard reads three flags: GDPR
// forget-me, the remote pause and the stopped flag of a delete; while none of
// them is stored true, every public call would otherwise take the registry's
// lock four times, on the app's thread, against the SDK's own threads writing
// events. This keeps one atomic summary of the three, refreshed from the
// registry whenever one of them changes; while the summary says one may be
// set, the full check runs (with its log line and its forget-me re-send).
class SorvelDisabledGuard : public std::enable_shared_from_this<SorvelDisabledGuard> {
    struct PassKey {};

  public:
    // Watches the three flags of this registry, then reads them.
    static std::shared_ptr<SorvelDisabledGuard> create(std::shared_ptr<DataRegistry> registry);
    SorvelDisabledGuard(PassKey, std::shared_ptr<DataRegistry> registry);

    bool isSorvelDisabled() const;

  private:
    // Reads the three flags. Run under refreshMu_, so the summary stored last
    // was read last: a change the listener reports is never undone by a
    // slower, older read.
    void refresh();

    const std::shared_ptr<DataRegistry> registry_;
    platform::Mutex refreshMu_;
    // True until the first read: the full check decides meanwhile.
    std::atomic<bool> anyFlagSet_{true};
};

}  // namespace sorvel
