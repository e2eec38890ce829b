#include "AllocationCount.h"

#include <cstddef>

#ifndef SORVEL_BENCH_NO_COUNTING

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

// One counter per thread, each on a cache line of its own, so that counting
// never makes threads contend: a thread only ever writes its own slot, and a
// reader sums them. Slots are never reused, so an ended thread's count stays.
// Threads beyond the table share its last slot (with an atomic add).
constexpr int kSlots = 4096;

struct alignas(64) Slot {
    std::atomic<long> count{0};
    std::atomic<int> tid{0};
};

Slot* slots() noexcept {
    static Slot table[kSlots];  // constant-initialized: no guard, usable from malloc
    return table;
}

std::atomic<int> nextSlot{0};
thread_local int mySlot = -1;

int slotOfThisThread() noexcept {
    if (mySlot < 0) {
        const int taken = nextSlot.fetch_add(1, std::memory_order_relaxed);
        mySlot = taken < kSlots ? taken : kSlots - 1;
        slots()[mySlot].tid.store(static_cast<int>(gettid()), std::memory_order_relaxed);
    }
    return mySlot;
}

inline void countOne() noexcept {
    const int slot = slotOfThisThread();
    std::atomic<long>& c = slots()[slot].count;
    if (slot == kSlots - 1) {
        c.fetch_add(1, std::memory_order_relaxed);
    } else {
        c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
}

}  // namespace

// The C library's own entry points, which the definitions below forward to.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);

__attribute__((used, visibility("default"))) void* malloc(std::size_t size) {
    countOne();
    return __libc_malloc(size);
}

__attribute__((used, visibility("default"))) void* calloc(std::size_t count, std::size_t size) {
    countOne();
    return __libc_calloc(count, size);
}

__attribute__((used, visibility("default"))) void* realloc(void* p, std::size_t size) {
    countOne();
    return __libc_realloc(p, size);
}

__attribute__((used, visibility("default"))) void* memalign(std::size_t alignment,
                                                            std::size_t size) {
    countOne();
    return __libc_memalign(alignment, size);
}

__attribute__((used, visibility("default"))) void* aligned_alloc(std::size_t alignment,
                                                                 std::size_t size) {
    countOne();
    return __libc_memalign(alignment, size);
}

__attribute__((used, visibility("default"))) int posix_memalign(void** out, std::size_t alignment,
                                                                std::size_t size) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    countOne();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}
}  // extern "C"

namespace sorvel::bench {

long allocationsOnThisThread() noexcept {
    return slots()[slotOfThisThread()].count.load(std::memory_order_relaxed);
}

long allocationsInProcess() noexcept {
    long sum = 0;
    const int used = std::min(nextSlot.load(std::memory_order_relaxed), kSlots);
    for (int i = 0; i < used; ++i) {
        sum += slots()[i].count.load(std::memory_order_relaxed);
    }
    return sum;
}

std::vector<ThreadAllocations> allocationsByThread() {
    const int used = std::min(nextSlot.load(std::memory_order_relaxed), kSlots);
    std::vector<ThreadAllocations> out;
    out.reserve(static_cast<std::size_t>(used));
    for (int i = 0; i < used; ++i) {
        out.push_back({slots()[i].tid.load(std::memory_order_relaxed),
                       slots()[i].count.load(std::memory_order_relaxed)});
    }
    return out;
}

bool allocationCountingActive() noexcept {
    // An allocation made inside the C library (another shared object) must
    // reach the counter.
    const long before = allocationsOnThisThread();
    char* copy = strdup("counted");
    const bool counted = copy != nullptr && allocationsOnThisThread() > before;
    std::free(copy);
    return counted;
}

}  // namespace sorvel::bench

#else

namespace sorvel::bench {
long allocationsOnThisThread() noexcept {
    return 0;
}
long allocationsInProcess() noexcept {
    return 0;
}
std::vector<ThreadAllocations> allocationsByThread() {
    return {};
}
bool allocationCountingActive() noexcept {
    return false;
}
}  // namespace sorvel::bench

#endif
