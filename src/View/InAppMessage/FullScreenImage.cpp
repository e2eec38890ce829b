#include "Common/Extensions.h"
#include "View/InAppMessage/Layouts.h"

namespace sorvel {

using platform::Color;
using platform::Rect;

namespace {
constexpr double kInset = 15;
constexpr double kCloseSide = 30;
}  // namespace

void FullScreenImage::build() {
    const InAppMessage& m = *inAppMessage();
    loader_ = std::make_unique<ImageLoader>(*this, m.imageClickAction,
                                            RetryArrangement::LABEL_BELOW_MIDDLE);
    defaultCloseButton_ = IAMDefaultCloseButton::make(m.defaultCloseButtonColor,
                                                      m.defaultCloseButtonBgColor, closeAction());
    buttonStack_ =
        IAMButtonStack::make(m.buttonArray, m.campaignId, closeAction(), clickLogAction());
    background_ = platform::View::make();
    background_->backgroundColor = ext::initHex(m.bgColor, Color::white());

    setFrame(platform::mainScreenBounds());
    backgroundColor = Color::white();
    addSubview(background_);
    loader_->addImageView(*this, background_.get());
    if (!loader_->hasImage()) {
        loader_->loadImage();
    }
    addSubview(defaultCloseButton_);
    addSubview(buttonStack_);
}

void FullScreenImage::layoutSubviews() {
    background_->setFrame(bounds());
    const Rect area = safeAreaFrame();
    loader_->place(area);
    defaultCloseButton_->setFrame(
        Rect(area.maxX() - kInset - kCloseSide, area.minY() + kInset, kCloseSide, kCloseSide));
    const double rowH = buttonStack_->intrinsicContentSize().height;
    buttonStack_->setFrame(
        Rect(area.minX() + kInset, area.maxY() - kInset - rowH, area.width() - 2 * kInset, rowH));
}

}  // namespace sorvel
