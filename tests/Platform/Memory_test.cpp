#include "Platform/Memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

namespace sorvel::platform {
namespace {

[[maybe_unused]] long residentBytes() {
    long pages = 0;
    long resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SORVEL_OWN_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SORVEL_OWN_ALLOCATOR 1
#endif

TEST(Memory, PagesFreedAmongLiveAllocationsGoBackToTheSystem) {
#if defined(SORVEL_OWN_ALLOCATOR) || !defined(__GLIBC__)
    GTEST_SKIP() << "the sanitizer's allocator keeps its own heap";
#else
    // A burst: blocks below the size the allocator maps on their own, each
    // followed by a small one that stays, so no freed block is at the top.
    constexpr std::size_t kBlocks = 256;
    constexpr std::size_t kBlockBytes = 60 * 1024;
    std::vector<void*> burst;
    std::vector<std::unique_ptr<char[]> > kept;
    for (std::size_t i = 0; i < kBlocks; ++i) {
        void* block = std::malloc(kBlockBytes);
        ASSERT_NE(block, nullptr);
        std::memset(block, 1, kBlockBytes);
        burst.push_back(block);
        kept.push_back(std::make_unique<char[]>(64));
        kept.back()[0] = 1;
    }
    for (void* block : burst) {
        std::free(block);
    }
    const long before = residentBytes();
    returnFreedMemory();
    const long after = residentBytes();
    // Most of the 15 MB freed leaves the process; what stays live is intact.
    EXPECT_GT(before - after, static_cast<long>(kBlocks * kBlockBytes / 2))
        << "before " << before << " after " << after;
    for (const auto& k : kept) {
        EXPECT_EQ(k[0], 1);
    }
#endif
}

}  // namespace
}  // namespace sorvel::platform
