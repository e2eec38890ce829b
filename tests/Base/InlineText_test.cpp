#include "Base/InlineText.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <utility>

namespace sorvel {
namespace {

// Texts on both sides of the inline room, and every way one replaces another.
TEST(InlineTextTest, HoldsEveryLengthWholeAcrossCopiesMovesAndReassignments) {
    const std::string atLimit(InlineText::kInline, 'a');
    const std::string pastLimit(InlineText::kInline + 1, 'b');
    const std::string long_(300, 'c');
    for (const std::string& text : {std::string(), std::string("x"), atLimit, pastLimit, long_}) {
        InlineText t(text);
        EXPECT_EQ(t.view(), text);
        EXPECT_EQ(t.size(), text.size());
        EXPECT_EQ(t.empty(), text.empty());

        InlineText copy(t);
        EXPECT_EQ(copy, t);
        InlineText moved(std::move(copy));
        EXPECT_EQ(moved.view(), text);
        // A moved-from text reads empty, whichever room it used.
        EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move)

        // Every length over every other: no byte of the old text stays.
        for (const std::string& other : {std::string("yz"), pastLimit, long_, atLimit}) {
            InlineText over(other);
            over = t;
            EXPECT_EQ(over.view(), text) << other.size() << " <- " << text.size();
            InlineText taken(other);
            taken = InlineText(text);
            EXPECT_EQ(taken.view(), text);
            InlineText fromString(other);
            fromString = InlineText(std::string(text));
            EXPECT_EQ(fromString.str(), text);
        }
    }
}

TEST(InlineTextTest, ReadsAsTheTextItHolds) {
    InlineText t("1700000000123:0F2504E0-4F89-41D3-9A0C-0305E82C3301");
    // A part of itself, at either length.
    t.assign(t.view().substr(14));
    EXPECT_EQ(t, "0F2504E0-4F89-41D3-9A0C-0305E82C3301");
    InlineText longOne(std::string(100, 'q') + "tail");
    longOne.assign(longOne.view().substr(96));
    EXPECT_EQ(longOne, "qqqqtail");

    // As a field of the event types: optional, compared with plain texts.
    std::optional<InlineText> id = std::string("given");
    EXPECT_EQ(id, "given");
    EXPECT_NE(id, "other");
    const std::string asString = *id;
    EXPECT_EQ(asString, "given");
    std::ostringstream out;
    out << *id;
    EXPECT_EQ(out.str(), "given");
    EXPECT_FALSE(InlineText("a") == InlineText("ab"));
}

}  // namespace
}  // namespace sorvel
