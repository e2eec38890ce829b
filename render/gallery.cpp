// Renders every in-app layout in both orientations and in its image states
// (shown, loading, failed) to PNG files, on the reference screens: portrait
// 390 x 844 (insets top 47, bottom 34) and landscape 844 x 390 (left 47,
// right 47, bottom 21). With --check it reads back a few flat pixels of each
// picture (the overlay at a corner, the close button's centre, the backdrop
// beside a banner) and fails when one is off.
//
//   sorvel_gallery --out DIR [--check]

#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Common/SvlLog.h"
#include "InAppMessage/InAppMessage.h"
#include "Platform/Host.h"
#include "Platform/ProcessState.h"
#include "View/InAppMessage/InAppScreen.h"
#include "View/InAppMessage/Layouts.h"
#include "sorvel/SorvelHost.h"
#include "sorvel/render/InAppRenderer.h"

// fontconfig keeps its configuration until the process ends, which the leak
// checker of sanitizer builds would report; it is not ours to free.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}

namespace {

using namespace sorvel;

enum class ImageState { SHOWN, LOADING, FAILED };
const char* name(ImageState s) {
    return s == ImageState::SHOWN ? "shown" : s == ImageState::LOADING ? "loading" : "failed";
}

// A photo-like test image: a diagonal gradient with a few stripes.
platform::ImagePtr sampleImage(std::uint32_t w, std::uint32_t h) {
    auto img = std::make_shared<platform::Image>();
    img->width = w;
    img->height = h;
    img->rgba.resize(static_cast<std::size_t>(w) * h * 4);
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            std::uint8_t* p = &img->rgba[(static_cast<std::size_t>(y) * w + x) * 4];
            const double t = (static_cast<double>(x) / w + static_cast<double>(y) / h) / 2;
            const bool stripe = ((x + y) / 24) % 5 == 0;
            p[0] = static_cast<std::uint8_t>(30 + 180 * t);
            p[1] = static_cast<std::uint8_t>(stripe ? 200 : 90 + 60 * (1 - t));
            p[2] = static_cast<std::uint8_t>(200 - 120 * t);
            p[3] = 255;
        }
    }
    return img;
}

InAppMessageFields fields(const std::string& type, const std::string& layout) {
    InAppMessageFields f;
    f.campaignId = type + "-" + layout;
    f.type = type;
    f.layout = layout;
    f.bgColor = "#FFF8E7";
    f.overlayColor = "#99000000";
    f.titleText = "Spring sale";
    f.titleTextColor = "#202020";
    f.bodyText =
        "Everything in the shop is 20% off until Sunday. Tap a button below to see what is new, "
        "or close this message to carry on.";
    f.bodyTextColor = "#404040";
    f.textAlign = "center";
    f.defaultCloseButtonColor = "#FFFFFF";
    f.defaultCloseButtonBgColor = "#E0245E";
    IAMButtonInfo shop;
    shop.text = "Shop now";
    shop.textColor = "#FFFFFF";
    shop.bgColor = "#E0245E";
    shop.borderColor = "#E0245E";
    shop.clickAction = ClickAction{"shop", "weblink_and_close", "https://example.com/sale"};
    IAMButtonInfo later;
    later.text = "Later";
    later.clickAction = ClickAction{"later", "close", std::nullopt};
    f.buttonArray = {shop, later};
    f.numberOfButtons = 2;
    f.stickyBannerOption = StickyBannerOption{"top", ClickAction{"banner", "close", std::nullopt}};
    f.imageClickAction = ClickAction{"image", "close", std::nullopt};
    return f;
}

struct Pixel {
    int r, g, b;
};

Pixel pixelAt(cairo_surface_t* s, double x, double y) {
    cairo_surface_flush(s);
    const unsigned char* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    const auto px = *reinterpret_cast<const std::uint32_t*>(
        data + static_cast<std::ptrdiff_t>(y) * stride + static_cast<std::ptrdiff_t>(x) * 4);
    return Pixel{static_cast<int>((px >> 16) & 255), static_cast<int>((px >> 8) & 255),
                 static_cast<int>(px & 255)};
}

bool near(Pixel p, Pixel want) {
    return std::abs(p.r - want.r) <= 3 && std::abs(p.g - want.g) <= 3 &&
           std::abs(p.b - want.b) <= 3;
}

// The backdrop an app would show under the message: flat light grey.
constexpr Pixel kBackdrop{238, 238, 238};

}  // namespace

