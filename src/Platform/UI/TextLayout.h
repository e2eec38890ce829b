#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/UI/Geometry.h"

namespace sorvel::platform {

// The system font at a size, regular or bold.
struct Font {
    double size = 17;
    bool bold = false;
    friend bool operator==(const Font&, const Font&) = default;
};

// How wide a run of text is and how tall a line, in points. Labels measure
// through the current measurer; a renderer installs one over its real font
// metrics (host::setTextMeasurer) so that what it draws fits the frames the
// layouts computed. Called on the main thread only.
class ITextMeasurer {
  public:
    virtual ~ITextMeasurer() = default;
    // The advance of text set on one line (it holds no line break).
    virtual double lineWidth(std::string_view utf8, const Font& font) const = 0;
    virtual double lineHeight(const Font& font) const = 0;
    // The widths of consecutive pieces of a text set on one line: piece i runs
    // from ends[i - 1] (0 for the first) to ends[i], ends rising and the last
    // at most the text's size. A measurer that shapes measures the text once
    // and gives each piece its share, so the pieces keep their shaping
    // context; this default measures each piece alone.
    virtual std::vector<double> pieceWidths(std::string_view utf8,
                                            const std::vector<std::size_t>& ends,
                                            const Font& font) const;
};

// Fixed metrics, the same on every machine: a line is 1.2 x the size high; a
// character (grapheme cluster) advances 1.0 x the size when it is East-Asian
// wide or full-width, 0.5 x the size otherwise.
class SyntheticTextMeasurer final : public ITextMeasurer {
  public:
    double lineWidth(std::string_view utf8, const Font& font) const override;
    double lineHeight(const Font& font) const override { return 1.2 * font.size; }
};

// The measurer labels use (the synthetic one until a host sets another).
const ITextMeasurer& textMeasurer();
std::shared_ptr<const ITextMeasurer> textMeasurerPtr();

struct TextLine {
    std::string text;  // without the break that ended it
    double width = 0;
};

struct TextBlock {
    std::vector<TextLine> lines;
    double lineHeight = 0;
    Size size;  // the widest line by the lines' total height
};

// What one label sets at most. Laying text out runs on the main thread, and
// a campaign's text may be as long as an answer may be (megabytes), so a label
// sets the first kMaxLaidOutBytes of its text in at most kMaxLaidOutLines
// lines and ends the last in an ellipsis. 500 lines of 14-point text are
// about 8,500 points, some fifteen screens of the tallest text area; 16 KiB
// fill them with ordinary words (about 50 bytes a line). Measuring 16 KiB
// with a shaping engine costs a few milliseconds.
inline constexpr std::size_t kMaxLaidOutBytes = 16 * 1024;
inline constexpr int kMaxLaidOutLines = 500;

// The part of a text that layoutText reads: equal parts give equal layouts.
std::string_view laidOutPart(std::string_view utf8);

// A stretch between two line-break opportunities: a word and the white space
// after it, which hangs past a line's end and is not counted in its width.
// Offsets are bytes of the measured text.
struct TextSegment {
    std::size_t start = 0;
    std::size_t contentEnd = 0;  // the word's end, before its white space
    std::size_t end = 0;
    bool hard = false;    // a line must end after it
    double width = 0;     // of the word
    double trailing = 0;  // of the white space
};

// A text cut to what a label sets, broken into segments and measured once
// for a font: layouts of any width are set from it without measuring again
// (but for the characters of a word wider than a line, measured on first
// need and kept).
class MeasuredText {
  public:
    MeasuredText(std::string_view utf8, const Font& font,
                 const ITextMeasurer& measurer = textMeasurer());
    const std::string& text() const { return text_; }
    // Text beyond kMaxLaidOutBytes was left out.
    bool cut() const { return cut_; }
    const Font& font() const { return font_; }
    double lineHeight() const { return lineHeight_; }
    const std::vector<TextSegment>& segments() const { return segments_; }
    // The characters of a segment's word: each one's end and width.
    const std::vector<std::pair<std::size_t, double>>& characters(
        std::size_t segment, const ITextMeasurer& measurer) const;

  private:
    std::string text_;
    bool cut_ = false;
    Font font_;
    double lineHeight_ = 0;
    std::vector<TextSegment> segments_;
    mutable std::map<std::size_t, std::vector<std::pair<std::size_t, double>>> characters_;
};

// Sets text in lines no wider than maxWidth (<= 0: unbounded), breaking where
// Unicode allows a line break, inside a word only when the word alone is too
// wide, and at every newline. With maxLines > 0 the text stops after that many
// lines and the last one ends in an ellipsis; so does text beyond the bounds
// above. The text is measured once (pieceWidths), so the work grows with the
// text, not with its square. Empty text gives no line and a zero size.
// Ill-formed UTF-8 is read as U+FFFD.
TextBlock layoutText(std::string_view utf8, const Font& font, double maxWidth, int maxLines,
                     const ITextMeasurer& measurer = textMeasurer());
// The same from a text measured before (with the same measurer).
TextBlock layoutText(const MeasuredText& measured, double maxWidth, int maxLines,
                     const ITextMeasurer& measurer = textMeasurer());

// The number of user-perceived characters (extended grapheme clusters): a
// letter with combining accents, an emoji ZWJ sequence, an emoji with a skin
// tone, a flag (a regional-indicator pair) and a Hangul syllable made of jamo
// each count one.
std::size_t graphemeCount(std::string_view utf8);
// The same, counting no further than limit (so a long text costs no more
// than its first limit characters).
std::size_t graphemeCount(std::string_view utf8, std::size_t limit);

// The graphemes of a text, in order, each as its UTF-8 bytes.
std::vector<std::string_view> graphemes(std::string_view utf8);

// True for an East-Asian wide or full-width code point.
bool isWideCodePoint(char32_t c);

}  // namespace sorvel::platform
