#include "Event/RecentIds.h"

#include <gtest/gtest.h>

#include <string>

namespace sorvel {
namespace {

TEST(RecentIdsTest, KeepsTheLastInsertedIdsAndForgetsTheOldestFirst) {
    RecentIds ids(3);
    for (const char* id : {"a", "b", "c"}) {
        ids.insert(id);
    }
    // Inserting one it holds neither grows it nor refreshes its age.
    ids.insert("a");
    EXPECT_EQ(ids.size(), 3u);
    ids.insert("d");
    EXPECT_FALSE(ids.contains("a"));
    for (const char* id : {"b", "c", "d"}) {
        EXPECT_TRUE(ids.contains(id)) << id;
    }

    // Many more than it keeps, across the set's rehashes: the size stays at
    // the capacity and exactly the newest remain.
    RecentIds many(1000);
    for (int i = 0; i < 50000; ++i) {
        many.insert("package-" + std::to_string(i));
    }
    EXPECT_EQ(many.size(), 1000u);
    EXPECT_FALSE(many.contains("package-48999"));
    EXPECT_TRUE(many.contains("package-49000"));
    EXPECT_TRUE(many.contains("package-49999"));
}

}  // namespace
}  // namespace sorvel
