#pragma once

#include <optional>

#include "Platform/Mutex.h"
#include "sorvel/Value.h"

namespace sorvel {

// Remembers that a tapped remote notification opened the app at a moment when
// the open could not be counted within a running session; the next session
// start takes the mark and starts as a push open with the notification's
// tracking parameters. The flag and the parameters sit under one lock, so a
// reader never pairs the flag of one open with the parameters of another, and
// the session start takes and clears both in one step.
class PushOpenMonitor {
  public:
    static PushOpenMonitor& shared();

    // Whether a push open is waiting for the next session start.
    bool isOpendByPush() const;
    void setIsOpendByPush(bool value);
    std::optional<Value::Map> pushOpenEventParam() const;
    void setPushOpenEventParam(std::optional<Value::Map> parameters);

    // Marks a push open with its parameters in one step; a later mark before
    // the next session start replaces the parameters (the last open wins).
    void mark(Value::Map parameters);
    // When marked: clears the mark and returns its parameters (empty when none
    // were given). When clear: nothing, and nothing changes.
    std::optional<Value::Map> take();
    // Clears the flag and the parameters.
    void reset();

  private:
    mutable platform::Mutex mu_;
    bool isOpendByPush_ GUARDED_BY(mu_) = false;
    std::optional<Value::Map> pushOpenEventParam_ GUARDED_BY(mu_);
};

}  // namespace sorvel
