// A settings store that went quiet after writes holds no log; asked, it also
// gives back the pages a value rewritten smaller left unused.
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

// A 300 KB value rewritten to a few bytes: its pages stay free in the file,
// and the rewrite alone leaves far too little in the log for the checkpoint
// that a growing log starts.
std::shared_ptr<platform::UserDefaults> storeWithFreePages() {
    auto suite = platform::UserDefaults::suite("compaction");
    EXPECT_TRUE(suite->set("big", Value(Value::Bytes(300 * 1024, 7))));
    EXPECT_TRUE(suite->set("big", Value(std::string("small"))));
    EXPECT_TRUE(suite->set("other", Value(std::int64_t{1})));
    return suite;
}

TEST(StoreCompaction, AQuietStoreEmptiesItsLog) {
    testing::FreshSdk sdk;
    auto suite = platform::UserDefaults::suite("compaction");
    const std::string path = suite->path();
    // A few small writes, far from what starts a checkpoint: the log they
    // leave goes once the store is quiet.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(suite->set("k" + std::to_string(i), Value(std::int64_t{i})));
    }
    ASSERT_GT(fileBytes(path + "-wal"), 0);
    EXPECT_TRUE(testing::pollUntil([&] { return fileBytes(path + "-wal") == 0; }))
        << "log " << fileBytes(path + "-wal") << " bytes";
    // The values are all there, in this process and in the file.
    EXPECT_EQ(suite->get("k4"), Value(std::int64_t{4}));
    sdk.relaunch();
    auto reopened = platform::UserDefaults::suite("compaction");
    EXPECT_EQ(reopened->get("k0"), Value(std::int64_t{0}));
    EXPECT_EQ(reopened->get("k4"), Value(std::int64_t{4}));
}

TEST(StoreCompaction, CompactDoesItAtOnce) {
    // On a clock that does not move, the quiet moment never comes.
    testing::FreshSdk sdk(true);
    auto suite = storeWithFreePages();
    const std::string path = suite->path();
    ASSERT_GT(fileBytes(path + "-wal") + fileBytes(path), 300 * 1024);
    suite->compact();
    EXPECT_EQ(fileBytes(path + "-wal"), 0);
    EXPECT_LT(fileBytes(path), 100 * 1024);
    EXPECT_EQ(suite->get("big"), Value(std::string("small")));
}

}  // namespace
}  // namespace sorvel
