#include "Platform/UI/View.h"

#include <algorithm>
#include <cmath>

#include "Platform/Clock.h"
#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/NotificationCenter.h"
#include "Platform/ProcessState.h"

namespace sorvel::platform {

// ---- View ------------------------------------------------------------------

View::~View() = default;

Window* View::window() const {
    const View* v = this;
    while (v != nullptr) {
        if (v->kind() == ViewKind::WINDOW) {
            return static_cast<Window*>(const_cast<View*>(v));
        }
        std::shared_ptr<View> up = v->superview_.lock();
        v = up.get();
    }
    return nullptr;
}

namespace {
// The view's origin in its window's (or topmost ancestor's) coordinates.
Point originInRoot(const View* v) {
    Point p{0, 0};
    while (v != nullptr && v->kind() != ViewKind::WINDOW) {
        std::shared_ptr<View> up = v->superview();
        p.x += v->frame().minX();
        p.y += v->frame().minY();
        if (up) {
            const Rect b = up->bounds();
            p.x -= b.minX();
            p.y -= b.minY();
        }
        v = up.get();
    }
    return p;
}
}  // namespace

Point View::convertTo(Point p, const View* other) const {
    const Point mine = originInRoot(this);
    const Point root{p.x - bounds().minX() + mine.x, p.y - bounds().minY() + mine.y};
    if (other == nullptr) {
        return root;
    }
    const Point theirs = originInRoot(other);
    return Point{root.x - theirs.x + other->bounds().minX(),
                 root.y - theirs.y + other->bounds().minY()};
}

Point View::convertFrom(Point p, const View* other) const {
    const Point root = other == nullptr ? p : other->convertTo(p, nullptr);
    const Point mine = originInRoot(this);
    return Point{root.x - mine.x + bounds().minX(), root.y - mine.y + bounds().minY()};
}

EdgeInsets View::safeAreaInsets() const {
    const Window* w = window();
    if (w == nullptr) {
        return EdgeInsets{};
    }
    const EdgeInsets& in = w->insets;
    if (w == this) {
        return in;
    }
    const Point o = convertTo(Point{bounds().minX(), bounds().minY()}, nullptr);
    const Rect r(o.x, o.y, frame().width(), frame().height());
    const Rect wb = w->bounds();
    auto clamp = [](double v, double hi) { return std::clamp(v, 0.0, std::max(0.0, hi)); };
    return EdgeInsets{clamp(in.top - r.minY(), r.height()), clamp(in.left - r.minX(), r.width()),
                      clamp(r.maxY() - (wb.height() - in.bottom), r.height()),
                      clamp(r.maxX() - (wb.width() - in.right), r.width())};
}

Rect View::safeAreaFrame() const {
    const EdgeInsets in = safeAreaInsets();
    return bounds().inset(in.top, in.left, in.bottom, in.right);
}

void View::addSubview(const std::shared_ptr<View>& view) {
    insertSubviewAbove(view, nullptr);
}

void View::insertSubviewAbove(const std::shared_ptr<View>& view, const View* sibling) {
    if (!view || view.get() == this || isDescendantOf(view.get())) {
        return;
    }
    // Keep the view alive while it moves between parents.
    std::shared_ptr<View> keep = view;
    keep->removeFromSuperview();
    auto it = std::find_if(subviews_.begin(), subviews_.end(),
                           [&](const std::shared_ptr<View>& v) { return v.get() == sibling; });
    if (it == subviews_.end()) {
        subviews_.push_back(keep);
    } else {
        subviews_.insert(it + 1, keep);
    }
    keep->superview_ = weak_from_this();
    setNeedsDisplay();
}

void View::bringSubviewToFront(const View* view) {
    auto it = std::find_if(subviews_.begin(), subviews_.end(),
                           [&](const std::shared_ptr<View>& v) { return v.get() == view; });
    if (it == subviews_.end()) {
        return;
    }
    std::shared_ptr<View> keep = *it;
    subviews_.erase(it);
    subviews_.push_back(std::move(keep));
}

void View::removeFromSuperview() {
    std::shared_ptr<View> up = superview_.lock();
    superview_.reset();
    if (!up) {
        return;
    }
    auto it = std::find_if(up->subviews_.begin(), up->subviews_.end(),
                           [&](const std::shared_ptr<View>& v) { return v.get() == this; });
    if (it != up->subviews_.end()) {
        // The last reference may be the parent's: erase it only after the
        // iterator is no longer needed.
        std::shared_ptr<View> keep = std::move(*it);
        up->subviews_.erase(it);
    }
    up->setNeedsDisplay();
}

void View::setNeedsDisplay() {
    if (std::shared_ptr<View> up = superview_.lock()) {
        up->setNeedsDisplay();
    }
}

bool View::isDescendantOf(const View* ancestor) const {
    for (const View* v = this; v != nullptr;) {
        if (v == ancestor) {
            return true;
        }
        std::shared_ptr<View> up = v->superview_.lock();
        v = up.get();
    }
    return false;
}

Size View::intrinsicContentSize() const {
    return Size{widthConstraint.value_or(kNoIntrinsicMetric),
                heightConstraint.value_or(kNoIntrinsicMetric)};
}

Size View::sizeThatFits(Size) const {
    const Size s = intrinsicContentSize();
    return Size{std::max(0.0, s.width), std::max(0.0, s.height)};
}

void View::layoutIfNeeded() {
    layoutSubviews();
    // A layout pass may add or remove views; walk a copy.
    const std::vector<std::shared_ptr<View>> subs = subviews_;
    for (const auto& v : subs) {
        v->layoutIfNeeded();
    }
}

bool View::pointInside(Point p) const {
    return bounds().contains(p);
}

std::shared_ptr<View> View::hitTest(Point p) {
    if (hidden || !userInteractionEnabled || alpha < 0.01 || !pointInside(p)) {
        return nullptr;
    }
    const std::vector<std::shared_ptr<View>> subs = subviews_;
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
        const View& v = **it;
        const Point local{p.x - bounds().minX() - v.frame().minX() + v.bounds().minX(),
                          p.y - bounds().minY() - v.frame().minY() + v.bounds().minY()};
        if (std::shared_ptr<View> hit = (*it)->hitTest(local)) {
            return hit;
        }
    }
    return shared_from_this();
}

