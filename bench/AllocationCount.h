#pragma once

// Counts of heap allocations (malloc, calloc, realloc, the aligned kinds; and
// so every operator new, which allocates through malloc), made by any code of
// the process, the SDK's shared library included. Linked into a program, the
// counting allocator stands in for the C library's by symbol interposition.

// Sanitizers bring their own allocator: the counting one is left out there.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define SORVEL_BENCH_NO_COUNTING 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SORVEL_BENCH_NO_COUNTING 1
#endif

#include <vector>

namespace sorvel::bench {

/// Allocations made so far by the calling thread.
long allocationsOnThisThread() noexcept;

/// Allocations made so far by every thread of the process, ended ones included.
long allocationsInProcess() noexcept;

/// One thread's count: its kernel thread id and the allocations it made.
struct ThreadAllocations {
    int tid = 0;
    long count = 0;
};

/// The count of every thread that allocated so far, ended ones included (an
/// ended thread's id may have been given to a newer thread since). Threads
/// beyond the counter's table share its last entry.
std::vector<ThreadAllocations> allocationsByThread();

/// Whether the counting allocator is the one in use (never when
/// SORVEL_BENCH_NO_COUNTING is defined).
bool allocationCountingActive() noexcept;

}  // namespace sorvel::bench
