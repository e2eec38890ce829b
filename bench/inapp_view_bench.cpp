// In-app views: building a message's view with its layout pass, rendering a
// full-screen image-and-text message to a 390 x 844 surface, delivering a tap
// to its handler, and showing the longest texts a campaign answer admits
// (built, laid out, snapshot and drawn with the reference renderer's shaped
// text). All on the main thread, as in the app.

#include <benchmark/benchmark.h>
#include <cairo.h>

#include "InAppMessage/InAppMessage.h"
#include "Platform/Host.h"
#include "Platform/ProcessState.h"
#include "View/InAppMessage/InAppScreen.h"
#include "View/InAppMessage/Layouts.h"
#include "sorvel/SorvelHost.h"
#include "sorvel/render/InAppRenderer.h"

namespace {

using namespace sorvel;

platform::ImagePtr image(std::uint32_t w, std::uint32_t h) {
    auto img = std::make_shared<platform::Image>();
    img->width = w;
    img->height = h;
    img->rgba.assign(static_cast<std::size_t>(w) * h * 4, 180);
    return img;
}

InAppMessageFields fields(const std::string& type, const std::string& layout) {
    InAppMessageFields f;
    f.campaignId = "bench";
    f.type = type;
    f.layout = layout;
    f.bgColor = "#FFFFFF";
    f.overlayColor = "#99000000";
    f.titleText = "A title of a few words";
    std::string body(400, 'a');
    for (std::size_t i = 7; i < body.size(); i += 8) {
        body[i] = ' ';
    }
    f.bodyText = body;
    f.defaultCloseButtonColor = "#000000";
    f.defaultCloseButtonBgColor = "#FFFFFF";
    IAMButtonInfo b;
    b.text = "OK";
    b.clickAction = ClickAction{"ok", "weblink", "https://example.com"};
    f.buttonArray = {b, b};
    f.portraitImage = f.landscapeImage = image(750, 1000);
    f.stickyBannerOption = StickyBannerOption{"top", ClickAction{}};
    return f;
}

std::shared_ptr<platform::Window> window() {
    platform::host::removeAllWindows();
    platform::host::setInterfaceOrientation(platform::InterfaceOrientation::PORTRAIT);
    return platform::host::addWindow(platform::mainScreenBounds(), platform::kWindowLevelNormal,
                                     platform::EdgeInsets{47, 0, 34, 0}, true);
}

void BM_MakeViewAndLayout(benchmark::State& state) {
    static const std::vector<std::pair<std::string, std::string>> kinds = {
        {"full_screen", "image"}, {"full_screen", "image_and_text"},
        {"modal", "image"},       {"modal", "image_and_text"},
        {"modal", "text"},        {"sticky_banner", "image"}};
    const auto& kind = kinds[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(kind.first + "/" + kind.second);
    auto w = window();
    auto message = InAppMessage::make(fields(kind.first, kind.second));
    for (auto _ : state) {
        std::shared_ptr<IAMView> view = message->makeView([](const LogEventParameter&) {});
        w->addSubview(view);
        w->layoutIfNeeded();
        benchmark::DoNotOptimize(view->frame());
        view->close();
    }
}
BENCHMARK(BM_MakeViewAndLayout)->DenseRange(0, 5)->Unit(benchmark::kMicrosecond);

void BM_RenderFullScreenImageAndText(benchmark::State& state) {
    auto w = window();
    auto message = InAppMessage::make(fields("full_screen", "image_and_text"));
    std::shared_ptr<IAMView> view = message->makeView([](const LogEventParameter&) {});
    w->addSubview(view);
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 390, 844);
    for (auto _ : state) {
        w->layoutIfNeeded();
        const InAppViewNode node = snapshotOf(*view);
        cairo_t* cr = cairo_create(surface);
        render::drawViewTree(cr, node);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
    }
    cairo_surface_destroy(surface);
    view->close();
}
BENCHMARK(BM_RenderFullScreenImageAndText)->Unit(benchmark::kMillisecond);

void BM_TapDelivery(benchmark::State& state) {
    auto w = window();
    auto message = InAppMessage::make(fields("modal", "text"));
    std::shared_ptr<IAMView> view = message->makeView([](const LogEventParameter&) {});
    w->addSubview(view);
    w->layoutIfNeeded();
    // The overlay's recogniser-free area: a tap walks the whole hit chain.
    int taps = 0;
    view->addGestureRecognizer(std::make_shared<platform::TapGestureRecognizer>(
        [&](platform::GestureRecognizer&) { ++taps; }));
    for (auto _ : state) {
        benchmark::DoNotOptimize(w->tap(platform::Point{195, 300}));
    }
    state.counters["taps"] = taps;
    view->close();
}
BENCHMARK(BM_TapDelivery)->Unit(benchmark::kMicrosecond);

// The longest texts: what one campaign answer may hold (16 MiB), written to
// be as costly as possible to set.
std::string longText(int kind) {
    constexpr std::size_t kAnswerCap = 16u * 1024u * 1024u;
    std::string text;
    switch (kind) {
        case 0:  // 50,000 right-to-left marks with accents, then 200,000 "W": one word
            for (int i = 0; i < 50000; ++i) {
                text += "\u200F\u0301";
            }
            text += std::string(200000, 'W');
            break;
        case 1:  // ordinary words up to the answer cap
            while (text.size() < kAnswerCap) {
                text += "Everything in the shop is 20% off until Sunday. ";
            }
            break;
        case 2:  // Arabic words up to the answer cap
            while (text.size() < kAnswerCap) {
                text +=
                    "\u062E\u0635\u0645 \u0639\u0644\u0649 \u0643\u0644 "
                    "\u0627\u0644\u0643\u062A\u0628 ";
            }
            break;
        default:  // one word up to the answer cap
            text = std::string(kAnswerCap, 'W');
            break;
    }
    return text;
}

// Builds the message's view, lays it out, takes its snapshot and draws it:
// what the main thread does between an event and the first picture.
void BM_LongTextShown(benchmark::State& state) {
    static const std::vector<std::pair<std::string, std::string>> layouts = {
        {"modal", "text"}, {"full_screen", "image_and_text"}, {"modal", "image_and_text"}};
    static const char* const kinds[] = {"marks+W 450KB", "words 16MiB", "arabic 16MiB",
                                        "one word 16MiB"};
    const auto& layout = layouts[static_cast<std::size_t>(state.range(0))];
    const int kind = static_cast<int>(state.range(1));
    state.SetLabel(layout.first + "/" + layout.second + " " + kinds[kind]);
    SorvelHost::setInAppTextMetrics(render::makeTextMetrics());
    auto w = window();
    InAppMessageFields f = fields(layout.first, layout.second);
    f.titleText = longText(kind).substr(0, 1024 * 1024);
    f.bodyText = longText(kind);
    auto message = InAppMessage::make(f);
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 390, 844);
    auto once = [&] {
        std::shared_ptr<IAMView> view = message->makeView([](const LogEventParameter&) {});
        w->addSubview(view);
        w->layoutIfNeeded();
        const InAppViewNode node = snapshotOf(*view);
        cairo_t* cr = cairo_create(surface);
        render::drawViewTree(cr, node);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        view->close();
    };
    once();  // fonts found and loaded once per process, not per message
    for (auto _ : state) {
        once();
    }
    cairo_surface_destroy(surface);
    SorvelHost::setInAppTextMetrics(nullptr);
}
BENCHMARK(BM_LongTextShown)
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2, 3}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.2);

}  // namespace
