#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sorvel/Export.h"

// How an app shows in-app messages itself: the SDK lays each message out on
// its own headless screen and hands the app a screen object it can draw (a
// tree of plain drawing nodes, already laid out) and feed taps and drags to.
// The reference renderer (libsorvelkv_render, sorvel/render/InAppRenderer.h)
// draws such a tree with cairo; an app may draw it any other way.
namespace sorvel {

/// A rectangle in points: origin at the top left, y down.
struct InAppRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

/// Safe-area insets in points.
struct InAppInsets {
    double top = 0;
    double left = 0;
    double bottom = 0;
    double right = 0;
};

/// A colour, each part 0 to 1, alpha not premultiplied.
struct InAppColor {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 0;
};

/// A decoded bitmap: rows top to bottom, four bytes a pixel (red, green,
/// blue, alpha; alpha not premultiplied), no padding, so its byte size is
/// width x 4 x height.
struct InAppBitmap {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgba;
};

/// What a node is, for a renderer that draws kinds differently.
enum class InAppNodeKind { VIEW, LABEL, BUTTON, IMAGE, SCROLL, STACK, ACTIVITY_INDICATOR };
enum class InAppTextAlignment { LEFT, CENTER, RIGHT };
/// How an image fills its frame.
enum class InAppContentMode { SCALE_TO_FILL, SCALE_ASPECT_FIT, SCALE_ASPECT_FILL, CENTER };

/// One view of a laid-out message: its frame in its parent's coordinates (a
/// scrolled area's offset already applied), its look, its content and its
/// children back to front. Draw the background (with the corner radius),
/// clip when clipsToBounds, draw the content and the children, then the
/// border on top.
struct InAppViewNode {
    InAppNodeKind kind = InAppNodeKind::VIEW;
    InAppRect frame;
    InAppColor backgroundColor;
    double cornerRadius = 0;
    InAppColor borderColor;
    double borderWidth = 0;
    bool clipsToBounds = false;
    double alpha = 1;
    /// A label's text as set in lines for its width, with its font; the
    /// block is centred vertically in the frame.
    std::vector<std::string> lines;
    double fontSize = 0;
    bool bold = false;
    double lineHeight = 0;
    InAppColor textColor;
    InAppTextAlignment textAlignment = InAppTextAlignment::LEFT;
    /// An image view's image (null: none) and how it fills the frame.
    std::shared_ptr<const InAppBitmap> image;
    InAppContentMode contentMode = InAppContentMode::SCALE_TO_FILL;
    /// An activity indicator: its colour is textColor.
    bool animating = false;
    /// Set on the message view itself (the root node): its campaign id.
    std::string campaignId;
    std::vector<InAppViewNode> children;
};

/// How wide text is on one line and how tall a line is, in points, for the
/// system font at a size (regular or bold). The SDK lays labels out with it,
/// so a renderer whose fonts differ from the SDK's fixed default metrics
/// installs its own (SorvelHost::setInAppTextMetrics) and its text fits.
/// Called on the SDK's main thread.
class SORVEL_API InAppTextMetrics {
  public:
    virtual ~InAppTextMetrics() = default;
    virtual double lineWidth(std::string_view utf8, double fontSize, bool bold) const = 0;
    virtual double lineHeight(double fontSize, bool bold) const = 0;
};

/// A message on the SDK's screen. Every call is for the SDK's main thread
/// (the thread that serves SorvelHost::runMainLoop or runMainLoopOnce).
class SORVEL_API InAppMessageScreen {
  public:
    virtual ~InAppMessageScreen() = default;
    /// The screen's size in points, in its current orientation.
    virtual double width() const = 0;
    virtual double height() const = 0;
    /// The message's view laid out, its frame in screen coordinates; an
    /// empty node (no children, zero frame) once the message has closed.
    virtual InAppViewNode snapshot() const = 0;
    /// False once the message has closed (a close button, a closing click
    /// action, a dismissing drag or a rotation).
    virtual bool isShowing() const = 0;
    /// A tap at a screen point; true when a control or recogniser took it.
    /// Points outside every view of the message do nothing.
    virtual bool tap(double x, double y) = 0;
    /// A drag: begins at a point, moves, ends (or is cancelled) at a point.
    virtual void beginDrag(double x, double y) = 0;
    virtual void moveDrag(double x, double y) = 0;
    virtual void endDrag(double x, double y, bool cancelled = false) = 0;
};

/// Receives each message the SDK shows, on the SDK's main thread, right after
/// it was laid on the screen (its impression is logged already), and is told
/// when it has closed. The SDK holds the presenter strongly.
class SORVEL_API InAppMessagePresenter {
  public:
    virtual ~InAppMessagePresenter() = default;
    virtual void present(const std::shared_ptr<InAppMessageScreen>& screen) = 0;
    virtual void dismissed(const std::shared_ptr<InAppMessageScreen>& screen) = 0;
};

}  // namespace sorvel
