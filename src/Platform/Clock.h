#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

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

// The current clock of the process (the system clock unless a host set one
// with host::setClock). clock() does not keep the clock alive: hold clockPtr()
// across a possible swap.
IClock& clock();
std::shared_ptr<IClock> clockPtr();

// Convenience: wall time as epoch milliseconds.
std::int64_t wallMillis();

// ---- Local time zone and calendar ------------------------------------------

// The device's time zone: how far local time is ahead of UTC at an instant.
// Every local day, weekday or calendar field the SDK shows comes from the
// current zone (localTimeZone()), never from the process environment, so a
// host can change it (host::setTimeZone) while SDK threads compute with it.
class ITimeZone {
  public:
    virtual ~ITimeZone() = default;
    virtual std::chrono::seconds utcOffset(WallTime at) const = 0;
};

// The machine's zone as the C library knows it (TZ, else /etc/localtime),
// looked up again at each call so a change of the system's zone counts.
class SystemTimeZone final : public ITimeZone {
  public:
    std::chrono::seconds utcOffset(WallTime at) const override;
};

// One offset all year round (no daylight saving), e.g. +9 h for Seoul.
class FixedTimeZone final : public ITimeZone {
  public:
    explicit FixedTimeZone(std::chrono::seconds offset) : offset_(offset) {}
    std::chrono::seconds utcOffset(WallTime) const override { return offset_; }

  private:
    std::chrono::seconds offset_;
};

// The current zone (the system's unless a host set another).
std::shared_ptr<ITimeZone> localTimeZone();

// Calendar fields of an instant (proleptic Gregorian calendar).
struct CivilTime {
    std::int64_t year = 1970;
    int month = 1;  // 1 ... 12
    int day = 1;    // 1 ... 31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int weekday = 4;  // 0 = Sunday ... 6 = Saturday
};

// The UTC calendar time of a second since the epoch (any int64 second).
CivilTime utcCivilTime(std::int64_t epochSeconds);
// The calendar time of an instant in the current local zone.
CivilTime localCivilTime(WallTime at);
// The second since the epoch that a UTC calendar time names; absent when a
// field is out of range (month 13, February 30, hour 24, second 60). The
// weekday is not read.
std::optional<std::int64_t> epochSecondsOfUtc(const CivilTime& civil);

}  // namespace sorvel::platform
