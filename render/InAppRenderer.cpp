#include "sorvel/render/InAppRenderer.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

namespace sorvel::render {
namespace {

constexpr const char* kFontFamily = "DejaVu Sans";

// Text is shaped and drawn by Pango (HarfBuzz shapes, fontconfig finds a font
// for each script the first one lacks, the bidirectional algorithm orders
// each line). Metrics are not hinted, so widths scale with the size and what
// is measured is what is drawn.
struct FontDescription {
    explicit FontDescription(double size, bool bold) : desc(pango_font_description_new()) {
        pango_font_description_set_family_static(desc, kFontFamily);
        pango_font_description_set_weight(desc, bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
        pango_font_description_set_absolute_size(desc,
                                                 std::clamp(size, 0.0, 10000.0) * PANGO_SCALE);
    }
    ~FontDescription() { pango_font_description_free(desc); }
    FontDescription(const FontDescription&) = delete;
    FontDescription& operator=(const FontDescription&) = delete;
    PangoFontDescription* desc;
};

void unhinted(PangoContext* ctx) {
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    pango_cairo_context_set_font_options(ctx, options);
    cairo_font_options_destroy(options);
}

// A line box's ascent and height for a font: the spare height of a taller
// line box is shared above and below.
struct LineMetrics {
    double ascent = 0;
    double height = 0;
};

LineMetrics lineMetrics(PangoContext* ctx, const FontDescription& font) {
    PangoFontMetrics* m = pango_context_get_metrics(ctx, font.desc, nullptr);
    const double ascent = pango_font_metrics_get_ascent(m) / double(PANGO_SCALE);
    const double descent = pango_font_metrics_get_descent(m) / double(PANGO_SCALE);
    double height = pango_font_metrics_get_height(m) / double(PANGO_SCALE);
    pango_font_metrics_unref(m);
    if (!(height > ascent + descent)) {
        height = ascent + descent;
    }
    return LineMetrics{ascent + (height - ascent - descent) / 2, height};
}

void setColor(cairo_t* cr, const InAppColor& c) {
    cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
}

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
    r = std::clamp(r, 0.0, std::min(w, h) / 2);
    if (r <= 0) {
        cairo_rectangle(cr, x, y, w, h);
        return;
    }
    const double pi = M_PI;
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -pi / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, pi / 2);
    cairo_arc(cr, x + r, y + h - r, r, pi / 2, pi);
    cairo_arc(cr, x + r, y + r, r, pi, 3 * pi / 2);
    cairo_close_path(cr);
}

// cairo wants premultiplied native-endian ARGB; the node carries straight RGBA.
cairo_surface_t* imageSurface(const InAppBitmap& b) {
    if (b.width == 0 || b.height == 0 ||
        b.rgba.size() < static_cast<std::size_t>(b.width) * b.height * 4) {
        return nullptr;
    }
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(b.width),
                                                    static_cast<int>(b.height));
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return nullptr;
    }
    cairo_surface_flush(s);
    unsigned char* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    for (std::uint32_t y = 0; y < b.height; ++y) {
        auto* row =
            reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
        const std::uint8_t* src = b.rgba.data() + static_cast<std::size_t>(y) * b.width * 4;
        for (std::uint32_t x = 0; x < b.width; ++x) {
            const std::uint32_t a = src[x * 4 + 3];
            auto pm = [a](std::uint32_t c) { return (c * a + 127) / 255; };
            row[x] =
                (a << 24) | (pm(src[x * 4]) << 16) | (pm(src[x * 4 + 1]) << 8) | pm(src[x * 4 + 2]);
        }
    }
    cairo_surface_mark_dirty(s);
    return s;
}