void View::addGestureRecognizer(std::shared_ptr<GestureRecognizer> recognizer) {
    if (!recognizer) {
        return;
    }
    recognizer->view_ = weak_from_this();
    recognizers_.push_back(std::move(recognizer));
}

// ---- Gesture recognisers -------------------------------------------------

Point GestureRecognizer::locationIn(const View* view) const {
    if (view == nullptr) {
        return windowPoint_;
    }
    return view->convertFrom(windowPoint_, nullptr);
}

void GestureRecognizer::deliver(GestureState state, Point windowPoint) {
    state_ = state;
    windowPoint_ = windowPoint;
    if (action_) {
        // The recogniser's owner may drop it from inside the action.
        Action action = action_;
        action(*this);
    }
    if (state == GestureState::ENDED || state == GestureState::CANCELLED) {
        state_ = GestureState::POSSIBLE;
    }
}

// ---- Label -----------------------------------------------------------------

std::shared_ptr<const MeasuredText> Label::measured() const {
    std::shared_ptr<const ITextMeasurer> measurer = textMeasurerPtr();
    // Only the part the layout reads is compared: a text of megabytes costs
    // no more than its laid-out part.
    const std::string_view part = laidOutPart(text);
    const bool same = measured_ && measuredWith_ == measurer && measured_->font() == font &&
                      part == measuredPart_;
    if (!same) {
        measured_ = std::make_shared<const MeasuredText>(text, font, *measurer);
        measuredPart_.assign(part);
        measuredWith_ = std::move(measurer);
        cache_.clear();
        nextSlot_ = 0;
    }
    return measured_;
}

const TextBlock& Label::cachedLayout(double width) const {
    std::shared_ptr<const MeasuredText> m = measured();
    for (const CacheEntry& e : cache_) {
        if (e.width == width && e.lines == numberOfLines) {
            return e.block;
        }
    }
    constexpr std::size_t kEntries = 4;
    CacheEntry entry{width, numberOfLines, layoutText(*m, width, numberOfLines, *measuredWith_)};
    if (cache_.size() < kEntries) {
        cache_.push_back(std::move(entry));
        return cache_.back().block;
    }
    CacheEntry& slot = cache_[nextSlot_];
    nextSlot_ = (nextSlot_ + 1) % kEntries;
    slot = std::move(entry);
    return slot.block;
}

