#include "Platform/UI/TextLayout.h"
#include "View/InAppMessage/Layouts.h"

namespace sorvel {

using platform::Rect;
using platform::Size;

namespace {
constexpr double kInset = 15;
}  // namespace

void ModalText::build() {
    const InAppMessage& m = *inAppMessage();
    buildCard();
    titleLabel_ = makeTitleLabel(m.titleTextColor, m.titleText, m.textAlign);
    bodyLabel_ = makeBodyLabel(m.bodyTextColor, m.bodyText, m.textAlign);
    textScrollView_ = TextScrollView::make(titleLabel_, bodyLabel_, true);
    // Counted only as far as the threshold: the rest cannot change the card.
    const std::size_t title = platform::graphemeCount(titleLabel_->text, kLongTextGraphemes);
    const std::size_t characters =
        title + platform::graphemeCount(bodyLabel_->text, kLongTextGraphemes - title);
    heightRatio_ = characters < kLongTextGraphemes ? 0.5 : 0.8;
    container_->addSubview(textScrollView_);
    addCloseButtonAndStack();
}

void ModalText::layoutSubviews() {
    const Rect b = bounds();
    Size card;
    if (isPortrait()) {
        card = Size{0.85 * b.width(), heightRatio_ * b.height()};
    } else {
        card = Size{0.85 * b.height(), 0.85 * b.height()};
    }
    const double rowTop = placeCard(card);
    const double bottom =
        inAppMessage()->buttonArray.empty() ? card.height - kInset : rowTop - kInset;
    textScrollView_->setFrame(
        Rect(kInset, kInset, card.width - 2 * kInset, std::max(0.0, bottom - kInset)));
}

}  // namespace sorvel
