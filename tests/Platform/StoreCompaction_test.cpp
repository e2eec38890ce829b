// A settings store asked to compact empties its log and gives back the pages
// a value rewritten smaller left unused.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "Platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

std::int64_t fileBytes(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

// A 300 KB value rewritten to a few bytes: its pages stay free in the file
// (or the log), far from the size at which a commit checkpoints the log.
std::shared_ptr<platform::UserDefaults> storeWithFreePages() {
    auto suite = platform::UserDefaults::suite("compaction");
    EXPECT_TRUE(suite->set("big", Value(Value::Bytes(300 * 1024, 7))));
    EXPECT_TRUE(suite->set("big", Value(std::string("small"))));
    EXPECT_TRUE(suite->set("other", Value(std::int64_t{1})));
    return suite;
}

TEST(StoreCompaction, CompactEmptiesTheLogAndGivesPagesBack) {
    testing::FreshSdk sdk;
    auto suite = storeWithFreePages();
    const std::string path = suite->path();
    ASSERT_GT(fileBytes(path + "-wal") + fileBytes(path), 300 * 1024);
    suite->compact();
    EXPECT_EQ(fileBytes(path + "-wal"), 0);
    EXPECT_LT(fileBytes(path), 100 * 1024);
    EXPECT_EQ(suite->get("big"), Value(std::string("small")));
    // What the file holds after it, as the next launch reads it.
    sdk.relaunch();
    auto reopened = platform::UserDefaults::suite("compaction");
    EXPECT_EQ(reopened->get("big"), Value(std::string("small")));
    EXPECT_EQ(reopened->get("other"), Value(std::int64_t{1}));
}

}  // namespace
}  // namespace sorvel
