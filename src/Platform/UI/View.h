#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Image.h"
#include "Platform/UI/Color.h"
#include "Platform/UI/Geometry.h"
#include "Platform/UI/TextLayout.h"

// A headless view tree standing in for the mobile UI kit: frames, the
// properties the in-app views set and read, hit testing, gesture recognisers
// and controls. Nothing draws here; a renderer walks the tree. Every call is
// for the main thread only, as on the device.
namespace sorvel::platform {

class Window;
class GestureRecognizer;

enum class ContentMode { SCALE_TO_FILL, SCALE_ASPECT_FIT, SCALE_ASPECT_FILL, CENTER };

// What a renderer or a test needs to tell the kinds of view apart.
enum class ViewKind { VIEW, WINDOW, LABEL, BUTTON, IMAGE, SCROLL, STACK, ACTIVITY_INDICATOR };

class View : public std::enable_shared_from_this<View> {
  public:
    View() = default;
    virtual ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    static std::shared_ptr<View> make() { return std::make_shared<View>(); }
    virtual ViewKind kind() const { return ViewKind::VIEW; }

    // ---- Geometry -------------------------------------------------------
    const Rect& frame() const { return frame_; }
    void setFrame(const Rect& frame) { frame_ = frame; }
    // Origin is the scroll offset (zero except in a scrolled scroll view).
    Rect bounds() const {
        return Rect(boundsOrigin_.x, boundsOrigin_.y, frame_.width(), frame_.height());
    }
    // A point in this view's coordinates in another view's (null: the window's).
    Point convertTo(Point p, const View* other) const;
    Point convertFrom(Point p, const View* other) const;
    // The window's safe-area insets as they fall on this view's frame; zero
    // outside a window.
    EdgeInsets safeAreaInsets() const;
    Rect safeAreaFrame() const;

    // ---- The tree -------------------------------------------------------
    const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
    std::shared_ptr<View> superview() const { return superview_.lock(); }
    // The window the view is in (itself for a window), or null.
    Window* window() const;
    // Adds on top; a view that had another parent leaves it first.
    void addSubview(const std::shared_ptr<View>& view);
    // Inserts directly above sibling (on top when sibling is not a subview).
    void insertSubviewAbove(const std::shared_ptr<View>& view, const View* sibling);
    void bringSubviewToFront(const View* view);
    // A no-op without a superview.
    void removeFromSuperview();
    bool isDescendantOf(const View* ancestor) const;

    // ---- Appearance -----------------------------------------------------
    Color backgroundColor = Color::clear();
    double cornerRadius = 0;
    Color borderColor = Color::black();
    double borderWidth = 0;
    bool clipsToBounds = false;
    ContentMode contentMode = ContentMode::SCALE_TO_FILL;
    bool hidden = false;
    double alpha = 1;
    // Labels and image views start without it, everything else with it.
    bool userInteractionEnabled = true;

    // ---- Sizing ---------------------------------------------------------
    // Size constraints of the view's own (a fixed width or height).
    std::optional<double> widthConstraint;
    std::optional<double> heightConstraint;
    // The natural size; a part of -1 means none.
    virtual Size intrinsicContentSize() const;
    // The size the view wants when given this width (labels wrap to it).
    virtual Size sizeThatFits(Size size) const;
    static constexpr double kNoIntrinsicMetric = -1;

    // ---- Layout ---------------------------------------------------------
    // Places the subviews; each kind of view knows its own rules.
    virtual void layoutSubviews() {}
    // Lays this view out, then its subviews, depth first.
    void layoutIfNeeded();

    // ---- Touches --------------------------------------------------------
    virtual bool pointInside(Point p) const;
    // The deepest view at the point (in this view's coordinates) that takes
    // touches: hidden, transparent and non-interactive views and what lies
    // outside their bounds take none.
    virtual std::shared_ptr<View> hitTest(Point p);
    void addGestureRecognizer(std::shared_ptr<GestureRecognizer> recognizer);
    const std::vector<std::shared_ptr<GestureRecognizer>>& gestureRecognizers() const {
        return recognizers_;
    }
    // Controls answer a tap themselves (a button's touch-up-inside).
    virtual bool handleTap() { return false; }

    // ---- Display --------------------------------------------------------
    // What the view shows changed in a way a layout pass does not tell (an
    // image arrived, a view came or went, the content scrolled): passed up
    // to the nearest ancestor that listens, which has the picture drawn
    // again. Adding and removing subviews calls it.
    virtual void setNeedsDisplay();

    // A name for tests and the gallery.
    std::string accessibilityIdentifier;

  protected:
    Point boundsOrigin_;

  private:
    Rect frame_;
    std::weak_ptr<View> superview_;
    std::vector<std::shared_ptr<View>> subviews_;
    std::vector<std::shared_ptr<GestureRecognizer>> recognizers_;
};

// ---- Gesture recognisers -----------------------------------------------

enum class GestureState { POSSIBLE, BEGAN, CHANGED, ENDED, CANCELLED };

class GestureRecognizer {
  public:
    using Action = std::function<void(GestureRecognizer&)>;
    explicit GestureRecognizer(Action action) : action_(std::move(action)) {}
    virtual ~GestureRecognizer() = default;
    virtual bool isTap() const = 0;

