#include "sorvel/render/InAppRenderer.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

namespace sorvel::render {
namespace {

constexpr const char* kFontFamily = "DejaVu Sans";

void setFont(cairo_t* cr, double size, bool bold) {
    cairo_select_font_face(cr, kFontFamily, CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
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
    if (n.lines.empty() || n.fontSize <= 0) {
        return;
    }
    setFont(cr, n.fontSize, n.bold);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    const double lineHeight = n.lineHeight > 0 ? n.lineHeight : fe.height;
    const double blockH = lineHeight * static_cast<double>(n.lines.size());
    double y = (n.frame.height - blockH) / 2;
    setColor(cr, n.textColor);
    for (const std::string& line : n.lines) {
        cairo_text_extents_t te;
        cairo_text_extents(cr, line.c_str(), &te);
        double x = 0;
        if (n.textAlignment == InAppTextAlignment::CENTER) {
            x = (n.frame.width - te.x_advance) / 2;
        } else if (n.textAlignment == InAppTextAlignment::RIGHT) {
            x = n.frame.width - te.x_advance;
        }
        // The line box's baseline: its ascent below the top, the spare
        // height shared above and below.
        const double baseline = y + (lineHeight - fe.height) / 2 + fe.ascent;
        cairo_move_to(cr, x, baseline);
        cairo_show_text(cr, line.c_str());
        y += lineHeight;
    }
}

void drawIndicator(cairo_t* cr, const InAppViewNode& n) {
    const double cx = n.frame.width / 2;
    const double cy = n.frame.height / 2;
    const double r = std::min(n.frame.width, n.frame.height) / 2;
    cairo_set_line_width(cr, std::max(1.0, r / 6));
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    for (int i = 0; i < 8; ++i) {
        const double a = i * M_PI / 4;
        InAppColor c = n.textColor;
        c.alpha *= 0.25 + 0.75 * i / 7.0;
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

class CairoTextMetrics final : public InAppTextMetrics {
  public:
    CairoTextMetrics()
        : surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1)),
          cr_(cairo_create(surface_)) {}
    ~CairoTextMetrics() override {
        cairo_destroy(cr_);
        cairo_surface_destroy(surface_);
    }
    CairoTextMetrics(const CairoTextMetrics&) = delete;
    CairoTextMetrics& operator=(const CairoTextMetrics&) = delete;

    double lineWidth(std::string_view utf8, double fontSize, bool bold) const override {
        std::lock_guard<std::mutex> lock(mu_);
        setFont(cr_, fontSize, bold);
        cairo_text_extents_t te;
        text_.assign(utf8.data(), utf8.size());
        cairo_text_extents(cr_, text_.c_str(), &te);
        return te.x_advance;
    }
    double lineHeight(double fontSize, bool bold) const override {
        std::lock_guard<std::mutex> lock(mu_);
        setFont(cr_, fontSize, bold);
        cairo_font_extents_t fe;
        cairo_font_extents(cr_, &fe);
        return fe.height;
    }

  private:
    mutable std::mutex mu_;
    cairo_surface_t* surface_;
    cairo_t* cr_;
    mutable std::string text_;
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
    return std::make_shared<CairoTextMetrics>();
}

}  // namespace sorvel::render
