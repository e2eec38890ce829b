#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "Platform/Mutex.h"

namespace sorvel::platform {

using WallTime = std::chrono::system_clock::time_point;
using MonoTime = std::chrono::steady_clock::time_point;
using Millis = std::chrono::milliseconds;

// Wall-clock and monotonic time behind one interface, so tests can move time
// instead of sleeping. Every delayed block and timer of the platform layer is
// due on the monotonic time of the current clock.
class IClock {
  public:
    virtual ~IClock() = default;
    virtual WallTime wallNow() const = 0;
    virtual MonoTime monoNow() const = 0;
    // A manual clock only moves when advanced; the scheduler then fires what
    // became due instead of waiting in real time.
    virtual bool isManual() const = 0;
};

class SystemClock final : public IClock {
  public:
    WallTime wallNow() const override { return std::chrono::system_clock::now(); }
    MonoTime monoNow() const override { return std::chrono::steady_clock::now(); }
    bool isManual() const override { return false; }
};

// Moves both times together. advance() hands every delayed block and timer
// fire that became due to its target queue or run loop before it returns
// (it does not wait for them to run).
class ManualClock final : public IClock {
  public:
    // Starts at the given wall time (default: the real current time).
    explicit ManualClock(WallTime start = std::chrono::system_clock::now());
    WallTime wallNow() const override;
    MonoTime monoNow() const override;
    bool isManual() const override { return true; }

    void advance(Millis by);
    // Sets the wall time only (a change of the device's clock); monotonic time stays.
    void setWall(WallTime t);

  private:
    mutable Mutex mu_;
    WallTime wall_ GUARDED_BY(mu_);
    MonoTime mono_ GUARDED_BY(mu_);
};

// The current clock of the process (the system clock unless a host set another).
// clock() does not keep the clock alive: hold clockPtr() across a possible swap.
IClock& clock();
std::shared_ptr<IClock> clockPtr();
// Null restores the system clock. Pending delayed blocks and timers keep the
// time they had left, now measured on the new clock.
void setClock(std::shared_ptr<IClock> c);

// Convenience: wall time as epoch milliseconds.
std::int64_t wallMillis();

}  // namespace sorvel::platform
