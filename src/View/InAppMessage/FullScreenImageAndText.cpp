#include <algorithm>

#include "Common/Extensions.h"
#include "View/InAppMessage/Layouts.h"

namespace sorvel {

using platform::Color;
using platform::Rect;

namespace {
constexpr double kInset = 15;
constexpr double kCloseSide = 30;
}  // namespace

void FullScreenImageAndText::build() {
    const InAppMessage& m = *inAppMessage();
    loader_ = std::make_unique<ImageLoader>(*this, m.imageClickAction,
                                            RetryArrangement::ICON_ABOVE_MIDDLE);
    defaultCloseButton_ = IAMDefaultCloseButton::make(m.defaultCloseButtonColor,
                                                      m.defaultCloseButtonBgColor, closeAction());
    buttonStack_ =
        IAMButtonStack::make(m.buttonArray, m.campaignId, closeAction(), clickLogAction());
    titleLabel_ = makeTitleLabel(m.titleTextColor, m.titleText, m.textAlign);
    bodyLabel_ = makeBodyLabel(m.bodyTextColor, m.bodyText, m.textAlign);
    textScrollView_ = TextScrollView::make(titleLabel_, bodyLabel_, false);
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
    addSubview(textScrollView_);
}

void FullScreenImageAndText::layoutSubviews() {
    background_->setFrame(bounds());
    const Rect area = safeAreaFrame();
    const Rect imageArea(area.minX(), area.minY(), area.width(), area.height() * 0.5);
    loader_->place(imageArea);
    defaultCloseButton_->setFrame(
        Rect(area.maxX() - kInset - kCloseSide, area.minY() + kInset, kCloseSide, kCloseSide));
    const double rowH = buttonStack_->intrinsicContentSize().height;
    const Rect row(area.minX() + kInset, area.maxY() - kInset - rowH, area.width() - 2 * kInset,
                   rowH);
    buttonStack_->setFrame(row);

    const double x = area.minX() + kInset;
    const double w = area.width() - 2 * kInset;
    const double top = imageArea.maxY() + kInset;
    double h = 0;
    if (inAppMessage()->buttonArray.empty()) {
        h = area.maxY() - kInset - top;
    } else {
        // As tall as the text, up to 15 points above the button row.
        h = std::min(textScrollView_->contentHeightFor(w), row.minY() - kInset - top);
    }
    textScrollView_->setFrame(Rect(x, top, w, std::max(0.0, h)));
}

}  // namespace sorvel
