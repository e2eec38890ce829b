#pragma once

#include <memory>
#include <string>

#include "sorvel/InAppPresentation.h"

#if defined(SORVEL_BUILDING_RENDER)
#define SORVEL_RENDER_API __attribute__((visibility("default")))
#else
#define SORVEL_RENDER_API
#endif

// cairo's context type, declared as cairo declares it, so that this header
// needs no header of cairo's; a caller that draws includes cairo.h itself.
struct _cairo;
typedef struct _cairo cairo_t;

// The reference renderer of in-app messages (libsorvelkv_render): draws the
// laid-out view tree of a message (InAppMessageScreen::snapshot) into any
// cairo surface (an X11 or Wayland window's, an off-screen image) and writes
// PNG files. Text is shaped and drawn with Pango (HarfBuzz shaping, the
// bidirectional algorithm, fontconfig's fallback for scripts DejaVu Sans
// lacks); install makeTextMetrics() with SorvelHost::setInAppTextMetrics so
// the SDK lays labels out with the same engine and the text fits its frames.
// Only the lines a clip shows are shaped when drawn.
namespace sorvel::render {

/// Draws the node and its children at their frames, in the context's current
/// user space (the root's frame is in screen points). Leaves the context's
/// state as it found it. Call on the thread that owns the context.
SORVEL_RENDER_API void drawViewTree(cairo_t* cr, const InAppViewNode& root) noexcept;

/// Renders the tree on a white-less, transparent width x height canvas (in
/// points, one pixel a point times scale) and writes it as a PNG file; false
/// with a reason in error (when given) if the size is not positive or the
/// file cannot be written. Any thread.
SORVEL_RENDER_API bool writePng(const InAppViewNode& root, double width, double height,
                                const std::string& path, double scale = 1.0,
                                std::string* error = nullptr) noexcept;

/// Text metrics of the fonts drawViewTree sets text in, measured by the same
/// engine (each text shaped once for all its pieces). Called on the SDK's
/// main thread; safe from any thread.
SORVEL_RENDER_API std::shared_ptr<const InAppTextMetrics> makeTextMetrics();

}  // namespace sorvel::render
