#include "Platform/UI/TextLayout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

// The synthetic metrics, counting the bytes handed to it to measure.
class CountingMeasurer final : public ITextMeasurer {
  public:
    double lineWidth(std::string_view utf8, const Font& font) const override {
        bytes += utf8.size();
        return synthetic_.lineWidth(utf8, font);
    }
    double lineHeight(const Font& font) const override { return synthetic_.lineHeight(font); }
    std::vector<double> pieceWidths(std::string_view utf8, const std::vector<std::size_t>& ends,
                                    const Font& font) const override {
        bytes += utf8.size();
        ++batches;
        return synthetic_.pieceWidths(utf8, ends, font);
    }
    mutable std::size_t bytes = 0;
    mutable std::size_t batches = 0;

  private:
    SyntheticTextMeasurer synthetic_;
};

std::string repeat(std::string_view piece, std::size_t bytes) {
    std::string out;
    while (out.size() < bytes) {
        out += piece;
    }
    return out;
}

TEST(TextLayoutTest, MeasuringGrowsWithTheTextNotItsSquare) {
    const Font f{10, false};
    // Marks (a right-to-left mark, then a combining accent on nothing: two
    // characters) and then one long word: nowhere to break.
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        text += "\u200F\u0301";
    }
    text += std::string(4000, 'W');
    CountingMeasurer m;
    TextBlock block = layoutText(text, f, 300, 0, m);
    EXPECT_LE(m.bytes, 4 * text.size());
    std::size_t ws = 0;
    for (const TextLine& l : block.lines) {
        EXPECT_LE(l.width, 300);
        ws += static_cast<std::size_t>(std::count(l.text.begin(), l.text.end(), 'W'));
    }
    EXPECT_EQ(ws, 4000u);
    // 8,000 characters of 5 points, 60 a line.
    EXPECT_EQ(block.lines.size(), (8000u + 59) / 60);

    // Words: the whole text is measured in one batch.
    CountingMeasurer words;
    const std::string prose = repeat("lorem ipsum dolor sit amet ", 8000);
    TextBlock wrapped = layoutText(prose + "\n" + prose, f, 300, 0, words);
    EXPECT_EQ(words.batches, 1u);
    EXPECT_LE(words.bytes, 2 * (2 * prose.size() + 1));
    for (const TextLine& l : wrapped.lines) {
        ASSERT_LE(l.width, 300);
        ASSERT_DOUBLE_EQ(l.width, SyntheticTextMeasurer().lineWidth(l.text, f));
    }
}

TEST(TextLayoutTest, ALabelSetsABoundedPartOfAHugeText) {
    const Font f{10, false};
    const std::string huge = repeat("lorem ipsum dolor sit amet ", 1024 * 1024);
    CountingMeasurer m;
    TextBlock block = layoutText(huge, f, 300, 0, m);
    EXPECT_LE(m.bytes, 3 * kMaxLaidOutBytes);
    ASSERT_FALSE(block.lines.empty());
    std::size_t bytes = 0;
    for (const TextLine& l : block.lines) {
        bytes += l.text.size();
        EXPECT_LE(l.width, 300);
    }
    EXPECT_LE(bytes, kMaxLaidOutBytes + 3);
    EXPECT_GT(bytes, kMaxLaidOutBytes * 9 / 10);
    const std::string& last = block.lines.back().text;
    EXPECT_EQ(last.substr(last.size() - 3), "\u2026");
    // The same layout whatever lies beyond the bound.
    EXPECT_EQ(laidOutPart(huge), laidOutPart(huge + "tail"));
    EXPECT_EQ(layoutText(laidOutPart(huge), f, 300, 0, m).lines.size(), block.lines.size());

    // Empty lines count too: no more than the bound, the last cut short.
    TextBlock breaks = layoutText(std::string(100000, '\n') + "end", f, 300, 0, m);
    ASSERT_EQ(breaks.lines.size(), static_cast<std::size_t>(kMaxLaidOutLines));
    EXPECT_EQ(breaks.lines.back().text, "\u2026");
    // A text just inside the bound is whole.
    const std::string fits = repeat("ab ", kMaxLaidOutBytes - 3);
    TextBlock whole = layoutText(fits.substr(0, kMaxLaidOutBytes), f, 0, 0, m);
    ASSERT_EQ(whole.lines.size(), 1u);
    EXPECT_EQ(whole.lines[0].text.find("\u2026"), std::string::npos);

    // A count that stops at its limit.
    EXPECT_EQ(graphemeCount(huge, 200), 200u);
    EXPECT_EQ(graphemeCount("e\xCC\x81"
                            "bc",
                            200),
              3u);
    EXPECT_EQ(graphemeCount("abc", 0), 0u);
}

TEST(TextLayoutTest, PieceWidthsByDefaultMeasureEachPiece) {
    SyntheticTextMeasurer m;
    const Font f{10, false};
    const std::vector<double> w = m.pieceWidths("ab cde\xE4\xBD\xA0", {2, 3, 6, 6, 9, 50}, f);
    EXPECT_EQ(w, (std::vector<double>{10, 5, 15, 0, 10, 0}));
    // Ends out of order or past the text are held to it.
    EXPECT_EQ(m.pieceWidths("abcd", {3, 1, 4}, f), (std::vector<double>{15, 0, 5}));
}

}  // namespace
}  // namespace sorvel::platform