TextBlock Label::textLayout(std::optional<double> width) const {
    return cachedLayout(width.value_or(frame().width()));
}

Size Label::intrinsicContentSize() const {
    if (text.empty()) {
        return Size{0, 0};
    }
    const TextBlock& block = cachedLayout(0);
    return Size{std::ceil(block.size.width), std::ceil(block.size.height)};
}

Size Label::sizeThatFits(Size size) const {
    if (text.empty()) {
        return Size{0, 0};
    }
    const TextBlock& block = cachedLayout(size.width);
    return Size{std::ceil(block.size.width), std::ceil(block.size.height)};
}

void Label::sizeToFit() {
    const Size s = intrinsicContentSize();
    setFrame(Rect(frame().minX(), frame().minY(), s.width, s.height));
}

// ---- Button ----------------------------------------------------------------

Button::Button() : titleLabel_(Label::make()) {
    titleLabel_->font = Font{18, false};
    titleLabel_->textAlignment = TextAlignment::CENTER;
    titleLabel_->textColor = Color::white();
}

std::shared_ptr<Button> Button::make() {
    auto b = std::make_shared<Button>();
    b->addSubview(b->titleLabel_);
    return b;
}

void Button::setTitle(const std::string& title) {
    titleLabel_->text = title;
}

const std::string& Button::title() const {
    return titleLabel_->text;
}

void Button::setTitleColor(const Color& color) {
    titleLabel_->textColor = color;
}

void Button::addTouchUpInside(std::function<void()> action) {
    actions_.push_back(std::move(action));
}

Size Button::intrinsicContentSize() const {
    const Size t = titleLabel_->intrinsicContentSize();
    return Size{widthConstraint.value_or(t.width + 12), heightConstraint.value_or(t.height + 12)};
}

void Button::layoutSubviews() {
    const Size t = titleLabel_->sizeThatFits(Size{frame().width(), 0});
    const double w = std::min(t.width, frame().width());
    titleLabel_->setFrame(
        Rect((frame().width() - w) / 2, (frame().height() - t.height) / 2, w, t.height));
}

bool Button::handleTap() {
    const std::vector<std::function<void()>> actions = actions_;
    for (const auto& a : actions) {
        a();
    }
    return true;
}

// ---- Image view, scroll view, stack view -----------------------------------

Size ImageView::intrinsicContentSize() const {
    if (!image) {
        return View::intrinsicContentSize();
    }
    return Size{widthConstraint.value_or(image->width), heightConstraint.value_or(image->height)};
}

std::shared_ptr<ScrollView> ScrollView::make() {
    auto s = std::make_shared<ScrollView>();
    s->enableScrolling();
    return s;
}

void ScrollView::setContentOffset(Point offset) {
    const double maxX = std::max(0.0, contentSize.width - frame().width());
    const double maxY = std::max(0.0, contentSize.height - frame().height());
    auto clamp = [](double v, double hi) {
        return std::isfinite(v) ? std::clamp(v, 0.0, hi) : 0.0;
    };
    const Point next{clamp(offset.x, maxX), clamp(offset.y, maxY)};
    if (next != boundsOrigin_) {
        boundsOrigin_ = next;
        setNeedsDisplay();
    }
}

bool ScrollView::scrollBy(double dx, double dy) {
    const Point before = contentOffset();
    setContentOffset(Point{before.x + dx, before.y + dy});
    return contentOffset() != before;
}

void ScrollView::enableScrolling() {
    std::weak_ptr<View> weak = weak_from_this();
    // Where the drag began, and the offset then.
    auto start = std::make_shared<std::pair<Point, Point>>();
    auto pan = std::make_shared<PanGestureRecognizer>([weak, start](GestureRecognizer& r) {
        auto self = std::static_pointer_cast<ScrollView>(weak.lock());
        if (!self) {
            return;
        }
        const Point at = r.locationIn(nullptr);
        if (r.state() == GestureState::BEGAN) {
            *start = {at, self->contentOffset()};
            return;
        }
        // The content follows the finger.
        self->setContentOffset(Point{start->second.x - (at.x - start->first.x),
                                     start->second.y - (at.y - start->first.y)});
    });
    pan->shouldBegin = [weak] {
        auto self = std::static_pointer_cast<ScrollView>(weak.lock());
        return self && (self->canScrollVertically() || self->canScrollHorizontally());
    };
    addGestureRecognizer(std::move(pan));
}