int main(int argc, char** argv) {
    std::string out = "gallery";
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else if (a == "--check") {
            check = true;
        } else {
            std::fprintf(stderr, "usage: %s --out DIR [--check]\n", argv[0]);
            return 2;
        }
    }
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    SorvelHost::setInAppTextMetrics(render::makeTextMetrics());

    struct Kind {
        std::string type, layout;
        bool hasImage;
    };
    const std::vector<Kind> kinds = {
        {"full_screen", "image", true}, {"full_screen", "image_and_text", true},
        {"modal", "image", true},       {"modal", "image_and_text", true},
        {"modal", "text", false},       {"sticky_banner", "image", true}};
    int pictures = 0;
    int failures = 0;
    for (const Kind& k : kinds) {
        for (bool portrait : {true, false}) {
            std::vector<ImageState> states = {ImageState::SHOWN};
            if (k.hasImage) {
                states.push_back(ImageState::LOADING);
                states.push_back(ImageState::FAILED);
            }
            for (ImageState state : states) {
                platform::host::removeAllWindows();
                platform::host::setInterfaceOrientation(
                    portrait ? platform::InterfaceOrientation::PORTRAIT
                             : platform::InterfaceOrientation::LANDSCAPE_RIGHT);
                const platform::Rect screen = platform::mainScreenBounds();
                auto window =
                    platform::host::addWindow(screen, platform::kWindowLevelNormal,
                                              portrait ? platform::EdgeInsets{47, 0, 34, 0}
                                                       : platform::EdgeInsets{0, 47, 21, 47},
                                              true);
                InAppMessageFields f = fields(k.type, k.layout);
                if (state == ImageState::SHOWN && k.hasImage) {
                    const bool banner = k.type == "sticky_banner";
                    f.portraitImage = sampleImage(banner ? 104 : 600, banner ? 104 : 800);
                    f.landscapeImage = sampleImage(banner ? 104 : 900, banner ? 104 : 500);
                }
                std::shared_ptr<IAMView> view =
                    makeInAppView(InAppMessage::make(f), [](const LogEventParameter&) {});
                window->addSubview(view);
                // Freeze the image area in the state wanted: no polling.
                if (view->countDownTimer) {
                    view->countDownTimer->stop();
                }
                ImageLoader* loader = nullptr;
                if (auto v = std::dynamic_pointer_cast<FullScreenImage>(view)) {
                    loader = &v->imageLoader();
                } else if (auto v2 = std::dynamic_pointer_cast<FullScreenImageAndText>(view)) {
                    loader = &v2->imageLoader();
                } else if (auto v3 = std::dynamic_pointer_cast<ModalImage>(view)) {
                    loader = &v3->imageLoader();
                } else if (auto v4 = std::dynamic_pointer_cast<ModalImageAndText>(view)) {
                    loader = &v4->imageLoader();
                } else if (auto v5 = std::dynamic_pointer_cast<StickyBanner>(view)) {
                    loader = &v5->imageLoader();
                }
                if (state == ImageState::FAILED && loader != nullptr) {
                    loader->spinnerView()->removeFromSuperview();
                    loader->showDefaultView();
                }
                window->layoutIfNeeded();
                const InAppViewNode node = snapshotOf(*view);

                cairo_surface_t* surface = cairo_image_surface_create(
                    CAIRO_FORMAT_ARGB32, static_cast<int>(screen.width()),
                    static_cast<int>(screen.height()));
                cairo_t* cr = cairo_create(surface);
                cairo_set_source_rgb(cr, kBackdrop.r / 255.0, kBackdrop.g / 255.0,
                                     kBackdrop.b / 255.0);
                cairo_paint(cr);
                render::drawViewTree(cr, node);
                cairo_destroy(cr);
                const std::string file = out + "/" + k.type + "-" + k.layout + "-" +
                                         (portrait ? "portrait" : "landscape") + "-" + name(state) +
                                         ".png";
                if (cairo_surface_write_to_png(surface, file.c_str()) != CAIRO_STATUS_SUCCESS) {
                    std::fprintf(stderr, "cannot write %s\n", file.c_str());
                    ++failures;
                }
                ++pictures;

                if (check) {
                    auto expect = [&](const char* what, double x, double y, Pixel want) {
                        const Pixel got = pixelAt(surface, x, y);
                        if (!near(got, want)) {
                            std::fprintf(stderr,
                                         "%s: %s at (%.0f, %.0f) is %d,%d,%d, not %d,%d,%d\n",
                                         file.c_str(), what, x, y, got.r, got.g, got.b, want.r,
                                         want.g, want.b);
                            ++failures;
                        }
                    };
                    const std::string& t = k.type;
                    if (t == "modal") {
                        // Overlay #99000000 over the backdrop.
                        const double a = 0x99 / 255.0;
                        const int c = static_cast<int>(std::lround(kBackdrop.r * (1 - a)));
                        expect("the overlay at a corner", 2, 2, Pixel{c, c, c});
                    } else if (t == "full_screen") {
                        expect("the background at a corner", 2, 2, Pixel{255, 248, 231});
                    } else {
                        expect("the backdrop beside the banner", 5, screen.height() - 5, kBackdrop);
                    }
                    if (t != "sticky_banner") {
                        // The close button's centre, between the strokes of its X.
                        auto* close =
                            t == "modal"
                                ? static_cast<ModalLayoutBase&>(*view).defaultCloseButton().get()
                            : t == "full_screen" && k.layout == "image"
                                ? static_cast<FullScreenImage&>(*view).defaultCloseButton().get()
                                : static_cast<FullScreenImageAndText&>(*view)
                                      .defaultCloseButton()
                                      .get();
                        const platform::Point centre =
                            close->convertTo(platform::Point{15, 4}, nullptr);
                        expect("the close button", centre.x, centre.y, Pixel{224, 36, 94});
                    }
                }
                cairo_surface_destroy(surface);
                view->close();
            }
        }
    }
    platform::host::removeAllWindows();
    std::printf("gallery: %d pictures in %s, %d failed checks\n", pictures, out.c_str(), failures);
    return failures == 0 ? 0 : 1;
}
