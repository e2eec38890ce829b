#include <algorithm>

#include "Common/Extensions.h"
#include "View/InAppMessage/Layouts.h"

namespace sorvel {

using platform::Color;
using platform::Rect;
using platform::Size;

namespace {
constexpr double kInset = 15;
constexpr double kCloseSide = 30;
}  // namespace

void ModalLayoutBase::buildCard() {
    const InAppMessage& m = *inAppMessage();
    defaultCloseButton_ = IAMDefaultCloseButton::make(m.defaultCloseButtonColor,
                                                      m.defaultCloseButtonBgColor, closeAction());
    background_ = platform::View::make();
    background_->backgroundColor = ext::initHex(m.bgColor, Color::white());
    container_ = ModalContainer::make(defaultCloseButton_);
    container_->addSubview(background_);
    container_->backgroundColor = Color::white();

    setFrame(platform::mainScreenBounds());
    backgroundColor = ext::initHex(m.overlayColor, Color::gray().withAlpha(0.7));
    addSubview(container_);
}

void ModalLayoutBase::addCloseButtonAndStack() {
    const InAppMessage& m = *inAppMessage();
    buttonStack_ =
        IAMButtonStack::make(m.buttonArray, m.campaignId, closeAction(), clickLogAction());
    container_->addSubview(defaultCloseButton_);
    container_->addSubview(buttonStack_);
}

double ModalLayoutBase::placeCard(Size card) {
    const Rect b = bounds();
    container_->setFrame(
        Rect(b.midX() - card.width / 2, b.midY() - card.height / 2, card.width, card.height));
    background_->setFrame(Rect(0, 0, card.width, card.height));
    // Centred on the card's top-right corner: trailing and top 15 beyond it.
    defaultCloseButton_->setFrame(
        Rect(card.width + kInset - kCloseSide, -kInset, kCloseSide, kCloseSide));
    const double rowH = buttonStack_->intrinsicContentSize().height;
    const double rowTop = card.height - kInset - rowH;
    buttonStack_->setFrame(Rect(kInset, rowTop, card.width - 2 * kInset, rowH));
    return rowTop;
}

void ModalImage::build() {
    buildCard();
    loader_ = std::make_unique<ImageLoader>(*this, inAppMessage()->imageClickAction,
                                            RetryArrangement::ICON_ABOVE_MIDDLE);
    loader_->addImageView(*container_, background_.get());
    if (!loader_->hasImage()) {
        loader_->loadImage();
    }
    addCloseButtonAndStack();
}

void ModalImage::layoutSubviews() {
    const Rect b = bounds();
    // The image's own size settles the free side within its bounds; without
    // an image the card takes the smallest.
    const Size own = loader_->imageView()->intrinsicContentSize();
    Size card;
    if (isPortrait()) {
        card.width = 0.85 * b.width();
        card.height = std::clamp(own.height, 0.5 * b.height(), 0.8 * b.height());
    } else {
        card.height = 0.85 * b.height();
        card.width = std::clamp(own.width, 0.5 * b.width(), 0.8 * b.width());
    }
    placeCard(card);
    loader_->place(Rect(0, 0, card.width, card.height));
}

}  // namespace sorvel
