#include "Platform/UI/TextLayout.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"

namespace sorvel::platform {
namespace {

struct MeasurerState {
    Mutex mu;
    std::shared_ptr<const ITextMeasurer> measurer GUARDED_BY(mu);
};

MeasurerState& measurerState() {
    static NoDestructor<MeasurerState> state;
    static const bool registered = [] {
        registerResetHook([] {
            MutexLock lock(measurerState().mu);
            measurerState().measurer.reset();
        });
        return true;
    }();
    (void)registered;
    return state.get();
}

const std::shared_ptr<const ITextMeasurer>& syntheticMeasurer() {
    static const NoDestructor<std::shared_ptr<const ITextMeasurer>> synthetic(
        std::make_shared<SyntheticTextMeasurer>());
    return const_cast<NoDestructor<std::shared_ptr<const ITextMeasurer>>&>(synthetic).get();
}

enum class BreakKind { Character, Line };

// Break iterators are costly to build: one of each kind per thread, reset onto
// each text. The UText reads UTF-8 in place, so boundaries are byte offsets.
class Breaks {
  public:
    Breaks(std::string_view utf8, BreakKind kind) {
        UErrorCode status = U_ZERO_ERROR;
        text_ = utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
        icu::BreakIterator* it = iterator(kind);
        if (U_FAILURE(status) || it == nullptr) {
            return;
        }
        it->setText(text_, status);
        if (U_SUCCESS(status)) {
            it_ = it;
        }
    }
    ~Breaks() { utext_close(text_); }
    Breaks(const Breaks&) = delete;
    Breaks& operator=(const Breaks&) = delete;

    // The boundaries after 0, ending with the text's size; every byte when ICU
    // is unavailable. f returns false to stop.
    template <typename F>
    void forEach(std::size_t size, F&& f) {
        if (it_ == nullptr) {
            for (std::size_t i = 1; i <= size; ++i) {
                if (!f(i, false)) {
                    return;
                }
            }
            return;
        }
        it_->first();
        for (int32_t b = it_->next(); b != icu::BreakIterator::DONE; b = it_->next()) {
            if (!f(static_cast<std::size_t>(b), it_->getRuleStatus() >= UBRK_LINE_HARD &&
                                                    it_->getRuleStatus() < UBRK_LINE_HARD_LIMIT)) {
                return;
            }
        }
    }

  private:
    static icu::BreakIterator* iterator(BreakKind kind) {
        thread_local std::unique_ptr<icu::BreakIterator> character;
        thread_local std::unique_ptr<icu::BreakIterator> line;
        auto& slot = kind == BreakKind::Character ? character : line;
        if (!slot) {
            UErrorCode status = U_ZERO_ERROR;
            slot.reset(
                kind == BreakKind::Character
                    ? icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status)
                    : icu::BreakIterator::createLineInstance(icu::Locale::getRoot(), status));
            if (U_FAILURE(status)) {
                slot.reset();
            }
        }
        return slot.get();
    }

    UText* text_ = nullptr;
    icu::BreakIterator* it_ = nullptr;
};

char32_t firstCodePoint(std::string_view s) {
    int32_t i = 0;
    UChar32 c = 0;
    U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), i, static_cast<int32_t>(s.size()), c);
    return c < 0 ? char32_t{0xFFFD} : static_cast<char32_t>(c);
}

bool isLineBreakChar(char32_t c) {
    return c == '\n' || c == '\r' || c == 0x85 || c == 0x2028 || c == 0x2029 || c == 0x0B ||
           c == 0x0C;
}

std::string_view trimTrailing(std::string_view s) {
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\n' || s.back() == '\r' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

}  // namespace

bool isWideCodePoint(char32_t c) {
    const int w = u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_EAST_ASIAN_WIDTH);
    return w == U_EA_WIDE || w == U_EA_FULLWIDTH;
}

std::vector<std::string_view> graphemes(std::string_view utf8) {
    std::vector<std::string_view> out;
    Breaks breaks(utf8, BreakKind::Character);
    std::size_t start = 0;
    breaks.forEach(utf8.size(), [&](std::size_t end, bool) {
        out.push_back(utf8.substr(start, end - start));
        start = end;
        return true;
    });
    return out;
}

