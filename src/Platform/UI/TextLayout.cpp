#include "Platform/UI/TextLayout.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <cmath>

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
    // is unavailable.
    template <typename F>
    void forEach(std::size_t size, F&& f) {
        if (it_ == nullptr) {
            for (std::size_t i = 1; i <= size; ++i) {
                f(i, false);
            }
            return;
        }
        it_->first();
        for (int32_t b = it_->next(); b != icu::BreakIterator::DONE; b = it_->next()) {
            f(static_cast<std::size_t>(b), it_->getRuleStatus() >= UBRK_LINE_HARD &&
                                               it_->getRuleStatus() < UBRK_LINE_HARD_LIMIT);
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
    });
    return out;
}

std::size_t graphemeCount(std::string_view utf8) {
    std::size_t n = 0;
    Breaks breaks(utf8, BreakKind::Character);
    breaks.forEach(utf8.size(), [&](std::size_t, bool) { ++n; });
    return n;
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

TextBlock layoutText(std::string_view utf8, const Font& font, double maxWidth, int maxLines,
                     const ITextMeasurer& measurer) {
    TextBlock block;
    block.lineHeight = measurer.lineHeight(font);
    if (utf8.empty()) {
        return block;
    }
    const bool bounded = maxWidth > 0 && std::isfinite(maxWidth);
    std::vector<TextLine> lines;
    std::size_t lineStart = 0;
    std::size_t lineEnd = 0;  // end of the committed words of the current line
    bool truncated = false;

    auto commit = [&](std::size_t start, std::size_t end) {
        std::string_view text = trimTrailing(utf8.substr(start, end - start));
        lines.push_back(TextLine{std::string(text), measurer.lineWidth(text, font)});
    };
    auto full = [&] { return maxLines > 0 && static_cast<int>(lines.size()) >= maxLines; };

    // Splits a word wider than the line at grapheme boundaries.
    auto splitWord = [&](std::size_t start, std::size_t end) {
        std::size_t piece = start;
        std::size_t pos = start;
        for (std::string_view g : graphemes(utf8.substr(start, end - start))) {
            const std::size_t next = pos + g.size();
            if (pos > piece && measurer.lineWidth(trimTrailing(utf8.substr(piece, next - piece)),
                                                  font) > maxWidth) {
                if (full()) {
                    truncated = true;
                    return;
                }
                commit(piece, pos);
                piece = pos;
            }
            pos = next;
        }
        lineStart = piece;
        lineEnd = end;
    };

    Breaks breaks(utf8, BreakKind::Line);
    std::size_t wordStart = 0;
    breaks.forEach(utf8.size(), [&](std::size_t end, bool hard) {
        if (truncated) {
            return;
        }
        if (full()) {
            truncated = true;
            return;
        }
        const bool fits =
            !bounded || measurer.lineWidth(trimTrailing(utf8.substr(lineStart, end - lineStart)),
                                           font) <= maxWidth;
        if (!fits) {
            if (lineEnd > lineStart) {
                commit(lineStart, lineEnd);
                lineStart = wordStart;
                if (full()) {
                    truncated = true;
                    return;
                }
            }
            if (measurer.lineWidth(trimTrailing(utf8.substr(lineStart, end - lineStart)), font) >
                maxWidth) {
                splitWord(lineStart, end);
                if (truncated) {
                    return;
                }
            }
        }
        lineEnd = end;
        wordStart = end;
        if (hard) {
            commit(lineStart, end);
            lineStart = lineEnd = end;
        }
    });
    if (!truncated && lineEnd > lineStart) {
        if (full()) {
            truncated = true;
        } else {
            commit(lineStart, lineEnd);
        }
    }
    if (truncated && !lines.empty()) {
        // The last line shows that text was cut: an ellipsis, dropping
        // characters until it fits.
        TextLine& last = lines.back();
        std::vector<std::string_view> gs = graphemes(last.text);
        std::string text;
        while (true) {
            text.clear();
            for (std::string_view g : gs) {
                text += g;
            }
            text = std::string(trimTrailing(text)) + "\u2026";
            const double w = measurer.lineWidth(text, font);
            if (!bounded || w <= maxWidth || gs.empty()) {
                last.text = text;
                last.width = w;
                break;
            }
            gs.pop_back();
        }
    }
    double widest = 0;
    for (const TextLine& l : lines) {
        widest = std::max(widest, l.width);
    }
    block.size = Size{widest, block.lineHeight * static_cast<double>(lines.size())};
    block.lines = std::move(lines);
    return block;
}

}  // namespace sorvel::platform