void drawImage(cairo_t* cr, const InAppViewNode& n) {
    cairo_surface_t* s = imageSurface(*n.image);
    if (s == nullptr) {
        return;
    }
    const double w = n.frame.width;
    const double h = n.frame.height;
    const double iw = n.image->width;
    const double ih = n.image->height;
    double sx = w / iw;
    double sy = h / ih;
    switch (n.contentMode) {
        case InAppContentMode::SCALE_ASPECT_FIT:
            sx = sy = std::min(sx, sy);
            break;
        case InAppContentMode::SCALE_ASPECT_FILL:
            sx = sy = std::max(sx, sy);
            break;
        case InAppContentMode::CENTER:
            sx = sy = 1;
            break;
        case InAppContentMode::SCALE_TO_FILL:
            break;
    }
    cairo_save(cr);
    cairo_translate(cr, (w - iw * sx) / 2, (h - ih * sy) / 2);
    cairo_scale(cr, sx, sy);
    cairo_set_source_surface(cr, s, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_rectangle(cr, 0, 0, iw, ih);
    cairo_fill(cr);
    cairo_restore(cr);
    cairo_surface_destroy(s);
}

void drawText(cairo_t* cr, const InAppViewNode& n) {
    if (n.lines.empty() || !(n.fontSize > 0)) {
        return;
    }
    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoContext* ctx = pango_layout_get_context(layout);
    unhinted(ctx);
    pango_layout_context_changed(layout);
    const FontDescription font(n.fontSize, n.bold);
    pango_layout_set_font_description(layout, font.desc);
    const LineMetrics metrics = lineMetrics(ctx, font);
    const double lineHeight = n.lineHeight > 0 ? n.lineHeight : metrics.height;
    const double blockH = lineHeight * static_cast<double>(n.lines.size());
    const double top = (n.frame.height - blockH) / 2;
    // Only lines that meet the clip are shaped: a long text drawn in a
    // scrolled area costs what shows.
    double clipTop = 0;
    double clipBottom = 0;
    double x1 = 0;
    double x2 = 0;
    cairo_clip_extents(cr, &x1, &clipTop, &x2, &clipBottom);
    std::size_t first = 0;
    if (clipTop > top) {
        first = static_cast<std::size_t>(std::floor((clipTop - top) / lineHeight));
    }
    setColor(cr, n.textColor);
    // Each line takes the direction of its first letter of either direction;
    // a line without one takes the direction of the line drawn before, as a
    // paragraph's would.
    PangoDirection direction = PANGO_DIRECTION_LTR;
    for (std::size_t i = first; i < n.lines.size(); ++i) {
        const double y = top + lineHeight * static_cast<double>(i);
        if (y > clipBottom) {
            break;
        }
        const std::string& line = n.lines[i];
        pango_context_set_base_dir(ctx, direction);
        pango_layout_context_changed(layout);
        pango_layout_set_text(layout, line.data(), static_cast<int>(line.size()));
        PangoLayoutLine* pl = pango_layout_get_line_readonly(layout, 0);
        if (pl == nullptr) {
            continue;
        }
        direction =
            pl->resolved_dir == PANGO_DIRECTION_RTL ? PANGO_DIRECTION_RTL : PANGO_DIRECTION_LTR;
        PangoRectangle logical;
        pango_layout_line_get_extents(pl, nullptr, &logical);
        const double width = logical.width / double(PANGO_SCALE);
        double x = 0;
        if (n.textAlignment == InAppTextAlignment::CENTER) {
            x = (n.frame.width - width) / 2;
        } else if (n.textAlignment == InAppTextAlignment::RIGHT) {
            x = n.frame.width - width;
        }
        cairo_move_to(cr, x, y + (lineHeight - metrics.height) / 2 + metrics.ascent);
        pango_cairo_show_layout_line(cr, pl);
    }
    g_object_unref(layout);
}

void drawIndicator(cairo_t* cr, const InAppViewNode& n) {
    const double cx = n.frame.width / 2;
    const double cy = n.frame.height / 2;
    const double r = std::min(n.frame.width, n.frame.height) / 2;
    cairo_set_line_width(cr, std::max(1.0, r / 6));
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    // Twelve spokes, the brightest one stepping round with the phase.
    constexpr int kSpokes = 12;
    const double turn = std::floor(std::clamp(n.animationPhase, 0.0, 1.0) * kSpokes);
    for (int i = 0; i < kSpokes; ++i) {
        const double a = (i + turn) * 2 * M_PI / kSpokes;
        InAppColor c = n.textColor;
        c.alpha *= 0.25 + 0.75 * i / double(kSpokes - 1);
        setColor(cr, c);
        cairo_move_to(cr, cx + std::cos(a) * r * 0.45, cy + std::sin(a) * r * 0.45);
        cairo_line_to(cr, cx + std::cos(a) * r * 0.9, cy + std::sin(a) * r * 0.9);
        cairo_stroke(cr);
    }
}

void drawNode(cairo_t* cr, const InAppViewNode& n) {
    if (n.alpha <= 0.01 || !std::isfinite(n.frame.x) || !std::isfinite(n.frame.y)) {
        return;
    }
    cairo_save(cr);
    cairo_translate(cr, n.frame.x, n.frame.y);
    const bool group = n.alpha < 1;
    if (group) {
        cairo_push_group(cr);
    }
    const double w = std::max(0.0, n.frame.width);
    const double h = std::max(0.0, n.frame.height);
    if (n.backgroundColor.alpha > 0) {
        roundedRect(cr, 0, 0, w, h, n.cornerRadius);
        setColor(cr, n.backgroundColor);
        cairo_fill(cr);
    }
    cairo_save(cr);
    if (n.clipsToBounds) {
        roundedRect(cr, 0, 0, w, h, n.cornerRadius);
        cairo_clip(cr);
    }
    if (n.kind == InAppNodeKind::IMAGE && n.image) {
        drawImage(cr, n);
    } else if (n.kind == InAppNodeKind::LABEL) {
        drawText(cr, n);
    } else if (n.kind == InAppNodeKind::ACTIVITY_INDICATOR) {
        drawIndicator(cr, n);
    }
    for (const InAppViewNode& c : n.children) {
        drawNode(cr, c);
    }
    cairo_restore(cr);
    if (n.borderWidth > 0 && n.borderColor.alpha > 0) {
        const double b = n.borderWidth;
        roundedRect(cr, b / 2, b / 2, std::max(0.0, w - b), std::max(0.0, h - b),
                    std::max(0.0, n.cornerRadius - b / 2));
        setColor(cr, n.borderColor);
        cairo_set_line_width(cr, b);
        cairo_stroke(cr);
    }
    if (group) {
        cairo_pop_group_to_source(cr);
        cairo_paint_with_alpha(cr, n.alpha);
    }
    cairo_restore(cr);
}

// Measures with its own font map and context, so that measuring on the SDK's
// main thread shares nothing with drawing on the app's threads.
class PangoTextMetrics final : public InAppTextMetrics {
  public:
    PangoTextMetrics()
        : fontMap_(pango_cairo_font_map_new()),
          context_(pango_font_map_create_context(fontMap_)),
          layout_(nullptr) {
        unhinted(context_);
        layout_ = pango_layout_new(context_);
    }
    ~PangoTextMetrics() override {
        g_object_unref(layout_);
        g_object_unref(context_);
        g_object_unref(fontMap_);
    }
    PangoTextMetrics(const PangoTextMetrics&) = delete;
    PangoTextMetrics& operator=(const PangoTextMetrics&) = delete;

    double lineWidth(std::string_view utf8, double fontSize, bool bold) const override {
        std::lock_guard<std::mutex> lock(mu_);
        PangoLayoutLine* line = setLine(utf8, fontSize, bold);
        if (line == nullptr) {
            return 0;
        }
        PangoRectangle logical;
        pango_layout_line_get_extents(line, nullptr, &logical);
        return logical.width / double(PANGO_SCALE);
    }

    double lineHeight(double fontSize, bool bold) const override {
        std::lock_guard<std::mutex> lock(mu_);
        return lineMetrics(context_, FontDescription(fontSize, bold)).height;
    }

    // One shaping of the text; each glyph's advance goes to the piece that
    // holds its cluster's first byte.
    std::vector<double> pieceWidths(std::string_view utf8, const std::vector<std::size_t>& ends,
                                    double fontSize, bool bold) const override {
        std::vector<double> out(ends.size(), 0.0);
        if (ends.empty()) {
            return out;
        }
        std::lock_guard<std::mutex> lock(mu_);
        PangoLayoutLine* line = setLine(utf8, fontSize, bold);
        if (line == nullptr) {
            return out;
        }
        for (GSList* run = line->runs; run != nullptr; run = run->next) {
            const auto* item = static_cast<const PangoGlyphItem*>(run->data);
            const PangoGlyphString* glyphs = item->glyphs;
            for (int g = 0; g < glyphs->num_glyphs; ++g) {
                const auto byte =
                    static_cast<std::size_t>(item->item->offset + glyphs->log_clusters[g]);
                const std::size_t piece = static_cast<std::size_t>(
                    std::upper_bound(ends.begin(), ends.end(), byte) - ends.begin());
                if (piece < out.size()) {
                    out[piece] += glyphs->glyphs[g].geometry.width / double(PANGO_SCALE);
                }
            }
        }
        return out;
    }

  private:
    // The text on one line (a line break inside shows as a glyph of its own,
    // not as a new line) in the font; null for an empty text.
    PangoLayoutLine* setLine(std::string_view utf8, double fontSize, bool bold) const {
        if (utf8.empty()) {
            return nullptr;
        }
        const FontDescription font(fontSize, bold);
        pango_layout_set_font_description(layout_, font.desc);
        pango_layout_set_single_paragraph_mode(layout_, TRUE);
        pango_layout_set_text(layout_, utf8.data(), static_cast<int>(utf8.size()));
        return pango_layout_get_line_readonly(layout_, 0);
    }

    mutable std::mutex mu_;
    PangoFontMap* fontMap_;
    PangoContext* context_;
    PangoLayout* layout_;
};

}  // namespace