std::size_t graphemeCount(std::string_view utf8) {
    return graphemeCount(utf8, utf8.size());
}

std::size_t graphemeCount(std::string_view utf8, std::size_t limit) {
    std::size_t n = 0;
    if (limit == 0) {
        return 0;
    }
    Breaks breaks(utf8, BreakKind::Character);
    breaks.forEach(utf8.size(), [&](std::size_t, bool) { return ++n < limit; });
    return n;
}

std::vector<double> ITextMeasurer::pieceWidths(std::string_view utf8,
                                               const std::vector<std::size_t>& ends,
                                               const Font& font) const {
    std::vector<double> out;
    out.reserve(ends.size());
    std::size_t start = 0;
    for (std::size_t end : ends) {
        end = std::clamp(end, start, utf8.size());
        out.push_back(end > start ? lineWidth(utf8.substr(start, end - start), font) : 0.0);
        start = end;
    }
    return out;
}

double SyntheticTextMeasurer::lineWidth(std::string_view utf8, const Font& font) const {
    double width = 0;
    for (std::string_view g : graphemes(utf8)) {
        const char32_t c = firstCodePoint(g);
        if (isLineBreakChar(c)) {
            continue;
        }
        width += (isWideCodePoint(c) ? 1.0 : 0.5) * font.size;
    }
    return width;
}

const ITextMeasurer& textMeasurer() {
    // The shared pointer keeps the measurer alive for the call that asked for
    // it; a host swaps measurers only while no layout pass runs.
    thread_local std::shared_ptr<const ITextMeasurer> held;
    held = textMeasurerPtr();
    return *held;
}

std::shared_ptr<const ITextMeasurer> textMeasurerPtr() {
    MeasurerState& s = measurerState();
    MutexLock lock(s.mu);
    return s.measurer ? s.measurer : syntheticMeasurer();
}

namespace host {
void setTextMeasurer(std::shared_ptr<const ITextMeasurer> measurer) {
    MeasurerState& s = measurerState();
    MutexLock lock(s.mu);
    s.measurer = std::move(measurer);
}
}  // namespace host

std::string_view laidOutPart(std::string_view utf8) {
    // One byte past the bound tells a cut text from one that just fits.
    return utf8.substr(0, std::min(utf8.size(), kMaxLaidOutBytes + 1));
}

namespace {

double sane(double w) {
    return std::isfinite(w) && w > 0 ? w : 0;
}

// The ends of the characters of a text, in bytes.
std::vector<std::size_t> characterEnds(std::string_view text) {
    std::vector<std::size_t> ends;
    std::size_t at = 0;
    for (std::string_view g : graphemes(text)) {
        at += g.size();
        ends.push_back(at);
    }
    return ends;
}

}  // namespace

