#include "View/InAppMessage/InAppScreen.h"

namespace sorvel {

namespace {

InAppColor toColor(const platform::Color& c) {
    return InAppColor{c.red, c.green, c.blue, c.alpha};
}

InAppNodeKind toKind(platform::ViewKind k) {
    switch (k) {
        case platform::ViewKind::LABEL:
            return InAppNodeKind::LABEL;
        case platform::ViewKind::BUTTON:
            return InAppNodeKind::BUTTON;
        case platform::ViewKind::IMAGE:
            return InAppNodeKind::IMAGE;
        case platform::ViewKind::SCROLL:
            return InAppNodeKind::SCROLL;
        case platform::ViewKind::STACK:
            return InAppNodeKind::STACK;
        case platform::ViewKind::ACTIVITY_INDICATOR:
            return InAppNodeKind::ACTIVITY_INDICATOR;
        default:
            return InAppNodeKind::VIEW;
    }
}

std::shared_ptr<const InAppBitmap> bitmapOf(const platform::ImagePtr& image) {
    if (!image) {
        return nullptr;
    }
    // The platform's image is already width x 4 x height straight RGBA.
    auto b = std::make_shared<InAppBitmap>();
    b->width = image->width;
    b->height = image->height;
    b->rgba = image->rgba;
    return b;
}

void fill(const platform::View& v, InAppViewNode& n, platform::Point parentBoundsOrigin) {
    n.kind = toKind(v.kind());
    n.frame =
        InAppRect{v.frame().minX() - parentBoundsOrigin.x, v.frame().minY() - parentBoundsOrigin.y,
                  v.frame().width(), v.frame().height()};
    n.backgroundColor = toColor(v.backgroundColor);
    n.cornerRadius = v.cornerRadius;
    n.borderColor = toColor(v.borderColor);
    n.borderWidth = v.borderWidth;
    n.clipsToBounds = v.clipsToBounds;
    n.alpha = v.hidden ? 0 : v.alpha;
    n.contentMode = static_cast<InAppContentMode>(v.contentMode);
    switch (v.kind()) {
        case platform::ViewKind::LABEL: {
            const auto& l = static_cast<const platform::Label&>(v);
            const platform::TextBlock block = l.textLayout();
            for (const auto& line : block.lines) {
                n.lines.push_back(line.text);
            }
            n.fontSize = l.font.size;
            n.bold = l.font.bold;
            n.lineHeight = block.lineHeight;
            n.textColor = toColor(l.textColor);
            n.textAlignment = static_cast<InAppTextAlignment>(l.textAlignment);
            break;
        }
        case platform::ViewKind::IMAGE:
            n.image = bitmapOf(static_cast<const platform::ImageView&>(v).image);
            break;
        case platform::ViewKind::ACTIVITY_INDICATOR: {
            const auto& a = static_cast<const platform::ActivityIndicatorView&>(v);
            n.animating = a.isAnimating();
            n.animationPhase = n.animating ? platform::ActivityIndicatorView::animationPhase() : 0;
            n.textColor = toColor(a.color);
            break;
        }
        default:
            break;
    }
    const platform::Rect b = v.bounds();
    for (const auto& child : v.subviews()) {
        InAppViewNode c;
        fill(*child, c, b.origin);
        n.children.push_back(std::move(c));
    }
}

}  // namespace

InAppViewNode snapshotOf(const platform::View& view) {
    InAppViewNode n;
    fill(view, n, platform::Point{});
    const platform::Point o = view.convertTo(view.bounds().origin, nullptr);
    n.frame.x = o.x;
    n.frame.y = o.y;
    return n;
}

WindowMessageScreen::WindowMessageScreen(const std::shared_ptr<IAMView>& view,
                                         const std::shared_ptr<platform::Window>& window)
    : view_(view), window_(window) {}

double WindowMessageScreen::width() const {
    return platform::mainScreenBounds().width();
}

double WindowMessageScreen::height() const {
    return platform::mainScreenBounds().height();
}

InAppViewNode WindowMessageScreen::snapshot() const {
    std::shared_ptr<IAMView> view = view_.lock();
    std::shared_ptr<platform::Window> window = window_.lock();
    if (!view || !window || view->isClosed()) {
        return InAppViewNode{};
    }
    window->layoutIfNeeded();
    InAppViewNode n = snapshotOf(*view);
    n.campaignId = view->inAppMessage()->campaignId;
    return n;
}

bool WindowMessageScreen::isShowing() const {
    std::shared_ptr<IAMView> view = view_.lock();
    return view && !view->isClosed() && view->window() != nullptr;
}

bool WindowMessageScreen::tap(double x, double y) {
    std::shared_ptr<platform::Window> window = window_.lock();
    return isShowing() && window && window->tap(platform::Point{x, y});
}

void WindowMessageScreen::beginDrag(double x, double y) {
    std::shared_ptr<platform::Window> window = window_.lock();
    if (isShowing() && window) {
        drag_ = window->beginDrag(platform::Point{x, y});
    }
}

void WindowMessageScreen::moveDrag(double x, double y) {
    if (drag_) {
        drag_->moveTo(platform::Point{x, y});
    }
}

void WindowMessageScreen::endDrag(double x, double y, bool cancelled) {
    if (!drag_) {
        return;
    }
    platform::Drag drag = std::move(*drag_);
    drag_.reset();
    if (cancelled) {
        drag.cancel(platform::Point{x, y});
    } else {
        drag.end(platform::Point{x, y});
    }
}

bool WindowMessageScreen::scroll(double x, double y, double deltaX, double deltaY) {
    std::shared_ptr<platform::Window> window = window_.lock();
    return isShowing() && window && window->scroll(platform::Point{x, y}, deltaX, deltaY);
}

}  // namespace sorvel
