#include "Base/Status.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace sorvel {
namespace {

enum class Why { Missing, Broken };

TEST(Status, FailuresKeepTheirMessageOrTheirOwnErrorValue) {
    StatusOr<int> made = 7;
    ASSERT_TRUE(made.isOk());
    EXPECT_TRUE(made.status().isOk());
    EXPECT_EQ(made.value(), 7);
    StatusOr<int> failed = Status::error("the file is gone");
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.status().message(), "the file is gone");
    EXPECT_EQ(failed.error().message(), "the file is gone");

    // A call with error values of its own hands them on unchanged.
    StatusOr<std::string, Why> read = std::string("id");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->size(), 2u);
    StatusOr<std::string, Why> broken = Why::Broken;
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error(), Why::Broken);
    broken = std::string("mended");
    EXPECT_EQ(broken.value(), "mended");

    // A value that can only be moved comes out whole.
    StatusOr<std::unique_ptr<int>, Why> owned = std::make_unique<int>(5);
    std::unique_ptr<int> taken = std::move(owned).value();
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(*taken, 5);

    // Without a value: success, or the error value.
    StatusOr<void, Why> done;
    EXPECT_TRUE(done.isOk());
    EXPECT_TRUE((StatusOr<void, Why>::ok()));
    StatusOr<void, Why> missing = Why::Missing;
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), Why::Missing);
}

}  // namespace
}  // namespace sorvel