MeasuredText::MeasuredText(std::string_view utf8, const Font& font, const ITextMeasurer& measurer)
    : font_(font) {
    lineHeight_ = measurer.lineHeight(font);
    // Past the bound the text is cut at a code point's start.
    cut_ = utf8.size() > kMaxLaidOutBytes;
    std::string_view text = utf8;
    if (cut_) {
        std::size_t n = kMaxLaidOutBytes;
        while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) {
            --n;
        }
        text = utf8.substr(0, n);
    }
    text_.assign(text);
    if (text_.empty()) {
        return;
    }
    std::size_t start = 0;
    Breaks breaks(text_, BreakKind::Line);
    breaks.forEach(text_.size(), [&](std::size_t end, bool hard) {
        const std::size_t contentEnd =
            start + trimTrailing(std::string_view(text_).substr(start, end - start)).size();
        segments_.push_back(TextSegment{start, contentEnd, end, hard, 0, 0});
        start = end;
        return true;
    });
    // The whole text in one measuring: every word with the white space after
    // it, each in its context. A word too long for any line is measured
    // character by character at once, as it will be broken.
    constexpr std::size_t kLongWord = 256;
    std::vector<std::size_t> ends;
    ends.reserve(segments_.size() * 2);
    std::vector<std::size_t> firstPiece;
    firstPiece.reserve(segments_.size());
    for (const TextSegment& s : segments_) {
        firstPiece.push_back(ends.size());
        if (s.contentEnd - s.start > kLongWord) {
            for (std::size_t e :
                 characterEnds(std::string_view(text_).substr(s.start, s.contentEnd - s.start))) {
                ends.push_back(s.start + e);
            }
        } else {
            ends.push_back(s.contentEnd);
        }
        ends.push_back(s.end);
    }
    const std::vector<double> w = measurer.pieceWidths(text_, ends, font_);
    auto width = [&](std::size_t piece) { return piece < w.size() ? sane(w[piece]) : 0.0; };
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        TextSegment& seg = segments_[i];
        const std::size_t trailing =
            (i + 1 < segments_.size() ? firstPiece[i + 1] : ends.size()) - 1;
        if (trailing - firstPiece[i] > 1) {
            std::vector<std::pair<std::size_t, double>> chars;
            chars.reserve(trailing - firstPiece[i]);
            for (std::size_t p = firstPiece[i]; p < trailing; ++p) {
                chars.emplace_back(ends[p], width(p));
                seg.width += width(p);
            }
            characters_.emplace(i, std::move(chars));
        } else {
            seg.width = width(firstPiece[i]);
        }
        seg.trailing = width(trailing);
    }
}

const std::vector<std::pair<std::size_t, double>>& MeasuredText::characters(
    std::size_t segment, const ITextMeasurer& measurer) const {
    auto it = characters_.find(segment);
    if (it != characters_.end()) {
        return it->second;
    }
    const TextSegment& seg = segments_.at(segment);
    const std::string_view word =
        std::string_view(text_).substr(seg.start, seg.contentEnd - seg.start);
    const std::vector<std::size_t> ends = characterEnds(word);
    const std::vector<double> w = measurer.pieceWidths(word, ends, font_);
    std::vector<std::pair<std::size_t, double>> out;
    out.reserve(ends.size());
    for (std::size_t i = 0; i < ends.size(); ++i) {
        out.emplace_back(seg.start + ends[i], i < w.size() ? sane(w[i]) : 0);
    }
    return characters_.emplace(segment, std::move(out)).first->second;
}

namespace {

class LineSetter {
  public:
    LineSetter(const MeasuredText& measured, double maxWidth, int maxLines,
               const ITextMeasurer& measurer)
        : measured_(measured),
          text_(measured.text()),
          maxWidth_(maxWidth),
          bounded_(maxWidth > 0 && std::isfinite(maxWidth)),
          maxLines_(maxLines > 0 ? std::min(maxLines, kMaxLaidOutLines) : kMaxLaidOutLines),
          measurer_(measurer) {}

    std::vector<TextLine> run() {
        const std::vector<TextSegment>& segments = measured_.segments();
        bool full = false;
        for (std::size_t i = 0; i < segments.size() && !full; ++i) {
            full = !add(i, segments[i]);
        }
        if (!full && inLine_ && !commit()) {
            full = true;
        }
        if ((full || measured_.cut()) && !lines_.empty()) {
            addEllipsis(lines_.back());
        }
        return std::move(lines_);
    }

  private:
    // False once the lines are used up with text left.
    bool add(std::size_t index, const TextSegment& seg) {
        if (bounded_ && inLine_ && contentEnd_ > lineStart_ && pending_ + seg.width > maxWidth_ &&
            !commit()) {
            return false;
        }
        if (!inLine_) {
            lineStart_ = seg.start;
            contentEnd_ = seg.start;
            inLine_ = true;
        }
        if (bounded_ && seg.width > maxWidth_) {
            if (!splitWord(index, seg)) {
                return false;
            }
        } else {
            width_ = pending_ + seg.width;
            pending_ += seg.width + seg.trailing;
            contentEnd_ = seg.contentEnd;
        }
        return !seg.hard || commit();
    }

