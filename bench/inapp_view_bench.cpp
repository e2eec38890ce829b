// In-app views: building a message's view with its layout pass, rendering a
// full-screen image-and-text message to a 390 x 844 surface, and delivering a
// tap to its handler. All on the main thread, as in the app.

#include <benchmark/benchmark.h>
#include <cairo.h>

#include "InAppMessage/InAppMessage.h"
#include "Platform/Host.h"
#include "Platform/ProcessState.h"
#include "View/InAppMessage/InAppScreen.h"
#include "View/InAppMessage/Layouts.h"
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

}  // namespace
