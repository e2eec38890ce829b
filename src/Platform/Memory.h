#pragma once

namespace sorvel::platform {

// Gives the system back the pages of the heap that hold only freed memory
// (what a burst of work took and released), where the C library can tell.
// The process's allocations are untouched; it costs a walk of the heap, so
// callers use it after large amounts were freed, not routinely.
void returnFreedMemory() noexcept;

}  // namespace sorvel::platform
