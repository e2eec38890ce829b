#include <cmath>

#include "Common/Extensions.h"
#include "View/InAppMessage/Layouts.h"

namespace sorvel {

using platform::Color;
using platform::GestureRecognizer;
using platform::GestureState;
using platform::Point;
using platform::Rect;
using platform::Size;

namespace {
constexpr double kInset = 15;
constexpr double kBoxInset = 8;
constexpr double kBoxWidth = 52;
}  // namespace

ClickAction StickyBanner::bannerAction() const {
    const std::optional<StickyBannerOption>& option = inAppMessage()->stickyBannerOption;
    return option ? option->clickAction : ClickAction{};
}

void StickyBanner::build() {
    const InAppMessage& m = *inAppMessage();
    std::weak_ptr<View> weak = weak_from_this();
    addGestureRecognizer(
        std::make_shared<platform::PanGestureRecognizer>([weak](GestureRecognizer& r) {
            if (auto self = std::static_pointer_cast<StickyBanner>(weak.lock())) {
                self->touched(r);
            }
        }));
    userInteractionEnabled = true;
    addGestureRecognizer(
        std::make_shared<platform::TapGestureRecognizer>([weak](GestureRecognizer&) {
            if (auto self = std::static_pointer_cast<StickyBanner>(weak.lock())) {
                self->clicked();
            }
        }));

    background_ = platform::View::make();
    background_->backgroundColor = ext::initHex(m.bgColor, Color::white());
    container_ = platform::View::make();
    container_->addSubview(background_);
    container_->backgroundColor = Color::white();
    addSubview(container_);

    // The frame is fixed here, in the screen's coordinates.
    const Rect screen = platform::mainScreenBounds();
    const bool bottom = m.stickyBannerOption && m.stickyBannerOption->align &&
                        *m.stickyBannerOption->align == BOTTOM;
    std::shared_ptr<platform::Window> key = platform::Application::shared().keyWindow();
    pinnedToSafeArea_ = key != nullptr;
    const double top = key ? key->insets.top : 0;
    const double bottomInset = key ? key->insets.bottom : 0;
    setFrame(
        Rect(0, bottom ? screen.height() - bottomInset - kHeight : top, screen.width(), kHeight));

    loader_ = std::make_unique<ImageLoader>(*this, bannerAction(), RetryArrangement::ICON_ONLY);
    loader_->addImageView(*container_, background_.get());
    if (!loader_->hasImage()) {
        loader_->loadImage();
    }
    bodyLabel_ = makeBodyLabel(m.bodyTextColor, m.bodyText, m.textAlign);
    bodyLabel_->numberOfLines = 3;
    container_->addSubview(bodyLabel_);
}

void StickyBanner::layoutSubviews() {
    const Rect reference = pinnedToSafeArea_ ? safeAreaFrame() : bounds();
    const Rect card = reference.inset(kInset, kInset, kInset, kInset);
    container_->setFrame(card);
    background_->setFrame(Rect(0, 0, card.width(), card.height()));
    loader_->place(
        Rect(kBoxInset, kBoxInset, kBoxWidth, std::max(0.0, card.height() - 2 * kBoxInset)));
    const double x = kBoxInset + kBoxWidth + kBoxInset;
    const double w = std::max(0.0, card.width() - kBoxInset - x);
    const double h = bodyLabel_->sizeThatFits(Size{w, 0}).height;
    bodyLabel_->setFrame(Rect(x, kBoxInset, w, h));
}

void StickyBanner::clicked() {
    onClick(inAppMessage()->campaignId, bannerAction(), closeAction(), clickLogAction());
}

void StickyBanner::touched(GestureRecognizer& recognizer) {
    if (!recognizer.view()) {
        return;
    }
    switch (recognizer.state()) {
        case GestureState::BEGAN:
            beginningPosition_ = frame().origin;
            firstTouchPositionInWindow_ = recognizer.locationIn(nullptr);
            prevTouchedPosition_ = recognizer.locationIn(this);
            prevTouchTimeInMillis_ = platform::mediaTime() * 1000;
            break;
        case GestureState::CHANGED: {
            const Point l = recognizer.locationIn(this);
            Rect f = frame();
            f.origin.x = f.origin.x + l.x - prevTouchedPosition_.x;
            setFrame(f);
            break;
        }
        case GestureState::ENDED:
        case GestureState::CANCELLED: {
            const double d =
                std::fabs(firstTouchPositionInWindow_.x - recognizer.locationIn(nullptr).x);
            const double wb = frame().width();
            if (d > 0.7 * wb) {
                close();
                return;
            }
            // Whole microseconds: the difference of two large second counts
            // times 1000 carries float noise that would turn exactly 100 ms
            // into 99.99999.
            const double elapsed =
                std::round((platform::mediaTime() * 1000 - prevTouchTimeInMillis_) * 1000) / 1000;
            if (elapsed < 100 && d > 0.2 * wb) {
                close();
                return;
            }
            Rect f = frame();
            f.origin = beginningPosition_;
            setFrame(f);
            break;
        }
        default:
            break;
    }
}

}  // namespace sorvel
