#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Base/InlineText.h"
#include "Event/EventJournal.h"
#include "Platform/Clock.h"
#include "Platform/Mutex.h"

namespace sorvel {

class DataRegistry;

// The session and event order numbers and the previous id, held in memory so
// that numbering an event costs no settings-store write. The registry keys
// (UINT64_SESSION_ORDER_NO, UINT64_EVENT_ORDER_NO, STRING_PREV_ID) are read
// once, at construction, and written:
//   - ahead, in blocks: once the numbers come within half a block of the
//     last one written, the registry is given the number plus the block
//     less one, so that after a kill the next launch starts past every
//     number handed out (a gap, one write per half block). A block is
//     RESERVED_AHEAD numbers; it doubles (up to MAX_RESERVED_AHEAD) while
//     blocks are renewed less than FAST_RENEWAL apart and halves back while
//     they last longer than SLOW_RENEWAL, so a fast stream commits about
//     once a second instead of dozens of times, and the gap a kill leaves
//     stays about a second of its events. The write is not waited for: a
//     kill before it lands may let the next launch number again the events
//     that died with the open buffer, which no one saw; the numbers of an
//     event that reached the journal never repeat, since its package record
//     carries them;
//   - exactly, at checkpoints (checkpoint(): the unsent list's writes, the
//     app leaving the foreground, its termination, the SDK's stop), so a
//     clean relaunch goes on from the very next number;
//   - at a session start (the session number restarts at 0).
// The previous id rides along with every such write; between them the
// journal's package records carry it.
//
// Every member is safe to call from any thread. The registry writes are made
// in the order of the states they carry (a write lock orders them), so the
// registry never ends with a number lower than one handed out since.
class EventCounters {
  public:
    using Values = EventJournal::Counters;
    static constexpr std::uint64_t RESERVED_AHEAD = 100;
    static constexpr std::uint64_t MAX_RESERVED_AHEAD = 1600;
    static constexpr std::chrono::milliseconds FAST_RENEWAL{500};
    static constexpr std::chrono::milliseconds SLOW_RENEWAL{2000};

    explicit EventCounters(std::shared_ptr<DataRegistry> dataRegistry);
    EventCounters(const EventCounters&) = delete;
    EventCounters& operator=(const EventCounters&) = delete;

    // The next session and event order numbers of one event, taken together.
    std::pair<std::uint64_t, std::uint64_t> next();
    std::uint64_t nextSessionOrderNo();
    std::uint64_t nextEventOrderNo();

    std::optional<std::string> prevId() const;
    // The same id written into `out`: no allocation for an id that fits
    // inline, as the event's own do.
    void prevIdInto(std::optional<InlineText>& out) const;
    // The id the next event names as its previous one (absent: none). Copied
    // into the text held, whose room ids of one length reuse.
    void setPrevId(const std::optional<InlineText>& id);

    // The numbers last handed out and the previous id, as of now.
    Values current() const;

    // Puts the exact values in the registry (nothing when it holds them);
    // true when it put them.
    bool checkpoint();
    // A new session: its numbers start again from 1.
    void resetSession();
    // Raises the numbers to what a replayed journal says was handed out
    // before the last process died (its previous id too, when that record is
    // newer than what the registry held), and stores them.
    void restore(const Values& replayed);
    // The registry was wiped (a delete): every counter starts again from 0
    // and no previous id, as after a first install.
    void resetAfterWipe();

  private:
    // Steps the chosen numbers; answers both as they stand after.
    std::pair<std::uint64_t, std::uint64_t> advance(bool session, bool event);
    // Puts what the registry should hold, when it differs from what was put last.
    bool publish() LOCKS_EXCLUDED(writeMu_, mu_);
    // Reserves a block when `values_` passed what the registry holds.
    bool reserveLocked() EXCLUSIVE_LOCKS_REQUIRED(mu_);
    Values readRegistry() const;

    const std::shared_ptr<DataRegistry> dataRegistry_;
    // Taken before mu_, by whoever writes the keys.
    platform::Mutex writeMu_;
    Values lastPut_ GUARDED_BY(writeMu_);
    mutable platform::Mutex mu_;
    // Numbers last handed out, and the previous id.
    Values values_ GUARDED_BY(mu_);
    // What the registry is to hold: numbers at least values_', the previous id.
    Values target_ GUARDED_BY(mu_);
    // The size of the next block reserved, and when the last one was.
    std::uint64_t block_ GUARDED_BY(mu_) = RESERVED_AHEAD;
    std::optional<platform::MonoTime> lastRenewal_ GUARDED_BY(mu_);
};

}  // namespace sorvel
