#include "Platform/UI/TextLayout.h"

#include <gtest/gtest.h>

#include <string>

namespace sorvel::platform {
namespace {

TEST(TextLayoutTest, GraphemesCountWhatAReaderSees) {
    EXPECT_EQ(graphemeCount(""), 0u);
    EXPECT_EQ(graphemeCount("abc"), 3u);
    EXPECT_EQ(graphemeCount("e\xCC\x81"), 1u);                         // e + combining acute
    EXPECT_EQ(graphemeCount("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"), 1u);  // thumbs up + skin tone
    // man, ZWJ, woman, ZWJ, girl
    EXPECT_EQ(
        graphemeCount("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"),
        1u);
    EXPECT_EQ(graphemeCount("\xF0\x9F\x87\xB0\xF0\x9F\x87\xB7\xF0\x9F\x87\xAF\xF0\x9F\x87\xB5"),
              2u);                                                         // two flags
    EXPECT_EQ(graphemeCount("\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB"), 1u);  // Hangul jamo L V T
    EXPECT_EQ(graphemeCount("\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D"), 4u);      // right-to-left letters
    EXPECT_EQ(graphemeCount("\xFF\xFE"), 2u);  // ill-formed bytes count as replacements
}

TEST(TextLayoutTest, SyntheticMetricsWrapAndTruncate) {
    SyntheticTextMeasurer m;
    const Font f{10, false};
    EXPECT_DOUBLE_EQ(m.lineHeight(f), 12);
    EXPECT_DOUBLE_EQ(m.lineWidth("ab", f), 10);
    EXPECT_DOUBLE_EQ(m.lineWidth("\xE4\xBD\xA0\xE5\xA5\xBD", f), 20);  // two wide Han
    EXPECT_DOUBLE_EQ(m.lineWidth("e\xCC\x81", f), 5);

    TextBlock one = layoutText("hello world", f, 0, 0, m);
    ASSERT_EQ(one.lines.size(), 1u);
    EXPECT_DOUBLE_EQ(one.size.width, 55);

    TextBlock wrapped = layoutText("hello world", f, 30, 0, m);
    ASSERT_EQ(wrapped.lines.size(), 2u);
    EXPECT_EQ(wrapped.lines[0].text, "hello");
    EXPECT_EQ(wrapped.lines[1].text, "world");
    EXPECT_DOUBLE_EQ(wrapped.size.height, 24);

    // A word longer than the line breaks inside it.
    TextBlock split = layoutText("abcdefghij", f, 20, 0, m);
    ASSERT_EQ(split.lines.size(), 3u);
    EXPECT_EQ(split.lines[0].text, "abcd");

    TextBlock breaks = layoutText("a\n\nb", f, 100, 0, m);
    EXPECT_EQ(breaks.lines.size(), 3u);

    TextBlock cut = layoutText("one two three four five six", f, 20, 2, m);
    ASSERT_EQ(cut.lines.size(), 2u);
    EXPECT_NE(cut.lines[1].text.find("\xE2\x80\xA6"), std::string::npos);
    for (const TextLine& l : cut.lines) {
        EXPECT_LE(l.width, 20);
    }
    EXPECT_TRUE(layoutText("", f, 10, 0, m).lines.empty());

    // 100 KB of text lays out; every line fits.
    std::string big;
    while (big.size() < 100 * 1024) {
        big += "lorem ipsum \xE4\xBD\xA0\xE5\xA5\xBD ";
    }
    TextBlock huge = layoutText(big, f, 300, 0, m);
    EXPECT_GT(huge.lines.size(), 100u);
    for (const TextLine& l : huge.lines) {
        ASSERT_LE(l.width, 300);
    }
}

}  // namespace
}  // namespace sorvel::platform
