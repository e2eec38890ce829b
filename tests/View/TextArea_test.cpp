#include <gtest/gtest.h>

#include "InAppViewFixture.h"
#include "View/InAppMessage/InAppScreen.h"
#include "sorvel/SorvelHost.h"

namespace sorvel::testing {
namespace {

using platform::Point;
using platform::Rect;

class TextAreaTest : public InAppViewTest {
  protected:
    static std::string longBody() {
        std::string body;
        for (int i = 0; i < 60; ++i) {
            body += "Everything in the shop is 20% off until Sunday. ";
        }
        return body;
    }

    static Rect onScreen(const platform::View& v) {
        const Point o = v.convertTo(v.bounds().origin, nullptr);
        return Rect(o.x, o.y, v.frame().width(), v.frame().height());
    }

    // The frames of the labels inside a snapshot's scroll areas, in screen
    // coordinates, clipped as the renderer clips them.
    static void textFrames(const InAppViewNode& n, double x, double y, Rect clip,
                           std::vector<Rect>& out, bool inScroll = false) {
        inScroll = inScroll || n.kind == InAppNodeKind::SCROLL;
        const Rect f(x + n.frame.x, y + n.frame.y, n.frame.width, n.frame.height);
        if (n.clipsToBounds) {
            const double x0 = std::max(clip.minX(), f.minX());
            const double y0 = std::max(clip.minY(), f.minY());
            clip = Rect(x0, y0, std::max(0.0, std::min(clip.maxX(), f.maxX()) - x0),
                        std::max(0.0, std::min(clip.maxY(), f.maxY()) - y0));
        }
        if (inScroll && n.kind == InAppNodeKind::LABEL && !n.lines.empty()) {
            const double x0 = std::max(clip.minX(), f.minX());
            const double y0 = std::max(clip.minY(), f.minY());
            out.emplace_back(x0, y0, std::max(0.0, std::min(clip.maxX(), f.maxX()) - x0),
                             std::max(0.0, std::min(clip.maxY(), f.maxY()) - y0));
        }
        for (const InAppViewNode& c : n.children) {
            textFrames(c, f.minX(), f.minY(), clip, out, inScroll);
        }
    }
};

TEST_F(TextAreaTest, ALongModalTextStaysInItsAreaAndScrolls) {
    auto window = screen(true);
    auto f = messageFields("modal", "text");
    f.bodyText = longBody();
    auto view = show<ModalText>(window, f);
    const auto& area = view->textScrollView();
    EXPECT_TRUE(area->clipsToBounds);
    ASSERT_TRUE(area->canScrollVertically());
    const Rect box = onScreen(*area);
    const Rect row = onScreen(*view->buttonStack());
    EXPECT_LE(box.maxY() + 15, row.minY() + 0.5);

    // What the renderer would draw of the text stays inside the area.
    std::vector<Rect> drawn;
    textFrames(snapshotOf(*view), 0, 0, Rect(0, 0, 1e6, 1e6), drawn);
    ASSERT_FALSE(drawn.empty());
    for (const Rect& r : drawn) {
        if (r.width() > 0 && r.height() > 0) {
            EXPECT_GE(r.minY(), box.minY() - 0.01);
            EXPECT_LE(r.maxY(), box.maxY() + 0.01);
        }
    }

    // A drag upwards over the text scrolls it; the card does not move.
    const Rect card = onScreen(*view->container());
    platform::Drag drag = window->beginDrag(Point{box.midX(), box.maxY() - 10});
    ASSERT_TRUE(drag.recognizer());
    drag.moveTo(Point{box.midX(), box.maxY() - 210});
    drag.end(Point{box.midX(), box.maxY() - 210});
    EXPECT_EQ(area->contentOffset().y, 200);
    EXPECT_EQ(onScreen(*view->container()), card);
    // A wheel moves it on to the end and no farther.
    EXPECT_TRUE(window->scroll(Point{box.midX(), box.midY()}, 0, 1e6));
    EXPECT_EQ(area->contentOffset().y, area->contentSize.height - box.height());
    EXPECT_FALSE(window->scroll(Point{box.midX(), box.midY()}, 0, 10));

    // A tap still reaches the buttons below the text area.
    opened_.clear();
    const Rect second = onScreen(*view->buttonStack()->arrangedSubviews()[1]);
    EXPECT_TRUE(window->tap(Point{second.midX(), second.midY()}));
    EXPECT_EQ(opened_, std::vector<std::string>{"https://example.com/x"});
}

TEST_F(TextAreaTest, LongTextBesideAnImageEndsAboveTheButtons) {
    auto window = screen(false);
    auto f = messageFields("full_screen", "image_and_text");
    f.bodyText = longBody();
    f.landscapeImage = solidImage(40, 20);
    auto view = show<FullScreenImageAndText>(window, f);
    const auto& area = view->textScrollView();
    const Rect box = onScreen(*area);
    const Rect row = onScreen(*view->buttonStack());
    EXPECT_NEAR(box.maxY(), row.minY() - 15, 0.01);
    ASSERT_TRUE(area->canScrollVertically());
    std::vector<Rect> drawn;
    textFrames(snapshotOf(*view), 0, 0, Rect(0, 0, 1e6, 1e6), drawn);
    for (const Rect& r : drawn) {
        EXPECT_LE(r.maxY(), row.minY() - 15 + 0.01);
    }
    // The wheel through the screen a presenter holds.
    WindowMessageScreen screenObject(view, window);
    EXPECT_TRUE(screenObject.scroll(box.midX(), box.midY(), 0, 50));
    EXPECT_EQ(area->contentOffset().y, 50);
    EXPECT_FALSE(screenObject.scroll(box.midX(), row.midY(), 0, 50));
    // "Button b1" closes.
    const Rect first = onScreen(*view->buttonStack()->arrangedSubviews()[0]);
    EXPECT_TRUE(screenObject.tap(first.midX(), first.midY()));
    EXPECT_TRUE(view->isClosed());
    EXPECT_FALSE(screenObject.scroll(box.midX(), box.midY(), 0, 50));
}

TEST_F(TextAreaTest, ModalImageAndTextScrollsImageAndTextTogether) {
    auto window = screen(true);
    auto f = messageFields("modal", "image_and_text");
    f.bodyText = longBody() + longBody();
    f.portraitImage = solidImage(29, 10);
    auto view = show<ModalImageAndText>(window, f);
    const auto& area = view->textScrollView();
    EXPECT_TRUE(area->clipsToBounds);
    const Rect box = onScreen(*area);
    const double imageTop = onScreen(*view->imageLoader().imageView()).minY();
    EXPECT_TRUE(window->scroll(Point{box.midX(), box.midY()}, 0, 100));
    EXPECT_NEAR(onScreen(*view->imageLoader().imageView()).minY(), imageTop - 100, 0.01);
    // A drag that begins on the image scrolls too, and a tap on it still
    // runs its action.
    platform::Drag drag = window->beginDrag(Point{box.midX(), box.minY() + 5});
    drag.moveTo(Point{box.midX(), box.minY() + 105});
    drag.end(Point{box.midX(), box.minY() + 105});
    EXPECT_EQ(area->contentOffset().y, 0);
    EXPECT_TRUE(window->tap(Point{box.midX(), box.minY() + 20}));
    EXPECT_TRUE(view->isClosed());
}

TEST_F(TextAreaTest, ClickLogLinesEscapeWhatTheyQuote) {
    const std::string arg = "https://x.example/\"a\\b\nnext line\r\x01";
    onClick("cmp", ClickAction{"a", "weblink", "bad \"url\"\\\nforged"}, nullptr, nullptr);
    onClick("cmp", ClickAction{"a", "close\"\n", arg}, nullptr, nullptr);
    SvlLog::flush();
    EXPECT_TRUE(
        log_.contains("onClick :: can not get url from actionArg, actionArg : "
                      "Optional(\"bad \\\"url\\\"\\\\\\nforged\")"));
    EXPECT_TRUE(log_.contains(
        "onClick :: unknown clickActionType, clickActionType : Optional(\"close\\\"\\n\")"));
    // No value starts a line of its own.
    for (const std::string& line : log_.lines()) {
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_EQ(
            line.find("forged") == std::string::npos || line.find("\\nforged") != std::string::npos,
            true)
            << line;
        EXPECT_NE(line.rfind("next line", 0), 0u) << line;
    }
}

// An app's metrics: 7 points a byte; with batch answers it may also give a
// list of the wrong length.
class AppMetrics final : public InAppTextMetrics {
  public:
    explicit AppMetrics(bool batch, bool shortAnswer = false)
        : batch_(batch), shortAnswer_(shortAnswer) {}
    double lineWidth(std::string_view utf8, double, bool) const override {
        ++lineCalls;
        return 7.0 * static_cast<double>(utf8.size());
    }
    double lineHeight(double size, bool) const override { return size + 3; }
    std::vector<double> pieceWidths(std::string_view utf8, const std::vector<std::size_t>& ends,
                                    double size, bool bold) const override {
        ++batchCalls;
        if (!batch_) {
            return InAppTextMetrics::pieceWidths(utf8, ends, size, bold);
        }
        std::vector<double> out;
        std::size_t start = 0;
        for (std::size_t e : ends) {
            out.push_back(7.0 * static_cast<double>(e - start));
            start = e;
        }
        if (shortAnswer_) {
            out.resize(out.size() / 2);
        }
        return out;
    }
    mutable int lineCalls = 0;
    mutable int batchCalls = 0;

