#pragma once

// Counts of heap allocations (malloc, calloc, realloc, the aligned kinds; and
// so every operator new, which allocates through malloc), made by any code of
// the process, the SDK's shared library included. Linked into a program, the
// counting allocator stands in for the C library's by symbol interposition.

namespace sorvel::bench {

/// Allocations made so far by the calling thread.
long allocationsOnThisThread() noexcept;

/// Allocations made so far by every thread of the process, ended ones included.
long allocationsInProcess() noexcept;

/// Whether the counting allocator is the one in use (false under a sanitizer,
/// which brings its own allocator).
bool allocationCountingActive() noexcept;

}  // namespace sorvel::bench