    // Closes the current line; false (and nothing added) when no line is left.
    bool commit() {
        if (static_cast<int>(lines_.size()) >= maxLines_) {
            return false;
        }
        lines_.push_back(
            TextLine{std::string(text_.substr(lineStart_, contentEnd_ - lineStart_)), width_});
        inLine_ = false;
        pending_ = width_ = 0;
        return true;
    }

    // A word wider than a line goes in pieces, broken between characters; the
    // last piece stays open for what follows.
    bool splitWord(std::size_t index, const TextSegment& seg) {
        std::size_t pos = seg.start;
        for (const auto& [end, w] : measured_.characters(index, measurer_)) {
            if (contentEnd_ > lineStart_ && pending_ + w > maxWidth_) {
                if (!commit()) {
                    return false;
                }
                inLine_ = true;
                lineStart_ = contentEnd_ = pos;
            }
            pending_ += w;
            width_ = pending_;
            pos = end;
            contentEnd_ = pos;
        }
        pending_ += seg.trailing;
        return true;
    }

    // The last line shows that text was left out: an ellipsis, dropping
    // characters from its end until it fits. Only the end is measured again,
    // unless its characters are too narrow to make room.
    void addEllipsis(TextLine& last) const {
        static constexpr std::string_view kEllipsis = "\u2026";
        const double ellipsis = sane(measurer_.lineWidth(kEllipsis, measured_.font()));
        std::string_view line = trimTrailing(last.text);
        double width = last.width;
        if (bounded_ && width + ellipsis > maxWidth_) {
            constexpr std::size_t kTail = 256;
            for (const bool whole : {false, true}) {
                std::size_t from = whole ? 0 : line.size() - std::min(line.size(), kTail);
                while (from < line.size() &&
                       (static_cast<unsigned char>(line[from]) & 0xC0) == 0x80) {
                    ++from;
                }
                const std::vector<std::size_t> ends = characterEnds(line.substr(from));
                const std::vector<double> w =
                    measurer_.pieceWidths(line.substr(from), ends, measured_.font());
                double drop = 0;
                std::size_t keep = ends.size();
                while (keep > 0 && width - drop + ellipsis > maxWidth_) {
                    --keep;
                    drop += keep < w.size() ? sane(w[keep]) : 0;
                }
                if (width - drop + ellipsis <= maxWidth_ || whole || from == 0) {
                    line = trimTrailing(line.substr(0, from + (keep == 0 ? 0 : ends[keep - 1])));
                    width = std::max(0.0, width - drop);
                    break;
                }
            }
        }
        last.text = std::string(line) + std::string(kEllipsis);
        last.width = width + ellipsis;
    }

    const MeasuredText& measured_;
    std::string_view text_;
    double maxWidth_;
    bool bounded_;
    int maxLines_;
    const ITextMeasurer& measurer_;
    std::vector<TextLine> lines_;
    bool inLine_ = false;
    std::size_t lineStart_ = 0;
    std::size_t contentEnd_ = 0;
    double width_ = 0;    // the line up to its last word
    double pending_ = 0;  // the same with the white space after it
};

}  // namespace

TextBlock layoutText(const MeasuredText& measured, double maxWidth, int maxLines,
                     const ITextMeasurer& measurer) {
    TextBlock block;
    block.lineHeight = measured.lineHeight();
    if (measured.text().empty()) {
        return block;
    }
    std::vector<TextLine> lines = LineSetter(measured, maxWidth, maxLines, measurer).run();
    double widest = 0;
    for (const TextLine& l : lines) {
        widest = std::max(widest, l.width);
    }
    block.size = Size{widest, block.lineHeight * static_cast<double>(lines.size())};
    block.lines = std::move(lines);
    return block;
}

TextBlock layoutText(std::string_view utf8, const Font& font, double maxWidth, int maxLines,
                     const ITextMeasurer& measurer) {
    return layoutText(MeasuredText(utf8, font, measurer), maxWidth, maxLines, measurer);
}

}  // namespace sorvel::platform
