#include "Base/InlineText.h"

#include <ostream>
#include <utility>

namespace sorvel {

InlineText::InlineText(std::string&& text) {
    if (text.size() <= kInline) {
        assign(text);
    } else {
        long_ = std::move(text);
        size_ = kLong;
    }
}

void InlineText::assign(std::string_view text) {
    if (text.size() <= kInline) {
        // memmove: the text may be a part of this one.
        std::memmove(inline_, text.data(), text.size());
        size_ = static_cast<std::uint8_t>(text.size());
        long_.clear();
    } else {
        long_.assign(text);
        size_ = kLong;
    }
}

void InlineText::take(InlineText& other) noexcept {
    if (other.isLong()) {
        long_ = std::move(other.long_);
    } else {
        std::memcpy(inline_, other.inline_, other.size_);
        long_.clear();
    }
    size_ = other.size_;
    other.size_ = 0;
    other.long_.clear();
}

std::ostream& operator<<(std::ostream& out, const InlineText& text) {
    return out << text.view();
}

}  // namespace sorvel
