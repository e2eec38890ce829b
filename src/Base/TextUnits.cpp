#include "Base/TextUnits.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

namespace sorvel::text {
namespace {

// ASCII other than CR is one cluster a byte, and no ASCII byte after it
// extends it: the texts most callers pass need no segmenter.
bool plainAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c < 0x80 && c != '\r';
    });
}

// The cluster boundaries of one text, by ICU's character break iterator.
// The iterator is costly to build: each thread keeps one and points it at the
// text it segments. ICU reads ill-formed UTF-8 as U+FFFD per maximal subpart,
// as decodeAt does, and reports boundaries as byte offsets.
class Clusters {
  public:
    explicit Clusters(std::string_view s) {
        if (s.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
            return;  // beyond what the iterator indexes: the caller falls back
        }
        UErrorCode status = U_ZERO_ERROR;
        text_ = utext_openUTF8(nullptr, s.data(), static_cast<int64_t>(s.size()), &status);
        icu::BreakIterator* it = iterator();
        if (U_FAILURE(status) || it == nullptr) {
            return;
        }
        it->setText(text_, status);
        if (U_SUCCESS(status)) {
            it_ = it;
        }
    }
    ~Clusters() { utext_close(text_); }
    Clusters(const Clusters&) = delete;
    Clusters& operator=(const Clusters&) = delete;

    bool ok() const { return it_ != nullptr; }
    // The end of the next cluster, or none past the last.
    std::optional<std::size_t> next() {
        const int32_t b = it_->next();
        if (b == icu::BreakIterator::DONE) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(b);
    }

  private:
    static icu::BreakIterator* iterator() {
        thread_local std::unique_ptr<icu::BreakIterator> character;
        if (!character) {
            UErrorCode status = U_ZERO_ERROR;
            character.reset(
                icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
            if (U_FAILURE(status)) {
                character.reset();
            }
        }
        return character.get();
    }

    UText* text_ = nullptr;
    icu::BreakIterator* it_ = nullptr;
};

}  // namespace

Utf8Char decodeAt(std::string_view s, std::size_t pos) noexcept {
    // At most four bytes make a character: the window keeps ICU's 32-bit
    // indexes small whatever the text's length.
    const auto window = static_cast<int32_t>(std::min<std::size_t>(s.size() - pos, 4));
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data() + pos);
    int32_t i = 0;
    UChar32 c = 0;
    U8_NEXT(bytes, i, window, c);
    if (c < 0) {
        return {kReplacementCharacter, static_cast<std::size_t>(i), false};
    }
    return {static_cast<char32_t>(c), static_cast<std::size_t>(i), true};
}

char32_t decodeNext(std::string_view s, std::size_t& pos) noexcept {
    const Utf8Char c = decodeAt(s, pos);
    pos += c.length;
    return c.codePoint;
}

bool isValidUtf8(std::string_view s) noexcept {
    std::size_t pos = 0;
    while (pos < s.size()) {
        if (static_cast<unsigned char>(s[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const Utf8Char c = decodeAt(s, pos);
        if (!c.wellFormed) {
            return false;
        }
        pos += c.length;
    }
    return true;
}

std::size_t codePointCount(std::string_view s) noexcept {
    std::size_t n = 0;
    for (std::size_t pos = 0; pos < s.size(); ++n) {
        decodeNext(s, pos);
    }
    return n;
}

std::size_t codePointOffset(std::string_view s, std::size_t n) noexcept {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < n && pos < s.size(); ++i) {
        decodeNext(s, pos);
    }
    return pos;
}

std::size_t graphemeCount(std::string_view s) noexcept {
    if (plainAscii(s)) {
        return s.size();
    }
    Clusters clusters(s);
    if (!clusters.ok()) {
        return codePointCount(s);
    }
    std::size_t n = 0;
    while (clusters.next()) {
        ++n;
    }
    return n;
}

std::string_view graphemePrefix(std::string_view s, std::size_t n) noexcept {
    // A cluster takes at least one byte, so a text of at most n bytes is
    // whole; and plain ASCII up to the byte after the cut is cut at the byte
    // (only a non-ASCII mark after it could extend the last cluster). Most
    // attribute values take one of these two roads.
    if (s.size() <= n) {
        return s;
    }
    if (plainAscii(s.substr(0, n + 1))) {
        return s.substr(0, n);
    }
    Clusters clusters(s);
    if (!clusters.ok()) {
        return s.substr(0, codePointOffset(s, n));
    }
    std::size_t end = 0;
    for (std::size_t i = 0; i < n; ++i) {
        auto next = clusters.next();
        if (!next) {
            break;
        }
        end = *next;
    }
    return s.substr(0, end);
}

}  // namespace sorvel::text
