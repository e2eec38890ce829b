// Renders every in-app layout in both orientations and in its image states
// (shown, loading, failed) to PNG files, on the reference screens: portrait
// 390 x 844 (insets top 47, bottom 34) and landscape 844 x 390 (left 47,
// right 47, bottom 21), then long texts (as laid out and scrolled) and a
// right-to-left message. With --check it reads back pixels of each picture
// (the overlay at a corner, the close button's centre, the backdrop beside a
// banner; the card, overlay and buttons around a long text area, which no
// text may reach; the Arabic title's joined strokes and its right edge) and
// fails when one is off.
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
constexpr Pixel kCard{255, 248, 231};  // the messages' bgColor #FFF8E7
constexpr Pixel kButton{224, 36, 94};  // "Shop now", #E0245E
constexpr Pixel kOverlay{92, 92, 92};  // #99000000 over the backdrop

std::shared_ptr<platform::Window> window(bool portrait) {
    platform::host::removeAllWindows();
    platform::host::setInterfaceOrientation(portrait
                                                ? platform::InterfaceOrientation::PORTRAIT
                                                : platform::InterfaceOrientation::LANDSCAPE_RIGHT);
    return platform::host::addWindow(
        platform::mainScreenBounds(), platform::kWindowLevelNormal,
        portrait ? platform::EdgeInsets{47, 0, 34, 0} : platform::EdgeInsets{0, 47, 21, 47}, true);
}

// The view drawn over the backdrop on a surface of the screen's size.
cairo_surface_t* draw(platform::Window& window, const platform::View& view) {
    window.layoutIfNeeded();
    const InAppViewNode node = snapshotOf(view);
    cairo_surface_t* surface =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(window.frame().width()),
                                   static_cast<int>(window.frame().height()));
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, kBackdrop.r / 255.0, kBackdrop.g / 255.0, kBackdrop.b / 255.0);
    cairo_paint(cr);
    render::drawViewTree(cr, node);
    cairo_destroy(cr);
    return surface;
}

// A view's frame in window coordinates.
platform::Rect onScreen(const platform::View& v) {
    const platform::Point o = v.convertTo(v.bounds().origin, nullptr);
    return platform::Rect(o.x, o.y, v.frame().width(), v.frame().height());
}

// Checks of one picture; each failure is printed and counted.
class Checks {
  public:
    Checks(cairo_surface_t* surface, std::string file, int& failures)
        : surface_(surface), file_(std::move(file)), failures_(failures) {}

    // Every pixel of the rectangle (whole pixels inside it) has the colour.
    void flat(const char* what, const platform::Rect& r, Pixel want) {
        for (int y = static_cast<int>(std::ceil(r.minY())); y < static_cast<int>(r.maxY()); ++y) {
            for (int x = static_cast<int>(std::ceil(r.minX())); x < static_cast<int>(r.maxX());
                 ++x) {
                const Pixel got = pixelAt(surface_, x, y);
                if (!near(got, want)) {
                    fail(what, x, y, got, want);
                    return;
                }
            }
        }
    }

    // The columns of the rectangle holding ink (a pixel far from the
    // ground), as runs: [first, last] of each.
    std::vector<std::pair<int, int>> inkRuns(const platform::Rect& r, Pixel ground) const {
        std::vector<std::pair<int, int>> runs;
        for (int x = static_cast<int>(std::ceil(r.minX())); x < static_cast<int>(r.maxX()); ++x) {
            bool ink = false;
            for (int y = static_cast<int>(std::ceil(r.minY()));
                 !ink && y < static_cast<int>(r.maxY()); ++y) {
                const Pixel p = pixelAt(surface_, x, y);
                ink =
                    std::abs(p.r - ground.r) + std::abs(p.g - ground.g) + std::abs(p.b - ground.b) >
                    90;
            }
            if (ink && !runs.empty() && runs.back().second == x - 1) {
                runs.back().second = x;
            } else if (ink) {
                runs.emplace_back(x, x);
            }
        }
        return runs;
    }

    void expect(bool ok, const std::string& what) {
        if (!ok) {
            std::fprintf(stderr, "%s: %s\n", file_.c_str(), what.c_str());
            ++failures_;
        }
    }

  private:
    void fail(const char* what, int x, int y, Pixel got, Pixel want) {
        std::fprintf(stderr, "%s: %s at (%d, %d) is %d,%d,%d, not %d,%d,%d\n", file_.c_str(), what,
                     x, y, got.r, got.g, got.b, want.r, want.g, want.b);
        ++failures_;
    }

    cairo_surface_t* surface_;
    std::string file_;
    int& failures_;
};

std::string longBody() {
    std::string body;
    for (int i = 1; i <= 40; ++i) {
        body += "Paragraph " + std::to_string(i) +
                ": everything in the shop is 20% off until Sunday, and more arrives each day. ";
    }
    return body;
}