    // The view it was added to (null once that view is gone).
    std::shared_ptr<View> view() const { return view_.lock(); }
    GestureState state() const { return state_; }
    bool enabled = true;
    // Asked when a drag would begin (null: always yes); a recogniser that
    // declines leaves the drag to the next one up the hit chain.
    std::function<bool()> shouldBegin;
    // The touch in a view's coordinates (null: the window's).
    Point locationIn(const View* view) const;

    // Delivery from the window's touch handling.
    void deliver(GestureState state, Point windowPoint);

  private:
    friend class View;
    Action action_;
    std::weak_ptr<View> view_;
    GestureState state_ = GestureState::POSSIBLE;
    Point windowPoint_;
};

class TapGestureRecognizer final : public GestureRecognizer {
  public:
    using GestureRecognizer::GestureRecognizer;
    bool isTap() const override { return true; }
};

class PanGestureRecognizer final : public GestureRecognizer {
  public:
    using GestureRecognizer::GestureRecognizer;
    bool isTap() const override { return false; }
};

// ---- Controls and content views ----------------------------------------

class Label : public View {
  public:
    Label() { userInteractionEnabled = false; }
    static std::shared_ptr<Label> make() { return std::make_shared<Label>(); }
    ViewKind kind() const override { return ViewKind::LABEL; }

    std::string text;
    Font font{17, false};
    Color textColor = Color::black();
    TextAlignment textAlignment = TextAlignment::LEFT;
    // 0: as many lines as the text needs.
    int numberOfLines = 1;

    // The text set in lines for a width (the label's own width when absent).
    TextBlock textLayout(std::optional<double> width = std::nullopt) const;
    Size intrinsicContentSize() const override;
    Size sizeThatFits(Size size) const override;
    // Sets the frame's size to what the text needs on one line per break.
    void sizeToFit();

  private:
    // Layout passes and hit tests ask for the same few widths again and
    // again: the last layouts are kept, keyed by everything they depend on.
    const TextBlock& cachedLayout(double width) const;
    struct CacheEntry {
        double width = 0;
        int lines = 0;
        TextBlock block;
    };
    // The text measured once for the current font and measurer; the layouts
    // of several widths are set from it.
    std::shared_ptr<const MeasuredText> measured() const;
    mutable std::shared_ptr<const MeasuredText> measured_;
    mutable std::shared_ptr<const ITextMeasurer> measuredWith_;
    mutable std::string measuredPart_;
    mutable std::vector<CacheEntry> cache_;
    mutable std::size_t nextSlot_ = 0;
};

class Button : public View {
  public:
    Button();
    static std::shared_ptr<Button> make();
    ViewKind kind() const override { return ViewKind::BUTTON; }

    void setTitle(const std::string& title);
    const std::string& title() const;
    void setTitleColor(const Color& color);
    const std::shared_ptr<Label>& titleLabel() const { return titleLabel_; }
    // Runs on a tap that lands on the button (touch up inside).
    void addTouchUpInside(std::function<void()> action);

    Size intrinsicContentSize() const override;
    void layoutSubviews() override;
    bool handleTap() override;

  private:
    std::shared_ptr<Label> titleLabel_;
    std::vector<std::function<void()>> actions_;
};

// Image sizes are in pixels, one pixel a point.
using ImagePtr = std::shared_ptr<const Image>;

class ImageView : public View {
  public:
    ImageView() { userInteractionEnabled = false; }
    static std::shared_ptr<ImageView> make() { return std::make_shared<ImageView>(); }
    ViewKind kind() const override { return ViewKind::IMAGE; }

    ImagePtr image;
    Size intrinsicContentSize() const override;
};

// Clips its content to its bounds, and a drag (its pan recogniser) or a
// scroll wheel (Window::scroll) moves the content within them.
class ScrollView : public View {
  public:
    ScrollView() { clipsToBounds = true; }
    // Made with its pan recogniser.
    static std::shared_ptr<ScrollView> make();
    ViewKind kind() const override { return ViewKind::SCROLL; }

    Size contentSize;
    Point contentOffset() const { return boundsOrigin_; }
    // Kept between 0 and the content's overhang; a change needs display.
    void setContentOffset(Point offset);
    // Moves the content by a distance (positive: towards its end); true when
    // the offset changed.
    bool scrollBy(double dx, double dy);
    // Adds the recogniser through which a drag scrolls the content; it takes
    // a drag only while there is content to scroll. Subclasses' factories
    // call it once.
    void enableScrolling();
    bool canScrollVertically() const { return contentSize.height > frame().height(); }
    bool canScrollHorizontally() const { return contentSize.width > frame().width(); }
};

enum class StackAxis { HORIZONTAL, VERTICAL };
enum class StackAlignment { FILL, LEADING, CENTER, TRAILING };
enum class StackDistribution { FILL, FILL_EQUALLY };

class StackView : public View {
  public:
    static std::shared_ptr<StackView> make() { return std::make_shared<StackView>(); }
    ViewKind kind() const override { return ViewKind::STACK; }

