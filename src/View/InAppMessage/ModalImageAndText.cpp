#include <algorithm>

#include "View/InAppMessage/Layouts.h"

namespace sorvel {

using platform::Rect;
using platform::Size;

namespace {
constexpr double kInset = 15;
}  // namespace

void ModalImageAndText::build() {
    const InAppMessage& m = *inAppMessage();
    buildCard();
    titleLabel_ = makeTitleLabel(m.titleTextColor, m.titleText, m.textAlign);
    bodyLabel_ = makeBodyLabel(m.bodyTextColor, m.bodyText, m.textAlign);
    scrollContentView_ = platform::View::make();
    textScrollView_ = platform::ScrollView::make();
    container_->addSubview(textScrollView_);
    textScrollView_->addSubview(scrollContentView_);
    loader_ = std::make_unique<ImageLoader>(*this, m.imageClickAction, RetryArrangement::ROW);
    loader_->addImageView(*scrollContentView_, nullptr);
    if (!loader_->hasImage()) {
        loader_->loadImage();
    }
    scrollContentView_->addSubview(titleLabel_);
    scrollContentView_->addSubview(bodyLabel_);
    addCloseButtonAndStack();
}

void ModalImageAndText::layoutSubviews() {
    const Rect b = bounds();
    const bool hasButtons = !inAppMessage()->buttonArray.empty();
    const double rowH = buttonStack_->intrinsicContentSize().height;
    auto contentHeight = [&](double width) {
        const double inner = width - 2 * kInset;
        return width * 10.0 / 29.0 + kInset + titleLabel_->sizeThatFits(Size{inner, 0}).height + 5 +
               bodyLabel_->sizeThatFits(Size{inner, 0}).height;
    };
    Size card;
    if (isPortrait()) {
        card.width = 0.85 * b.width();
        // Nothing fixes the height but its bounds: it follows the content.
        const double below = hasButtons ? kInset + rowH + kInset : kInset;
        card.height =
            std::clamp(contentHeight(card.width) + below, 0.5 * b.height(), 0.8 * b.height());
    } else {
        card.width = card.height = 0.85 * b.height();
    }
    const double rowTop = placeCard(card);
    const double bottom = hasButtons ? rowTop - kInset : card.height - kInset;
    textScrollView_->setFrame(Rect(0, 0, card.width, std::max(0.0, bottom)));

    const double w = card.width;
    const double strip = w * 10.0 / 29.0;
    loader_->place(Rect(0, 0, w, strip));
    const double inner = w - 2 * kInset;
    const double titleH = titleLabel_->sizeThatFits(Size{inner, 0}).height;
    titleLabel_->setFrame(Rect(kInset, strip + kInset, inner, titleH));
    const double bodyH = bodyLabel_->sizeThatFits(Size{inner, 0}).height;
    bodyLabel_->setFrame(Rect(kInset, titleLabel_->frame().maxY() + 5, inner, bodyH));
    const double contentH = bodyLabel_->frame().maxY();
    scrollContentView_->setFrame(Rect(0, 0, w, contentH));
    textScrollView_->contentSize = Size{w, contentH};
    textScrollView_->setContentOffset(textScrollView_->contentOffset());
}

}  // namespace sorvel
