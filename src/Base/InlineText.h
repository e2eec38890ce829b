#pragma once

#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <string>
#include <string_view>
#include <type_traits>

namespace sorvel {

// A text held inside its owner up to kInline bytes, on the heap past that.
// Every event carries a time (24 bytes) and one or two ids ("<epoch ms>:" and
// a UUID, 50 bytes); a std::string keeps only 15 bytes inline, so each of
// those cost an allocation per event. Longer texts (ids an app or an older
// version stored) are still held whole.
class InlineText {
  public:
    static constexpr std::size_t kInline = 55;

    InlineText() noexcept = default;
    InlineText(std::string_view text) { assign(text); }
    InlineText(const char* text) : InlineText(std::string_view(text)) {}
    InlineText(const std::string& text) : InlineText(std::string_view(text)) {}
    // A long text keeps its buffer.
    InlineText(std::string&& text);
    InlineText(const InlineText& other) { assign(other.view()); }
    InlineText(InlineText&& other) noexcept { take(other); }
    InlineText& operator=(const InlineText& other) {
        if (this != &other) {
            assign(other.view());
        }
        return *this;
    }
    InlineText& operator=(InlineText&& other) noexcept {
        if (this != &other) {
            take(other);
        }
        return *this;
    }
    ~InlineText() = default;

    // Replaces the text; a long one reuses the heap room it already has.
    void assign(std::string_view text);

    std::string_view view() const noexcept {
        return isLong() ? std::string_view(long_) : std::string_view(inline_, size_);
    }
    std::size_t size() const noexcept { return isLong() ? long_.size() : size_; }
    bool empty() const noexcept { return size() == 0; }
    std::string str() const { return std::string(view()); }
    // For the (colder) code that takes a std::string: a copy.
    operator std::string() const { return str(); }

    friend bool operator==(const InlineText& a, const InlineText& b) noexcept {
        return a.view() == b.view();
    }
    // Any plain text, taken as it is (no InlineText made of it).
    template <typename Text>
    requires std::is_convertible_v<const Text&, std::string_view>
    friend bool operator==(const InlineText& a, const Text& b) noexcept {
        return a.view() == std::string_view(b);
    }

  private:
    // size_ past kInline: the text is in long_.
    static constexpr std::uint8_t kLong = 0xFF;
    static_assert(kInline < kLong);
    bool isLong() const noexcept { return size_ == kLong; }
    void take(InlineText& other) noexcept;

    std::uint8_t size_ = 0;
    char inline_[kInline];
    std::string long_;
};

std::ostream& operator<<(std::ostream& out, const InlineText& text);

}  // namespace sorvel
