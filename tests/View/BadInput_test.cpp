#include <gtest/gtest.h>

#include <cmath>

#include "Common/SVLBooleanState.h"
#include "InAppViewFixture.h"
#include "View/InAppMessage/InAppDisplay.h"
#include "View/InAppMessage/InAppScreen.h"
#include "sorvel/SorvelHost.h"

namespace sorvel::testing {
namespace {

using platform::Point;

class BadInputTest : public InAppViewTest {};

bool finite(const InAppViewNode& n) {
    if (!std::isfinite(n.frame.x) || !std::isfinite(n.frame.y) || !std::isfinite(n.frame.width) ||
        !std::isfinite(n.frame.height) || n.frame.width < 0 || n.frame.height < 0) {
        return false;
    }
    for (const auto& c : n.children) {
        if (!finite(c)) {
            return false;
        }
    }
    return true;
}

TEST_F(BadInputTest, HostileMessagesLayOutInEveryLayout) {
    std::string huge;
    while (huge.size() < 100 * 1024) {
        // Emoji with ZWJ and skin tones, combining marks, right-to-left text.
        huge +=
            "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9 e\xCC\x81\xCC\x81 "
            "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD word ";
    }
    const std::vector<std::pair<std::string, std::string>> kinds = {
        {"full_screen", "image"}, {"full_screen", "image_and_text"},
        {"modal", "image"},       {"modal", "image_and_text"},
        {"modal", "text"},        {"sticky_banner", ""}};
    for (bool portrait : {true, false}) {
        for (const auto& [type, layout] : kinds) {
            SCOPED_TRACE(type + "/" + layout + (portrait ? " portrait" : " landscape"));
            auto window = screen(portrait);
            auto f = messageFields(type, layout);
            f.titleText = huge;
            f.bodyText = huge;
            f.bgColor = "not a colour";
            f.overlayColor = "#GGGGGG";
            f.titleTextColor = "\xFF\xFE";
            f.textAlign = "RIGHT ";
            f.defaultCloseButtonColor = "";
            f.buttonArray.assign(1000, button("x", "weblink", "javascript:alert(1) bad"));
            f.portraitImage = solidImage(1, 20000);
            f.landscapeImage = solidImage(20000, 1);
            std::shared_ptr<IAMView> view = makeInAppView(InAppMessage::make(f), sink());
            ASSERT_TRUE(view);
            window->addSubview(view);
            window->layoutIfNeeded();
            EXPECT_TRUE(finite(snapshotOf(*view)));
            // Taps and drags anywhere, also outside every view, end in a
            // defined state.
            for (Point p : {Point{-100, -100}, Point{1e9, 1e9}, Point{195, 400}, Point{5, 5}}) {
                window->tap(p);
                platform::Drag d = window->beginDrag(p);
                d.moveTo(Point{p.x + 1, p.y});
                d.end(Point{p.x + 1, p.y});
            }
            view->close();
            view->close();
            EXPECT_EQ(view->superview(), nullptr);
            platform::host::removeAllWindows();
        }
    }
}

TEST_F(BadInputTest, RotationWhileTheImageLoadsStopsThePoll) {
    auto store = std::make_shared<FakeViewStore>();
    InAppViewHooks::setStoreProvider([store] { return store; });
    auto window = screen(true);
    auto view = show<ModalImage>(window, messageFields("modal", "image"));
    ASSERT_TRUE(waitUntil([&] { return store->lookups() == 1; }));
    auto timer = view->countDownTimer;
    platform::host::rotateDevice(platform::DeviceOrientation::LANDSCAPE_RIGHT, kLandscapeInsets);
    EXPECT_TRUE(view->isClosed());
    EXPECT_TRUE(timer->isStopped());
    sdk_.clock()->advance(platform::Millis(12000));
    EXPECT_EQ(store->lookups(), 1);
}

class RecordingPresenter final : public InAppMessagePresenter {
  public:
    void present(const std::shared_ptr<InAppMessageScreen>& s) override { shown.push_back(s); }
    void dismissed(const std::shared_ptr<InAppMessageScreen>& s) override { gone.push_back(s); }
    std::vector<std::shared_ptr<InAppMessageScreen>> shown, gone;
};

TEST_F(BadInputTest, HostScreenAndPresenter) {
    // Sizes that are not positive and finite are refused.
    SorvelHost::setScreen(std::nan(""), 844, {}, {});
    SorvelHost::setScreen(-1, 844, {}, {});
    EXPECT_TRUE(platform::Application::shared().windows().empty());
    SorvelHost::setScreen(390, 844, InAppInsets{47, 0, 34, 0}, InAppInsets{0, 47, 21, 47});
    ASSERT_EQ(platform::Application::shared().windows().size(), 1u);
    SorvelHost::setScreen(390, 844, InAppInsets{47, 0, 34, 0}, InAppInsets{0, 47, 21, 47});
    EXPECT_EQ(platform::Application::shared().windows().size(), 1u);

    auto presenter = std::make_shared<RecordingPresenter>();
    SorvelHost::setInAppMessagePresenter(presenter);
    auto view = displayInAppMessage(InAppMessage::make(messageFields("sticky_banner", "")), sink());
    ASSERT_TRUE(view);
    ASSERT_EQ(presenter->shown.size(), 1u);
    auto s = presenter->shown[0];
    EXPECT_EQ(s->width(), 390);
    const InAppViewNode tree = s->snapshot();
    EXPECT_EQ(tree.frame.y, 47);
    EXPECT_EQ(tree.frame.height, 98);
    EXPECT_EQ(tree.campaignId, "cmp-1");
    // Taps outside the banner reach nothing.
    EXPECT_FALSE(s->tap(200, 600));
    // A dismissing drag through the screen closes it.
    s->beginDrag(50, 90);
    s->moveDrag(250, 90);
    s->endDrag(380, 90);
    EXPECT_FALSE(s->isShowing());
    ASSERT_EQ(presenter->gone.size(), 1u);
    EXPECT_TRUE(s->snapshot().children.empty());
    EXPECT_FALSE(s->tap(50, 90));

    // Rotating through the host closes a message too.
    auto modal = displayInAppMessage(InAppMessage::make(messageFields("modal", "text")), sink());
    ASSERT_EQ(presenter->shown.size(), 2u);
    SorvelHost::rotateScreen(false);
    EXPECT_FALSE(presenter->shown[1]->isShowing());
    EXPECT_EQ(presenter->gone.size(), 2u);
    EXPECT_EQ(platform::mainScreenBounds(), platform::Rect(0, 0, 844, 390));
    SorvelHost::setInAppMessagePresenter(nullptr);
}

}  // namespace
}  // namespace sorvel::testing
