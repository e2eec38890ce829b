#include <gtest/gtest.h>

#include "Common/SVLBooleanState.h"
#include "InAppViewFixture.h"
#include "Platform/NotificationCenter.h"

namespace sorvel::testing {
namespace {

using platform::Point;
using platform::Rect;

class LayoutsTest : public InAppViewTest {};

TEST_F(LayoutsTest, FullScreenImageOnBothReferenceScreens) {
    auto f = messageFields("full_screen", "image");
    f.portraitImage = f.landscapeImage = solidImage(10, 10);
    auto portrait = show<FullScreenImage>(screen(true), f);
    EXPECT_EQ(portrait->frame(), Rect(0, 0, 390, 844));
    EXPECT_EQ(portrait->background()->frame(), Rect(0, 0, 390, 844));
    EXPECT_EQ(portrait->imageLoader().imageView()->frame(), Rect(0, 47, 390, 763));
    EXPECT_EQ(portrait->defaultCloseButton()->frame(), Rect(345, 62, 30, 30));
    EXPECT_EQ(portrait->buttonStack()->frame(), Rect(15, 743, 360, 52));
    EXPECT_EQ(portrait->buttonStack()->arrangedSubviews()[1]->frame(), Rect(185, 0, 175, 52));
    // Z-order: background, image, close button, buttons.
    EXPECT_EQ(portrait->subviews().front(), portrait->background());
    EXPECT_EQ(portrait->subviews().back(), portrait->buttonStack());
    platform::host::removeAllWindows();

    auto landscape = show<FullScreenImage>(screen(false), f);
    EXPECT_EQ(landscape->frame(), Rect(0, 0, 844, 390));
    EXPECT_EQ(landscape->imageLoader().imageView()->frame(), Rect(47, 0, 750, 369));
    EXPECT_EQ(landscape->defaultCloseButton()->frame(), Rect(752, 15, 30, 30));
    EXPECT_EQ(landscape->buttonStack()->frame(), Rect(62, 302, 720, 52));
}

TEST_F(LayoutsTest, FullScreenImageAndTextOnBothReferenceScreens) {
    auto f = messageFields("full_screen", "image_and_text");
    f.portraitImage = f.landscapeImage = solidImage(10, 10);
    auto portrait = show<FullScreenImageAndText>(screen(true), f);
    EXPECT_EQ(portrait->imageLoader().imageView()->frame(), Rect(0, 47, 390, 381.5));
    EXPECT_EQ(portrait->defaultCloseButton()->frame(), Rect(345, 62, 30, 30));
    // A short text: the area is as tall as title (24), gap (5) and body (17).
    EXPECT_EQ(portrait->textScrollView()->frame(), Rect(15, 443.5, 360, 46));

    f.buttonArray.clear();
    platform::host::removeAllWindows();
    auto noButtons = show<FullScreenImageAndText>(screen(true), f);
    EXPECT_EQ(noButtons->textScrollView()->frame(), Rect(15, 443.5, 360, 351.5));
    EXPECT_EQ(noButtons->buttonStack()->frame().height(), 0);

    // A long body stops 15 points above the buttons and scrolls.
    f = messageFields("full_screen", "image_and_text");
    f.bodyText = std::string(5000, 'x');
    platform::host::removeAllWindows();
    auto longText = show<FullScreenImageAndText>(screen(false), f);
    // Landscape safe area (47, 0, 750, 369): image half 184.5 high.
    EXPECT_EQ(longText->textScrollView()->frame(), Rect(62, 199.5, 720, 302 - 15 - 199.5));
    EXPECT_TRUE(longText->textScrollView()->canScrollVertically());
    EXPECT_FALSE(longText->textScrollView()->canScrollHorizontally());
}

TEST_F(LayoutsTest, ModalImageCardFollowsItsImageWithinBounds) {
    auto f = messageFields("modal", "image");
    f.portraitImage = solidImage(300, 500);
    f.landscapeImage = solidImage(300, 500);
    auto portrait = show<ModalImage>(screen(true), f);
    EXPECT_EQ(portrait->container()->frame(), Rect(29.25, 172, 331.5, 500));
    EXPECT_EQ(portrait->imageLoader().imageView()->frame(), Rect(0, 0, 331.5, 500));
    EXPECT_EQ(portrait->defaultCloseButton()->frame(), Rect(316.5, -15, 30, 30));
    EXPECT_EQ(portrait->buttonStack()->frame(), Rect(15, 433, 301.5, 52));
    EXPECT_EQ(portrait->backgroundColor, (platform::Color{0, 0, 0, 128.0 / 255}));
    platform::host::removeAllWindows();

    auto landscape = show<ModalImage>(screen(false), f);
    EXPECT_EQ(landscape->container()->frame(), Rect(211, 29.25, 422, 331.5));
    platform::host::removeAllWindows();

    f.portraitImage = solidImage(300, 2000);
    auto tall = show<ModalImage>(screen(true), f);
    EXPECT_EQ(tall->container()->frame().height(), 0.8 * 844);
}

TEST_F(LayoutsTest, ModalImageAndTextStripAndCard) {
    auto f = messageFields("modal", "image_and_text");
    f.portraitImage = f.landscapeImage = solidImage(10, 10);
    auto portrait = show<ModalImageAndText>(screen(true), f);
    EXPECT_EQ(portrait->container()->frame(), Rect(29.25, 211, 331.5, 422));
    EXPECT_DOUBLE_EQ(portrait->imageLoader().imageView()->frame().height(), 331.5 * 10 / 29);
    EXPECT_EQ(portrait->textScrollView()->frame(), Rect(0, 0, 331.5, 340));
    EXPECT_DOUBLE_EQ(portrait->titleLabel()->frame().minY(), 331.5 * 10 / 29 + 15);
    EXPECT_EQ(portrait->titleLabel()->frame().minX(), 15);
    platform::host::removeAllWindows();

    f.buttonArray.clear();
    auto landscape = show<ModalImageAndText>(screen(false), f);
    // A square of 0.85 x the height, whatever the width.
    EXPECT_EQ(landscape->container()->frame(), Rect(256.25, 29.25, 331.5, 331.5));
    EXPECT_EQ(landscape->textScrollView()->frame(), Rect(0, 0, 331.5, 316.5));
}

TEST_F(LayoutsTest, ModalTextCardAndOverhangingCloseButton) {
    auto f = messageFields("modal", "text");
    auto window = screen(true);
    auto view = show<ModalText>(window, f);
    EXPECT_EQ(view->container()->frame(), Rect(29.25, 211, 331.5, 422));
    EXPECT_EQ(view->defaultCloseButton()->frame(), Rect(316.5, -15, 30, 30));
    EXPECT_EQ(view->buttonStack()->frame(), Rect(15, 355, 301.5, 52));
    EXPECT_EQ(view->textScrollView()->frame(), Rect(15, 15, 301.5, 325));
    // A short text sits in the middle of the area.
    const auto& stack = view->textScrollView()->stack();
    EXPECT_DOUBLE_EQ(stack->frame().minY(), (325 - 46) / 2.0);

    // The part of the close button outside the card still closes the view.
    SVLBooleanState::isInAppMessageShowing().set(true);
    EXPECT_TRUE(window->tap(Point{373, 201}));
    EXPECT_EQ(view->superview(), nullptr);
    EXPECT_TRUE(view->isClosed());
    EXPECT_TRUE(pumpUntil([] { return !SVLBooleanState::isInAppMessageShowing().get(); }));
    // A close logs no click.
    EXPECT_EQ(eventTypes(), std::vector<std::string>{"string:impression"});

    // Beside the button and outside the card, the overlay takes the tap and
    // nothing happens.
    auto again = show<ModalText>(window, f);
    EXPECT_FALSE(window->tap(Point{10, 100}));
    EXPECT_FALSE(again->isClosed());

    platform::host::removeAllWindows();
    auto landscape = show<ModalText>(screen(false), f);
    EXPECT_EQ(landscape->container()->frame(), Rect(256.25, 29.25, 331.5, 331.5));
}

TEST_F(LayoutsTest, ModalTextHeightSwitchesAtTwoHundredCharacters) {
    auto heightFor = [&](const std::string& title, const std::string& body) {
        auto f = messageFields("modal", "text");
        f.titleText = title;
        f.bodyText = body;
        auto v = show<ModalText>(screen(true), f);
        platform::host::removeAllWindows();
        return v->container()->frame().height();
    };
    const std::string accent = "e\xCC\x81";  // two code points, one character
    std::string body199;
    for (int i = 0; i < 194; ++i) {
        body199 += accent;
    }
    EXPECT_EQ(heightFor("Title", body199), 422);              // 5 + 194
    EXPECT_EQ(heightFor("Title", body199 + "x"), 0.8 * 844);  // 200
    EXPECT_EQ(heightFor("", ""), 422);
}

TEST_F(LayoutsTest, StickyBannerPlacements) {
    auto f = messageFields("sticky_banner", "whatever");
    f.portraitImage = f.landscapeImage = solidImage(10, 10);
    auto top = show<StickyBanner>(screen(true), f);
    EXPECT_EQ(top->frame(), Rect(0, 47, 390, 98));
    EXPECT_EQ(top->container()->frame(), Rect(15, 15, 360, 68));
    EXPECT_EQ(top->imageLoader().imageView()->frame(), Rect(8, 8, 52, 52));
    EXPECT_EQ(top->bodyLabel()->frame().minX(), 68);
    EXPECT_EQ(top->bodyLabel()->frame().width(), 284);
    EXPECT_EQ(top->backgroundColor, platform::Color::clear());
    platform::host::removeAllWindows();

    f.stickyBannerOption = StickyBannerOption{"bottom", ClickAction{}};
    auto bottom = show<StickyBanner>(screen(true), f);
    EXPECT_EQ(bottom->frame(), Rect(0, 712, 390, 98));
    platform::host::removeAllWindows();

    f.stickyBannerOption = StickyBannerOption{"BOTTOM", ClickAction{}};
    auto other = show<StickyBanner>(screen(false), f);
    EXPECT_EQ(other->frame(), Rect(0, 0, 844, 98));
    EXPECT_EQ(other->container()->frame(), Rect(62, 15, 720, 68));
    platform::host::removeAllWindows();

    // No key window: the very top or bottom, inset from the banner's edges.
    f.stickyBannerOption = StickyBannerOption{"bottom", ClickAction{}};
    auto noKey = show<StickyBanner>(screen(true, false), f);
    EXPECT_EQ(noKey->frame(), Rect(0, 844 - 98, 390, 98));
    EXPECT_EQ(noKey->container()->frame(), Rect(15, 15, 360, 68));

    // Long text is cut to three lines.
    f.bodyText = std::string(3000, 'w');
    platform::host::removeAllWindows();
    auto longBody = show<StickyBanner>(screen(true), f);
    EXPECT_EQ(longBody->bodyLabel()->textLayout().lines.size(), 3u);
}

TEST_F(LayoutsTest, StickyBannerDragTable) {
    struct Case {
        double distance;  // fraction of the width, signed
        int millis;
        bool cancelled;
        bool closes;
    };
    const std::vector<Case> cases = {
        {0.75, 1000, false, true}, {0.5, 1000, false, false}, {-0.75, 1000, false, true},
        {0.3, 80, false, true},    {0.3, 150, false, false},  {0.7, 1000, false, false},
        {0.3, 100, false, false},  {0.75, 1000, true, true},  {0.1, 10, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.distance) + " in " + std::to_string(c.millis) + " ms");
        auto window = screen(true);
        auto banner = show<StickyBanner>(window, messageFields("sticky_banner", "text"));
        const double w = banner->frame().width();
        const Point start{100, 90};
        platform::Drag drag = window->beginDrag(start);
        ASSERT_TRUE(drag.recognizer());
        sdk_.clock()->advance(platform::Millis(c.millis / 2));
        const Point mid{start.x + c.distance * w / 2, start.y + 30};
        drag.moveTo(mid);
        // The banner moves sideways only, the touched point under the finger.
        EXPECT_DOUBLE_EQ(banner->frame().minX(), c.distance * w / 2);
        EXPECT_EQ(banner->frame().minY(), 47);
        sdk_.clock()->advance(platform::Millis(c.millis - c.millis / 2));
        const Point end{start.x + c.distance * w, start.y + 200};
        if (c.cancelled) {
            drag.cancel(end);
        } else {
            drag.end(end);
        }
        EXPECT_EQ(banner->isClosed(), c.closes);
        if (!c.closes) {
            EXPECT_EQ(banner->frame(), Rect(0, 47, 390, 98));
        }
        platform::host::removeAllWindows();
    }
    // A vertical drag never closes and never moves the banner up or down.
    auto window = screen(true);
    auto banner = show<StickyBanner>(window, messageFields("sticky_banner", "text"));
    platform::Drag drag = window->beginDrag(Point{100, 90});
    drag.moveTo(Point{100, 600});
    drag.end(Point{100, 800});
    EXPECT_FALSE(banner->isClosed());
    EXPECT_EQ(banner->frame(), Rect(0, 47, 390, 98));
    // A dismissing drag logs no click.
    EXPECT_EQ(eventTypes(), std::vector<std::string>(events_.size(), "string:impression"));
}

TEST_F(LayoutsTest, StickyBannerTapRunsItsOptionAction) {
    auto f = messageFields("sticky_banner", "text");
    f.stickyBannerOption =
        StickyBannerOption{std::nullopt, ClickAction{"ban", "close", std::nullopt}};
    f.portraitImage = solidImage(10, 10);
    auto window = screen(true);
    auto banner = show<StickyBanner>(window, f);
    // On the text (which takes no touches): the banner's own recogniser.
    EXPECT_TRUE(window->tap(Point{200, 47 + 30}));
    EXPECT_TRUE(banner->isClosed());
    ASSERT_EQ(events_.size(), 2u);
    EXPECT_EQ(*events_[1].eventParam.at("svl:gf:action_id").getString(), "string:ban");

    // On the image: the image view's own tap, the same action.
    auto again = show<StickyBanner>(window, f);
    EXPECT_TRUE(window->tap(Point{15 + 8 + 20, 47 + 15 + 8 + 20}));
    EXPECT_TRUE(again->isClosed());

    // Without an option: an action of three absent fields, logged as unknown.
    f.stickyBannerOption.reset();
    auto plain = show<StickyBanner>(window, f);
    EXPECT_TRUE(window->tap(Point{200, 47 + 30}));
    EXPECT_FALSE(plain->isClosed());
    EXPECT_TRUE(log_.contains("onClick :: unknown clickActionType, clickActionType : nil"));
}

TEST_F(LayoutsTest, RotationClosesEveryLayout) {
    const std::vector<std::pair<std::string, std::string>> kinds = {
        {"full_screen", "image"}, {"full_screen", "image_and_text"},
        {"modal", "image"},       {"modal", "image_and_text"},
        {"modal", "text"},        {"sticky_banner", ""}};
    for (const auto& [type, layout] : kinds) {
        SCOPED_TRACE(type + "/" + layout);
        auto window = screen(true);
        auto f = messageFields(type, layout);
        f.portraitImage = solidImage(4, 4);
        std::shared_ptr<IAMView> view = makeInAppView(InAppMessage::make(f), sink());
        ASSERT_TRUE(view);
        window->addSubview(view);
        SVLBooleanState::isInAppMessageShowing().set(true);
        platform::host::rotateDevice(platform::DeviceOrientation::PORTRAIT_UPSIDE_DOWN);
        EXPECT_FALSE(view->isClosed());
        platform::host::rotateDevice(platform::DeviceOrientation::FACE_UP);
        EXPECT_FALSE(view->isClosed());
        platform::host::rotateDevice(platform::DeviceOrientation::LANDSCAPE_LEFT, kLandscapeInsets);
        EXPECT_TRUE(view->isClosed());
        EXPECT_EQ(view->superview(), nullptr);
        EXPECT_TRUE(pumpUntil([] { return !SVLBooleanState::isInAppMessageShowing().get(); }));
        // A closed view no longer listens: a newer message's flag stays.
        SVLBooleanState::isInAppMessageShowing().set(true);
        platform::host::rotateDevice(platform::DeviceOrientation::PORTRAIT, kPortraitInsets);
        platform::host::rotateDevice(platform::DeviceOrientation::LANDSCAPE_LEFT, kLandscapeInsets);
        EXPECT_TRUE(pumpUntil([] { return SVLBooleanState::isInAppMessageShowing().get(); }));
        platform::host::removeAllWindows();
    }
}

}  // namespace
}  // namespace sorvel::testing
