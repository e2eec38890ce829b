#include "Core/ExitHook.h"

#include <chrono>
#include <cstdlib>
#include <mutex>

#include "Common/SvlLog.h"
#include "Core/DiContainer.h"

namespace sorvel {
namespace {

// Runs after main returned, before the statics made before initSorvel are
// destroyed; the SDK's own state is never destroyed, and its threads keep
// running until the process ends, so the wait below reaches only living
// objects. A handler must not throw.
void storeAtExit() noexcept {
    try {
        (void)DiContainer::shared().storeAtExit(std::chrono::milliseconds(EXIT_BUDGET_MS));
    } catch (...) {
        // Nothing is left to report it to.
    }
}

}  // namespace

void installExitHook() noexcept {
    // Once per process, whatever SDK lifetimes follow one another in it: the
    // handler reaches the current one.
    static std::once_flag installed;
    std::call_once(installed, [] {
        if (std::atexit(&storeAtExit) != 0) {
            SvlLog::error(
                "SDK exit :: no exit handler; call "
                "SorvelHost::applicationWillTerminate before main returns",
                false);
        }
    });
}

}  // namespace sorvel