  private:
    bool batch_;
    bool shortAnswer_;
};

TEST_F(TextAreaTest, AnAppsMetricsMeasureEachTextOnceInABatch) {
    for (const bool batch : {true, false}) {
        SCOPED_TRACE(batch ? "batch" : "default");
        auto metrics = std::make_shared<AppMetrics>(batch);
        SorvelHost::setInAppTextMetrics(metrics);
        auto label = makeBodyLabel(std::nullopt, std::string("one two three four"), "left");
        const platform::TextBlock block = label->textLayout(70);  // 10 bytes a line
        ASSERT_EQ(block.lines.size(), 2u);
        EXPECT_EQ(block.lines[0].text, "one two");
        EXPECT_EQ(block.lines[0].width, 49);
        EXPECT_EQ(block.lines[1].text, "three four");
        EXPECT_EQ(block.lineHeight, 17);
        // Other widths are set from the same measuring.
        const int batches = metrics->batchCalls;
        EXPECT_EQ(batches, 1);
        label->textLayout(140);
        label->textLayout(35);
        EXPECT_EQ(metrics->batchCalls, batches);
        // The default answer measures each piece with lineWidth.
        EXPECT_EQ(metrics->lineCalls > 0, !batch);
    }
    // A wrong answer is read as nothing measured, not past its end.
    SorvelHost::setInAppTextMetrics(std::make_shared<AppMetrics>(true, true));
    auto label = makeBodyLabel(std::nullopt, std::string("one two three four"), "left");
    EXPECT_EQ(label->textLayout(70).lines.size(), 1u);
    SorvelHost::setInAppTextMetrics(nullptr);
}

}  // namespace
}  // namespace sorvel::testing