// Long texts scroll inside their area and never draw outside it; a right-to-
// left message is shaped, ordered and aligned as it reads.
void textPictures(const std::string& out, bool check, int& pictures, int& failures) {
    auto save = [&](cairo_surface_t* surface, const std::string& name) {
        const std::string file = out + "/" + name + ".png";
        if (cairo_surface_write_to_png(surface, file.c_str()) != CAIRO_STATUS_SUCCESS) {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            ++failures;
        }
        ++pictures;
        return file;
    };

    {  // A long body on a modal card, as laid out and scrolled.
        auto w = window(true);
        InAppMessageFields f = fields("modal", "text");
        f.bodyText = longBody();
        auto view = std::static_pointer_cast<ModalText>(
            makeInAppView(InAppMessage::make(f), [](const LogEventParameter&) {}));
        w->addSubview(view);
        for (bool scrolled : {false, true}) {
            cairo_surface_t* surface = draw(*w, *view);
            const platform::Rect area = onScreen(*view->textScrollView());
            const platform::Rect card = onScreen(*view->container());
            const platform::Rect row = onScreen(*view->buttonStack());
            const std::string file = save(surface, scrolled ? "modal-text-portrait-long-scrolled"
                                                            : "modal-text-portrait-long");
            if (check) {
                Checks c(surface, file, failures);
                c.flat("the card between the text and the buttons",
                       platform::Rect(card.minX() + 2, area.maxY() + 1, card.width() - 4,
                                      row.minY() - area.maxY() - 2),
                       kCard);
                c.flat("the card above the text",
                       platform::Rect(card.minX() + 2, card.minY() + 2, card.width() - 40,
                                      area.minY() - card.minY() - 3),
                       kCard);
                c.flat("the overlay below the card",
                       platform::Rect(0, card.maxY() + 1, w->frame().width(),
                                      w->frame().height() - card.maxY() - 1),
                       kOverlay);
                c.expect(view->textScrollView()->canScrollVertically(),
                         "the long text does not scroll");
            }
            cairo_surface_destroy(surface);
            // A wheel over the text moves it by 300 points.
            if (!scrolled) {
                const bool moved = w->scroll(platform::Point{area.midX(), area.midY()}, 0, 300);
                if (check) {
                    Checks(nullptr, out, failures)
                        .expect(moved && view->textScrollView()->contentOffset().y == 300,
                                "a scroll over the long text does not move it");
                }
            }
        }
        view->close();
    }

    {  // A long body beside the image in landscape, above its buttons.
        auto w = window(false);
        InAppMessageFields f = fields("full_screen", "image_and_text");
        f.bodyText = longBody();
        f.landscapeImage = sampleImage(900, 500);
        auto view = std::static_pointer_cast<FullScreenImageAndText>(
            makeInAppView(InAppMessage::make(f), [](const LogEventParameter&) {}));
        w->addSubview(view);
        cairo_surface_t* surface = draw(*w, *view);
        const platform::Rect area = onScreen(*view->textScrollView());
        const platform::Rect row = onScreen(*view->buttonStack());
        const platform::Rect shop = onScreen(*view->buttonStack()->arrangedSubviews().front());
        const std::string file = save(surface, "full_screen-image_and_text-landscape-long");
        if (check) {
            Checks c(surface, file, failures);
            c.flat("the background between the text and the buttons",
                   platform::Rect(area.minX(), area.maxY() + 1, area.width(),
                                  row.minY() - area.maxY() - 2),
                   kCard);
            c.flat("the top of \"Shop now\"",
                   platform::Rect(shop.minX() + 3, shop.minY() + 3, shop.width() - 6, 8), kButton);
        }
        cairo_surface_destroy(surface);
        view->close();
    }

    {  // Right to left: Arabic, right-aligned.
        auto w = window(true);
        InAppMessageFields f = fields("modal", "text");
        f.titleText = "\u0643\u062A\u0628 \u0628\u062E\u0635\u0645";  // "books at a discount"
        f.bodyText =
            "\u062E\u0635\u0645 20% \u0639\u0644\u0649 \u0643\u0644 \u0627\u0644\u0643\u062A"
            "\u0628 \u062D\u062A\u0649 \u064A\u0648\u0645 \u0627\u0644\u0623\u062D\u062F. "
            "\u0627\u0636\u063A\u0637 \u0639\u0644\u0649 \u0632\u0631 \u0623\u062F\u0646"
            "\u0627\u0647 \u0644\u062A\u0631\u0649 \u0627\u0644\u062C\u062F\u064A\u062F "
            "(SALE20)\u060C \u0623\u0648 \u0623\u063A\u0644\u0642 \u0647\u0630\u0647 "
            "\u0627\u0644\u0631\u0633\u0627\u0644\u0629.";
        f.textAlign = "right";
        f.buttonArray[0].text = "\u062A\u0633\u0648\u0642 \u0627\u0644\u0622\u0646";
        f.buttonArray[1].text = "\u0644\u0627\u062D\u0642\u0627\u064B";
        auto view = std::static_pointer_cast<ModalText>(
            makeInAppView(InAppMessage::make(f), [](const LogEventParameter&) {}));
        w->addSubview(view);
        cairo_surface_t* surface = draw(*w, *view);
        const std::string file = save(surface, "modal-text-portrait-rtl");
        if (check) {
            Checks c(surface, file, failures);
            const platform::Rect title =
                onScreen(*view->textScrollView()->stack()->arrangedSubviews().front());
            const std::vector<std::pair<int, int>> runs = c.inkRuns(title, kCard);
            // Joined, the two words are two strokes; letters set apart
            // would be seven.
            c.expect(runs.size() >= 2 && runs.size() <= 3,
                     "the Arabic title is not joined: " + std::to_string(runs.size()) +
                         " separate marks");
            c.expect(!runs.empty() && runs.back().second >= title.maxX() - 4,
                     "the right-aligned title does not end at the right edge");
        }
        cairo_surface_destroy(surface);
        view->close();
    }
}

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
    textPictures(out, check, pictures, failures);
    platform::host::removeAllWindows();
    std::printf("gallery: %d pictures in %s, %d failed checks\n", pictures, out.c_str(), failures);
    return failures == 0 ? 0 : 1;
}