void ActivityIndicatorView::startAnimating() {
    if (!animating_) {
        animating_ = true;
        setNeedsDisplay();
    }
}

void ActivityIndicatorView::stopAnimating() {
    if (animating_) {
        animating_ = false;
        setNeedsDisplay();
    }
}

double ActivityIndicatorView::animationPhase() {
    const double frame = std::floor(mediaTime() * kFrames);
    return std::fmod(frame, kFrames) / kFrames;
}

void StackView::addArrangedSubview(const std::shared_ptr<View>& view) {
    if (!view) {
        return;
    }
    arranged_.push_back(view);
    addSubview(view);
}

namespace {
std::vector<View*> visible(const std::vector<std::shared_ptr<View>>& views) {
    std::vector<View*> out;
    for (const auto& v : views) {
        if (!v->hidden) {
            out.push_back(v.get());
        }
    }
    return out;
}
}  // namespace

Size StackView::intrinsicContentSize() const {
    return sizeThatFits(Size{frame().width(), 0});
}

Size StackView::sizeThatFits(Size size) const {
    const std::vector<View*> views = visible(arranged_);
    if (views.empty()) {
        return Size{0, 0};
    }
    const double gaps = spacing * static_cast<double>(views.size() - 1);
    if (axis == StackAxis::HORIZONTAL) {
        double w = gaps;
        double h = 0;
        for (View* v : views) {
            const Size s = v->sizeThatFits(Size{0, 0});
            w += s.width;
            h = std::max(h, s.height);
        }
        return Size{w, h};
    }
    double w = 0;
    double h = gaps;
    for (View* v : views) {
        const Size s = v->sizeThatFits(Size{size.width, 0});
        w = std::max(w, s.width);
        h += s.height;
    }
    return Size{w, h};
}

void StackView::layoutSubviews() {
    const std::vector<View*> views = visible(arranged_);
    if (views.empty()) {
        return;
    }
    const double n = static_cast<double>(views.size());
    const double W = frame().width();
    const double H = frame().height();
    const double gaps = spacing * (n - 1);
    if (axis == StackAxis::HORIZONTAL) {
        // Equal widths, or each view's own width with the last taking the rest.
        std::vector<double> widths;
        for (View* v : views) {
            widths.push_back(distribution == StackDistribution::FILL_EQUALLY
                                 ? std::max(0.0, (W - gaps) / n)
                                 : v->sizeThatFits(Size{0, 0}).width);
        }
        if (distribution == StackDistribution::FILL) {
            double used = gaps;
            for (double w : widths) {
                used += w;
            }
            widths.back() = std::max(0.0, widths.back() + W - used);
        }
        double x = 0;
        for (std::size_t i = 0; i < views.size(); ++i) {
            View* v = views[i];
            const double own = v->sizeThatFits(Size{widths[i], 0}).height;
            double h = alignment == StackAlignment::FILL ? H : std::min(own, H);
            double y = 0;
            if (alignment == StackAlignment::CENTER) {
                y = (H - h) / 2;
            } else if (alignment == StackAlignment::TRAILING) {
                y = H - h;
            }
            v->setFrame(Rect(x, y, widths[i], h));
            x += widths[i] + spacing;
        }
        return;
    }
    std::vector<double> heights;
    for (View* v : views) {
        heights.push_back(distribution == StackDistribution::FILL_EQUALLY
                              ? std::max(0.0, (H - gaps) / n)
                              : v->sizeThatFits(Size{W, 0}).height);
    }
    double y = 0;
    for (std::size_t i = 0; i < views.size(); ++i) {
        View* v = views[i];
        double w = W;
        double x = 0;
        if (alignment != StackAlignment::FILL) {
            w = std::min(W, v->sizeThatFits(Size{W, 0}).width);
            x = alignment == StackAlignment::CENTER     ? (W - w) / 2
                : alignment == StackAlignment::TRAILING ? W - w
                                                        : 0;
        }
        v->setFrame(Rect(x, y, w, heights[i]));
        y += heights[i] + spacing;
    }
}

// ---- Windows and the application -------------------------------------------

