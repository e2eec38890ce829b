#pragma once

#include <cstddef>
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
    double x = 0;       ///< Left edge.
    double y = 0;       ///< Top edge.
    double width = 0;   ///< Width, never negative.
    double height = 0;  ///< Height, never negative.
};

/// Safe-area insets in points.
struct InAppInsets {
    double top = 0;     ///< Kept clear at the top (a status bar, a notch).
    double left = 0;    ///< Kept clear on the left.
    double bottom = 0;  ///< Kept clear at the bottom (a home indicator).
    double right = 0;   ///< Kept clear on the right.
};

/// A colour, each part 0 to 1, alpha not premultiplied.
struct InAppColor {
    double red = 0;    ///< Red, 0 to 1.
    double green = 0;  ///< Green, 0 to 1.
    double blue = 0;   ///< Blue, 0 to 1.
    double alpha = 0;  ///< Opacity, 0 (clear) to 1 (opaque).
};

/// A decoded bitmap: rows top to bottom, four bytes a pixel (red, green,
/// blue, alpha; alpha not premultiplied), no padding, so its byte size is
/// width x 4 x height.
struct InAppBitmap {
    std::uint32_t width = 0;         ///< Pixels a row.
    std::uint32_t height = 0;        ///< Rows.
    std::vector<std::uint8_t> rgba;  ///< width x 4 x height bytes.
};

/// What a node is, for a renderer that draws kinds differently.
enum class InAppNodeKind { VIEW, LABEL, BUTTON, IMAGE, SCROLL, STACK, ACTIVITY_INDICATOR };
/// How a label's lines sit in its frame's width.
enum class InAppTextAlignment { LEFT, CENTER, RIGHT };
/// How an image fills its frame.
enum class InAppContentMode { SCALE_TO_FILL, SCALE_ASPECT_FIT, SCALE_ASPECT_FILL, CENTER };

/// One view of a laid-out message: its frame in its parent's coordinates (a
/// scrolled area's offset already applied), its look, its content and its
/// children back to front. Draw the background (with the corner radius),
/// clip when clipsToBounds, draw the content and the children, then the
/// border on top.
struct InAppViewNode {
    InAppNodeKind kind = InAppNodeKind::VIEW;  ///< What the node is.
    InAppRect frame;                           ///< Its frame in its parent's coordinates.
    InAppColor backgroundColor;                ///< Filled first (clear: nothing drawn).
    double cornerRadius = 0;                   ///< Rounds the background, border and clip.
    InAppColor borderColor;                    ///< The border's colour.
    double borderWidth = 0;                    ///< The border's width (0: none).
    bool clipsToBounds = false;                ///< Children are clipped to the frame.
    double alpha = 1;                          ///< The node's opacity, children included.
    /// A label's text as set in lines for its width, with its font; the
    /// block is centred vertically in the frame.
    std::vector<std::string> lines;
    double fontSize = 0;                                          ///< The text's size in points.
    bool bold = false;                                            ///< Bold or regular.
    double lineHeight = 0;                                        ///< A line's height in points.
    InAppColor textColor;                                         ///< The text's colour.
    InAppTextAlignment textAlignment = InAppTextAlignment::LEFT;  ///< The lines' alignment.
    /// An image view's image (null: none) and how it fills the frame.
    std::shared_ptr<const InAppBitmap> image;
    InAppContentMode contentMode = InAppContentMode::SCALE_TO_FILL;  ///< How the image fills.
    /// An activity indicator: its colour is textColor.
    bool animating = false;
    /// An animating indicator's turn, 0 to 1 (the frame to draw now); it
    /// steps twelve times a second, each step told by needsDisplay.
    double animationPhase = 0;
    /// Set on the message view itself (the root node): its campaign id.
    std::string campaignId;
    std::vector<InAppViewNode> children;  ///< Drawn in order, back to front.
};

/// How wide text is on one line and how tall a line is, in points, for the
/// system font at a size (regular or bold). The SDK lays labels out with it,
/// so a renderer whose fonts differ from the SDK's fixed default metrics
/// installs its own (SorvelHost::setInAppTextMetrics) and its text fits.
/// Called on the SDK's main thread.
class SORVEL_API InAppTextMetrics {
  public:
    virtual ~InAppTextMetrics() = default;
    /// The width of utf8 set on one line, in points.
    virtual double lineWidth(std::string_view utf8, double fontSize, bool bold) const = 0;
    /// The height of one line, in points.
    virtual double lineHeight(double fontSize, bool bold) const = 0;
    /// The widths of consecutive pieces of utf8 set on one line: piece i runs
    /// from byte ends[i - 1] (0 for the first) to byte ends[i]; ends rise and
    /// stay within the text. The SDK measures each paragraph with one call.
    /// A shaping implementation shapes the text once and gives each piece the
    /// advances of its clusters, so that a text is measured in time that
    /// grows with its length; this default calls lineWidth for each piece.
    virtual std::vector<double> pieceWidths(std::string_view utf8,
                                            const std::vector<std::size_t>& ends, double fontSize,
                                            bool bold) const {
        std::vector<double> out;
        out.reserve(ends.size());
        std::size_t start = 0;
        for (std::size_t end : ends) {
            end = end < start ? start : (end > utf8.size() ? utf8.size() : end);
            out.push_back(end > start ? lineWidth(utf8.substr(start, end - start), fontSize, bold)
                                      : 0.0);
            start = end;
        }
        return out;
    }
};

/// A message on the SDK's screen. Every call is for the SDK's main thread
/// (the thread that serves SorvelHost::runMainLoop or runMainLoopOnce). The
/// SDK implements it; an app only calls it.
class SORVEL_API InAppMessageScreen {
  public:
    virtual ~InAppMessageScreen() = default;
    /// The screen's size in points, in its current orientation.
    virtual double width() const = 0;
    /// The screen's height in points, in its current orientation.
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
    /// The drag moves to a point.
    virtual void moveDrag(double x, double y) = 0;
    /// The drag ends at a point (cancelled: the touch was taken away).
    virtual void endDrag(double x, double y, bool cancelled = false) = 0;
    /// A scroll wheel or touchpad over a screen point, by a distance in
    /// points (positive deltaY: towards the end of the text, as a drag
    /// upwards). The text area under the point scrolls within its content;
    /// true when it moved (the presenter is then told to draw again).
    virtual bool scroll(double x, double y, double deltaX, double deltaY) = 0;
};

/// Receives each message the SDK shows, on the SDK's main thread, right after
/// it was laid on the screen (its impression is logged already), and is told
/// when it has closed. The SDK holds the presenter strongly.
class SORVEL_API InAppMessagePresenter {
  public:
    virtual ~InAppMessagePresenter() = default;
    /// A message is on the screen: draw it and send the user's touches to it.
    virtual void present(const std::shared_ptr<InAppMessageScreen>& screen) = 0;
    /// The message has closed: stop drawing it.
    virtual void dismissed(const std::shared_ptr<InAppMessageScreen>& screen) = 0;
    /// The message's picture changed while it shows (a late image arrived,
    /// the retry view appeared, the spinner turned, the text scrolled): draw
    /// it again. Called on the SDK's main thread, at most about 30 times a
    /// second; the default does nothing.
    virtual void needsDisplay(const std::shared_ptr<InAppMessageScreen>& /*screen*/) {}
};

}  // namespace sorvel
