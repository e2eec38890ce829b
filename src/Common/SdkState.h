#pragma once

// The state of one SDK lifetime, in one object.
//
// Everything the SDK keeps for the life of the process above the platform
// layer (the container, the logger's settings, the flags, the configuration
// handler, the observables, the facade, the hooks through which lower folders
// reach the core, ...) is a part of the current SdkState. Each part is built by
// its own folder on first use, through the door its users already call
// (DiContainer::shared(), SvlLog::debug, S3ConfigHandler::shared(), ...): the
// state lives in the lowest folder so that every door reaches it with two
// loads and no registration from above, whatever is used first.
//
// A test starts a fresh SDK by replacing the state (replaceForTesting): the
// parts of the old one are retired, the last built first, and the next door
// reached builds its part anew. Retired states are kept, never freed: a thread
// of the last SDK (a queue waiting on the network, the scheduler) may still
// hold one of their parts while the process goes on or exits.

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "Platform/Mutex.h"

namespace sorvel {

// The complete list of the parts. A new piece of process-wide SDK state is
// given a slot here and becomes a part; it is not a static of its own.
enum class SdkSlot : std::size_t {
    // Common
    logger,
    endpoints,
    flags,
    gdprResend,
    keychain,
    // Network
    disableHook,
    requestSigner,
    configHandler,
    // Data/ModelProvider
    osPushListener,
    // Event
    timers,
    uploadInterval,
    pushOpenMonitor,
    deeplinkObservables,
    // Push
    osPushObservable,
    // View
    inAppViews,
    // Core
    container,
    // Public
    facade,
    pushController,
    hostScreen,
    count
};

// One part of the SDK's state. retire() cuts it off from the SDK that follows
// (hooks into the old core forgotten, queued work finished, stores made
// durable); it runs once, on the thread that replaces the state, without any
// lock of the state held. The part stays usable afterwards by whatever still
// holds it.
class SdkStatePart {
  public:
    virtual ~SdkStatePart() = default;
    virtual void retire() {}
};

// A part that is one object of type T, in slot S; retiring it runs T's
// reset() when T has one.
template <typename T, SdkSlot S>
struct SdkValuePart : SdkStatePart {
    static constexpr SdkSlot kSlot = S;
    void retire() override {
        if constexpr (requires { value.reset(); }) {
            value.reset();
        }
    }
    T value;
};

class SdkState {
  public:
    // The current state: a load once the first one is made.
    static SdkState& shared() noexcept;

    // The part in the slot of T (T::kSlot), built by make() on its first
    // read. A part may read other parts while it is built; the parts form no
    // cycle. Reads from any thread are safe.
    template <typename T, typename Make>
    T& part(Make&& make) {
        constexpr auto slot = static_cast<std::size_t>(T::kSlot);
        static_assert(slot < kSlots);
        if (auto* p = slots_[slot].load(std::memory_order_acquire)) {
            return static_cast<T&>(*p);
        }
        std::call_once(once_[slot], [&] {
            std::unique_ptr<SdkStatePart> made = std::forward<Make>(make)();
            adopt(slot, std::move(made));
        });
        return static_cast<T&>(*slots_[slot].load(std::memory_order_acquire));
    }

    template <typename T>
    T& part() {
        return part<T>([] { return std::make_unique<T>(); });
    }

    // The part in the slot of T when it has been built, else null; builds
    // nothing.
    template <typename T>
    T* builtPart() noexcept {
        constexpr auto slot = static_cast<std::size_t>(T::kSlot);
        static_assert(slot < kSlots);
        return static_cast<T*>(slots_[slot].load(std::memory_order_acquire));
    }

    // Test support only: retires every part of the current state, the last
    // built first (a later part may still use an earlier one while it
    // retires), then makes a fresh, empty state the current one. The SDK
    // itself never calls it. Not to be run from a queue of the SDK.
    static void replaceForTesting();

    SdkState() = default;
    SdkState(const SdkState&) = delete;
    SdkState& operator=(const SdkState&) = delete;

    // Retires every part built so far, the last built first (a later part
    // may still use an earlier one while it retires); a part first read by a
    // retiring one is retired after them. The parts stay in their slots.
    void retireParts();

  private:
    static constexpr std::size_t kSlots = static_cast<std::size_t>(SdkSlot::count);

    void adopt(std::size_t slot, std::unique_ptr<SdkStatePart> made);

    std::array<std::atomic<SdkStatePart*>, kSlots> slots_{};
    std::array<std::once_flag, kSlots> once_;
    platform::Mutex mu_;
    // In the order they were built.
    std::vector<std::unique_ptr<SdkStatePart>> built_ GUARDED_BY(mu_);
};

}  // namespace sorvel