namespace {

struct UiState {
    Mutex mu;
    std::vector<std::shared_ptr<Window>> windows GUARDED_BY(mu);
    const Window* key GUARDED_BY(mu) = nullptr;
    Size portraitScreen GUARDED_BY(mu){390, 844};
    InterfaceOrientation orientation GUARDED_BY(mu) = InterfaceOrientation::PORTRAIT;
    std::function<void(const std::string&)> openUrl GUARDED_BY(mu);
};

UiState& uiState() {
    static NoDestructor<UiState> state;
    static const bool registered = [] {
        registerResetHook([] {
            std::vector<std::shared_ptr<Window>> dropped;
            {
                UiState& s = uiState();
                MutexLock lock(s.mu);
                dropped.swap(s.windows);
                s.key = nullptr;
                s.portraitScreen = Size{390, 844};
                s.orientation = InterfaceOrientation::PORTRAIT;
                s.openUrl = nullptr;
            }
        });
        return true;
    }();
    (void)registered;
    return state.get();
}

Rect screenBoundsLocked(const UiState& s) EXCLUSIVE_LOCKS_REQUIRED(s.mu) {
    const bool portrait =
        isPortrait(s.orientation) || s.orientation == InterfaceOrientation::UNKNOWN;
    const Size p = s.portraitScreen;
    return portrait ? Rect(0, 0, p.width, p.height) : Rect(0, 0, p.height, p.width);
}

}  // namespace

std::shared_ptr<Window> Window::make(const Rect& frame) {
    auto w = std::make_shared<Window>();
    w->setFrame(frame);
    return w;
}

bool Window::isKeyWindow() const {
    UiState& s = uiState();
    MutexLock lock(s.mu);
    return s.key == this;
}

std::vector<std::shared_ptr<View>> Window::hitChain(Point windowPoint) {
    layoutIfNeeded();
    std::vector<std::shared_ptr<View>> chain;
    for (std::shared_ptr<View> v = hitTest(windowPoint); v; v = v->superview()) {
        chain.push_back(v);
    }
    return chain;
}

bool Window::tap(Point windowPoint) {
    const std::vector<std::shared_ptr<View>> chain = hitChain(windowPoint);
    for (const auto& v : chain) {
        for (const auto& r : v->gestureRecognizers()) {
            if (r->enabled && r->isTap()) {
                std::shared_ptr<GestureRecognizer> keep = r;
                keep->deliver(GestureState::ENDED, windowPoint);
                return true;
            }
        }
        if (v->handleTap()) {
            return true;
        }
    }
    return false;
}

Drag Window::beginDrag(Point windowPoint) {
    Drag drag;
    drag.chain_ = hitChain(windowPoint);
    for (const auto& v : drag.chain_) {
        for (const auto& r : v->gestureRecognizers()) {
            if (r->enabled && !r->isTap() && (!r->shouldBegin || r->shouldBegin())) {
                drag.recognizer_ = r;
                break;
            }
        }
        if (drag.recognizer_) {
            break;
        }
    }
    if (drag.recognizer_) {
        drag.recognizer_->deliver(GestureState::BEGAN, windowPoint);
    }
    return drag;
}

bool Window::scroll(Point windowPoint, double dx, double dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy)) {
        return false;
    }
    for (const auto& v : hitChain(windowPoint)) {
        if (v->kind() == ViewKind::SCROLL && static_cast<ScrollView&>(*v).scrollBy(dx, dy)) {
            return true;
        }
    }
    return false;
}

void Drag::moveTo(Point windowPoint) {
    if (recognizer_) {
        recognizer_->deliver(GestureState::CHANGED, windowPoint);
    }
}

void Drag::end(Point windowPoint) {
    finish(GestureState::ENDED, windowPoint);
}

void Drag::cancel(Point windowPoint) {
    finish(GestureState::CANCELLED, windowPoint);
}

void Drag::finish(GestureState state, Point windowPoint) {
    if (recognizer_) {
        std::shared_ptr<GestureRecognizer> r = std::move(recognizer_);
        r->deliver(state, windowPoint);
    }
    chain_.clear();
}

bool isPortrait(InterfaceOrientation orientation) {
    return orientation == InterfaceOrientation::PORTRAIT ||
           orientation == InterfaceOrientation::PORTRAIT_UPSIDE_DOWN;
}

Application& Application::shared() {
    static Application app;
    return app;
}