void drawViewTree(cairo_t* cr, const InAppViewNode& root) noexcept {
    if (cr == nullptr) {
        return;
    }
    cairo_save(cr);
    drawNode(cr, root);
    cairo_restore(cr);
}

bool writePng(const InAppViewNode& root, double width, double height, const std::string& path,
              double scale, std::string* error) noexcept {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    };
    if (!std::isfinite(width) || !std::isfinite(height) || !std::isfinite(scale) || width <= 0 ||
        height <= 0 || scale <= 0 || width * scale > 16384 || height * scale > 16384) {
        return fail("the size is not positive, finite and at most 16384 pixels");
    }
    cairo_surface_t* s =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(std::ceil(width * scale)),
                                   static_cast<int>(std::ceil(height * scale)));
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return fail("no surface of that size");
    }
    cairo_t* cr = cairo_create(s);
    cairo_scale(cr, scale, scale);
    drawViewTree(cr, root);
    cairo_destroy(cr);
    const cairo_status_t st = cairo_surface_write_to_png(s, path.c_str());
    cairo_surface_destroy(s);
    if (st != CAIRO_STATUS_SUCCESS) {
        return fail(std::string("cannot write ") + path + ": " + cairo_status_to_string(st));
    }
    return true;
}

std::shared_ptr<const InAppTextMetrics> makeTextMetrics() {
    return std::make_shared<PangoTextMetrics>();
}

}  // namespace sorvel::render
