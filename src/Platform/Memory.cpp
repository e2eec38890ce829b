#include "Platform/Memory.h"

// Any header of the C library says which library it is.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace sorvel::platform {

void returnFreedMemory() noexcept {
#if defined(__GLIBC__)
    // Freed chunks stay with the allocator's arenas (and count as resident)
    // until the top of a heap is free; this releases the free pages inside
    // them too.
    malloc_trim(0);
#endif
}

}  // namespace sorvel::platform