std::vector<std::shared_ptr<Window>> Application::windows() const {
    UiState& s = uiState();
    MutexLock lock(s.mu);
    return s.windows;
}

std::shared_ptr<Window> Application::keyWindow() const {
    UiState& s = uiState();
    MutexLock lock(s.mu);
    for (const auto& w : s.windows) {
        if (w.get() == s.key) {
            return w;
        }
    }
    return nullptr;
}

InterfaceOrientation Application::statusBarOrientation() const {
    UiState& s = uiState();
    MutexLock lock(s.mu);
    return s.orientation;
}

bool Application::openURL(const std::string& url) {
    std::function<void(const std::string&)> handler;
    {
        UiState& s = uiState();
        MutexLock lock(s.mu);
        handler = s.openUrl;
    }
    if (!handler) {
        return false;
    }
    handler(url);
    return true;
}

Rect mainScreenBounds() {
    UiState& s = uiState();
    MutexLock lock(s.mu);
    return screenBoundsLocked(s);
}

double mediaTime() {
    static const MonoTime start = clock().monoNow();
    return std::chrono::duration<double>(clock().monoNow() - start).count();
}

// ---- Host controls ---------------------------------------------------------

namespace host {

void setScreenSize(Size portraitSize) {
    UiState& s = uiState();
    MutexLock lock(s.mu);
    s.portraitScreen = portraitSize;
}

void setInterfaceOrientation(InterfaceOrientation orientation) {
    UiState& s = uiState();
    MutexLock lock(s.mu);
    s.orientation = orientation;
}

void rotateDevice(DeviceOrientation orientation, std::optional<EdgeInsets> insets) {
    std::optional<InterfaceOrientation> next;
    switch (orientation) {
        case DeviceOrientation::PORTRAIT:
            next = InterfaceOrientation::PORTRAIT;
            break;
        case DeviceOrientation::PORTRAIT_UPSIDE_DOWN:
            next = InterfaceOrientation::PORTRAIT_UPSIDE_DOWN;
            break;
        case DeviceOrientation::LANDSCAPE_LEFT:
            next = InterfaceOrientation::LANDSCAPE_RIGHT;
            break;
        case DeviceOrientation::LANDSCAPE_RIGHT:
            next = InterfaceOrientation::LANDSCAPE_LEFT;
            break;
        default:
            break;
    }
    std::vector<std::shared_ptr<Window>> windows;
    Rect bounds;
    {
        UiState& s = uiState();
        MutexLock lock(s.mu);
        if (next) {
            s.orientation = *next;
        }
        windows = s.windows;
        bounds = screenBoundsLocked(s);
    }
    if (next) {
        for (const auto& w : windows) {
            w->setFrame(bounds);
            if (insets) {
                w->insets = *insets;
            }
        }
    }
    NotificationCenter::shared().post(kDeviceOrientationDidChangeNotification,
                                      Value(static_cast<std::int64_t>(orientation)));
}

std::shared_ptr<Window> addWindow(const Rect& frame, double level, const EdgeInsets& insets,
                                  bool makeKey) {
    std::shared_ptr<Window> w = Window::make(frame);
    w->windowLevel = level;
    w->insets = insets;
    UiState& s = uiState();
    MutexLock lock(s.mu);
    s.windows.push_back(w);
    if (makeKey) {
        s.key = w.get();
    }
    return w;
}

void removeWindow(const Window* window) {
    std::shared_ptr<Window> dropped;
    UiState& s = uiState();
    MutexLock lock(s.mu);
    auto it = std::find_if(s.windows.begin(), s.windows.end(),
                           [&](const std::shared_ptr<Window>& w) { return w.get() == window; });
    if (it != s.windows.end()) {
        dropped = std::move(*it);
        s.windows.erase(it);
    }
    if (s.key == window) {
        s.key = nullptr;
    }
}

void removeAllWindows() {
    std::vector<std::shared_ptr<Window>> dropped;
    UiState& s = uiState();
    MutexLock lock(s.mu);
    dropped.swap(s.windows);
    s.key = nullptr;
}

void setOpenUrlHandler(std::function<void(const std::string& url)> handler) {
    UiState& s = uiState();
    MutexLock lock(s.mu);
    s.openUrl = std::move(handler);
}

}  // namespace host

}  // namespace sorvel::platform