    StackAxis axis = StackAxis::HORIZONTAL;
    StackAlignment alignment = StackAlignment::FILL;
    StackDistribution distribution = StackDistribution::FILL;
    double spacing = 0;

    void addArrangedSubview(const std::shared_ptr<View>& view);
    const std::vector<std::shared_ptr<View>>& arrangedSubviews() const { return arranged_; }

    // Horizontal: the tallest arranged view; vertical: the views' heights for
    // the stack's width and the spacing between them.
    Size intrinsicContentSize() const override;
    Size sizeThatFits(Size size) const override;
    void layoutSubviews() override;

  private:
    std::vector<std::shared_ptr<View>> arranged_;
};

class ActivityIndicatorView : public View {
  public:
    ActivityIndicatorView() { userInteractionEnabled = false; }
    static std::shared_ptr<ActivityIndicatorView> make() {
        return std::make_shared<ActivityIndicatorView>();
    }
    ViewKind kind() const override { return ViewKind::ACTIVITY_INDICATOR; }

    Color color = Color::gray();
    // Animating, its frames turn once a second (animationPhase); each change
    // needs display.
    void startAnimating();
    void stopAnimating();
    bool isAnimating() const { return animating_; }
    // The turn of the current frame, 0 to 1, in steps of 1/kFrames, from the
    // media clock.
    static double animationPhase();
    static constexpr int kFrames = 12;

  private:
    bool animating_ = false;
};

// ---- Windows, the application and the screen ---------------------------

// Window levels: the app's own windows are normal; alerts and the status bar
// lie above.
inline constexpr double kWindowLevelNormal = 0;
inline constexpr double kWindowLevelStatusBar = 1000;
inline constexpr double kWindowLevelAlert = 2000;

// An ongoing drag that a host moves and ends.
class Drag {
  public:
    void moveTo(Point windowPoint);
    void end(Point windowPoint);
    void cancel(Point windowPoint);
    // The recogniser that took the drag (null: none on the hit chain).
    const std::shared_ptr<GestureRecognizer>& recognizer() const { return recognizer_; }

  private:
    friend class Window;
    void finish(GestureState state, Point windowPoint);
    std::shared_ptr<GestureRecognizer> recognizer_;
    // The views of the hit chain, held until the drag ends.
    std::vector<std::shared_ptr<View>> chain_;
};

class Window : public View {
  public:
    static std::shared_ptr<Window> make(const Rect& frame);
    ViewKind kind() const override { return ViewKind::WINDOW; }

    double windowLevel = kWindowLevelNormal;
    bool isKeyWindow() const;
    EdgeInsets insets;  // the device's safe-area insets on this window

    // Simulated touches at window points. A tap goes to the nearest tap
    // recogniser or control on the chain from the deepest view hit up to the
    // window; that chain is held alive until the handler returns. False when
    // nothing took it.
    bool tap(Point windowPoint);
    // A drag begins at a point: the nearest pan recogniser on the hit chain
    // that would begin gets began there (and later changed, ended or
    // cancelled).
    Drag beginDrag(Point windowPoint);
    // A scroll wheel or touchpad at a point, by a distance in points
    // (positive: towards the content's end): the nearest scroll view on the
    // hit chain that can still move that way scrolls. False when none moved.
    bool scroll(Point windowPoint, double dx, double dy);

  private:
    std::vector<std::shared_ptr<View>> hitChain(Point windowPoint);
};

enum class InterfaceOrientation {
    UNKNOWN = 0,
    PORTRAIT = 1,
    PORTRAIT_UPSIDE_DOWN = 2,
    LANDSCAPE_RIGHT = 3,
    LANDSCAPE_LEFT = 4
};
bool isPortrait(InterfaceOrientation orientation);

enum class DeviceOrientation {
    UNKNOWN = 0,
    PORTRAIT = 1,
    PORTRAIT_UPSIDE_DOWN = 2,
    LANDSCAPE_LEFT = 3,
    LANDSCAPE_RIGHT = 4,
    FACE_UP = 5,
    FACE_DOWN = 6
};

// Posted on NotificationCenter::shared() on the main thread after every change
// of the device's orientation (host::rotateDevice).
inline constexpr const char* kDeviceOrientationDidChangeNotification =
    "DeviceOrientationDidChangeNotification";

class Application {
  public:
    static Application& shared();

    // In order, back to front; the host adds and removes them.
    std::vector<std::shared_ptr<Window>> windows() const;
    // The first window that is key, or null.
    std::shared_ptr<Window> keyWindow() const;
    InterfaceOrientation statusBarOrientation() const;
    // Hands the address to the host's URL opener; the outcome is not awaited.
    // False when no opener is set.
    bool openURL(const std::string& url);
};

// The main screen's bounds, in the interface's orientation.
Rect mainScreenBounds();

// Seconds on the monotonic clock of the current clock (a manual clock moves
// it): the media clock that times drags.
double mediaTime();

}  // namespace sorvel::platform
