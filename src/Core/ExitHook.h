#pragma once

namespace sorvel {

// Makes a normal end of the process (a return from main, exit) store what the
// SDK holds, as applicationWillTerminate would without the uploads: within
// EXIT_BUDGET_MS, so the exit never hangs on the SDK, and with a log line for
// what could not be stored. Installed once per process, by the first
// initSorvel; later calls do nothing.
void installExitHook() noexcept;

// How long the exit waits for the SDK at most.
inline constexpr int EXIT_BUDGET_MS = 50;

}  // namespace sorvel
