// An in-app message over the real road: the campaign list from the server
// double, an event that triggers it, the message built and laid on the app's
// screen, handed to the app's presenter, tapped; the click delegate told, the
// click event uploaded, the view closed and the showing flag cleared.

#include <gtest/gtest.h>

#include "../Data/InAppMessageFixture.h"
#include "Common/SVLBooleanState.h"
#include "Data/Repository/Repository.h"
#include "FacadeFixture.h"
#include "Platform/Host.h"
#include "Platform/RunLoop.h"
#include "Platform/UI/View.h"
#include "sorvel/InAppPresentation.h"

namespace sorvel::facadetest {
namespace {

class RecordingPresenter final : public InAppMessagePresenter {
  public:
    void present(const std::shared_ptr<InAppMessageScreen>& screen) override {
        presented.push_back(screen);
    }
    void dismissed(const std::shared_ptr<InAppMessageScreen>& screen) override {
        dismissedScreens.push_back(screen);
    }
    std::vector<std::shared_ptr<InAppMessageScreen>> presented;
    std::vector<std::shared_ptr<InAppMessageScreen>> dismissedScreens;
};

struct Click {
    std::string actionId, actionType, actionArg;
    bool isClosed;
};

// The buttons of the tree in drawing order, as rectangles on the screen.
void findButtons(const InAppViewNode& n, double x, double y, std::vector<InAppRect>& out) {
    const double nx = x + n.frame.x;
    const double ny = y + n.frame.y;
    if (n.kind == InAppNodeKind::BUTTON) {
        out.push_back(InAppRect{nx, ny, n.frame.width, n.frame.height});
    }
    for (const auto& c : n.children) {
        findButtons(c, nx, ny, out);
    }
}

class InAppRoadTest : public FacadeTest {};

TEST_F(InAppRoadTest, ServedTriggeredShownTappedClickedAndClosed) {
    server_->setDefaultAnswer(
        Endpoint::IAM_CAMPAIGNS,
        tools::ScriptedAnswer{
            200, iamtest::answer(Value::Array{Value(iamtest::campaign("c1"))}, "ck1")});
    SorvelHost::setScreen(390, 844, InAppInsets{47, 0, 34, 0}, InAppInsets{0, 47, 21, 47});
    auto presenter = std::make_shared<RecordingPresenter>();
    SorvelHost::setInAppMessagePresenter(presenter);
    std::vector<Click> clicks;
    kv().setInAppMessageClickDelegate(makeInAppMessageClickDelegate(
        [&](const std::string& id, const std::string& type, const std::string& arg, bool closed) {
            clicks.push_back(Click{id, type, arg, closed});
        }));
    start();
    // The list is stored once its last rows are in.
    ASSERT_TRUE(waitForLine("Insert to CurrentFrequencyCapTable Success, campaignId : c1"));

    kv().event("buy");
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return !presenter->presented.empty(); },
                                                   platform::Millis(10000)));
    std::shared_ptr<InAppMessageScreen> screen = presenter->presented[0];
    EXPECT_TRUE(screen->isShowing());
    const InAppViewNode tree = screen->snapshot();
    EXPECT_EQ(tree.campaignId, "c1");
    EXPECT_TRUE(platform::RunLoop::main().runUntil(
        [] { return SVLBooleanState::isInAppMessageShowing().get(); }, platform::Millis(5000)));

    // A second trigger while it is on screen shows nothing.
    kv().event("buy");
    ASSERT_TRUE(waitForLine("InAppMessage already shown"));

    // Tap the campaign's one button ("close").
    // The close button comes first in the card; the campaign's button is in
    // the row drawn after it.
    std::vector<InAppRect> buttons;
    findButtons(tree, 0, 0, buttons);
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0].width, 30);
    const InAppRect& ok = buttons[1];
    EXPECT_TRUE(screen->tap(ok.x + ok.width / 2, ok.y + ok.height / 2));

    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(clicks[0].actionId, "a-close");
    EXPECT_EQ(clicks[0].actionType, "close");
    EXPECT_TRUE(clicks[0].isClosed);
    EXPECT_FALSE(screen->isShowing());
    ASSERT_EQ(presenter->dismissedScreens.size(), 1u);
    EXPECT_EQ(presenter->dismissedScreens[0], screen);
    EXPECT_TRUE(platform::RunLoop::main().runUntil(
        [] { return !SVLBooleanState::isInAppMessageShowing().get(); }, platform::Millis(5000)));

    ASSERT_TRUE(sendAndWait("marker"));
    const auto actions = events("in_app_message_action");
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(*paramOf(actions[0]).at("svl:gf:event_type").getString(), "string:impression");
    EXPECT_EQ(*paramOf(actions[1]).at("svl:gf:event_type").getString(), "string:click");
    EXPECT_EQ(*paramOf(actions[1]).at("svl:gf:action_id").getString(), "string:a-close");
    EXPECT_EQ(*paramOf(actions[1]).at("svl:gf:campaign_id").getString(), "string:c1");
}

// A campaign of the fixture's list that the event "custom:<event>" shows.
Value campaignFor(const std::string& id, const std::string& event) {
    Value::Map c = iamtest::campaign(id);
    c["triggers"] = Value(Value::Array{Value(Value::Map{{"evt", Value("custom:" + event)},
                                                        {"type", Value("inappevent")},
                                                        {"priority", Value(1)}})});
    return Value(std::move(c));
}

std::size_t impressionsOf(const std::vector<Value::Map>& actions, const std::string& campaign) {
    std::size_t n = 0;
    for (const auto& a : actions) {
        const Value::Map& p = paramOf(a);
        n += *p.at("svl:gf:event_type").getString() == "string:impression" &&
             *p.at("svl:gf:campaign_id").getString() == "string:" + campaign;
    }
    return n;
}

TEST_F(InAppRoadTest, OneMessageAtATimeFromItsSelectionOn) {
    server_->setDefaultAnswer(
        Endpoint::IAM_CAMPAIGNS,
        tools::ScriptedAnswer{200, iamtest::answer(Value::Array{campaignFor("a", "show_a"),
                                                                campaignFor("b", "show_b"),
                                                                campaignFor("c", "show_c")},
                                                   "ck1")});
    SorvelHost::setScreen(390, 844, InAppInsets{47, 0, 34, 0}, InAppInsets{0, 47, 21, 47});
    auto presenter = std::make_shared<RecordingPresenter>();
    SorvelHost::setInAppMessagePresenter(presenter);
    start();
    for (const char* id : {"a", "b", "c"}) {
        ASSERT_TRUE(waitForLine(std::string("Insert to CurrentFrequencyCapTable Success, "
                                            "campaignId : ") +
                                id));
    }
    auto repository = DiContainer::shared().repository();

    // Both lookups run before the main thread lays the first message on the
    // screen: the second finds the first selected and takes nothing.
    kv().event("show_a");
    kv().event("show_b");
    repository->waitForInAppQueue();
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return !presenter->presented.empty(); },
                                                   platform::Millis(10000)));
    platform::RunLoop::main().runUntilIdle();
    repository->waitForInAppQueue();
    platform::RunLoop::main().runUntilIdle();
    ASSERT_EQ(presenter->presented.size(), 1u);
    std::shared_ptr<InAppMessageScreen> first = presenter->presented[0];
    const std::string shown = first->snapshot().campaignId;
    EXPECT_EQ(shown, "a");
    EXPECT_TRUE(logs_.contains("InAppMessage already shown"));

    // Closed, the next trigger is served.
    std::vector<InAppRect> buttons;
    findButtons(first->snapshot(), 0, 0, buttons);
    ASSERT_FALSE(buttons.empty());
    EXPECT_TRUE(
        first->tap(buttons[0].x + buttons[0].width / 2, buttons[0].y + buttons[0].height / 2));
    EXPECT_FALSE(first->isShowing());
    kv().event("show_b");
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return presenter->presented.size() == 2; },
                                                   platform::Millis(10000)));
    EXPECT_EQ(presenter->presented[1]->snapshot().campaignId, "b");
    buttons.clear();
    findButtons(presenter->presented[1]->snapshot(), 0, 0, buttons);
    ASSERT_FALSE(buttons.empty());
    EXPECT_TRUE(presenter->presented[1]->tap(buttons[0].x + buttons[0].width / 2,
                                             buttons[0].y + buttons[0].height / 2));

    // A message selected that finds no window to lie on leaves the next
    // trigger free.
    platform::host::removeAllWindows();
    kv().event("show_c");
    repository->waitForInAppQueue();
    platform::RunLoop::main().runUntilIdle();
    ASSERT_TRUE(waitForLine("InAppMessage not shown: no window of normal level, campaignId : c"));
    platform::host::addWindow(platform::mainScreenBounds(), platform::kWindowLevelNormal, {}, true);
    kv().event("show_a");
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return presenter->presented.size() == 3; },
                                                   platform::Millis(10000)));
    EXPECT_EQ(presenter->presented[2]->snapshot().campaignId, "a");

    // The server has one impression a showing.
    ASSERT_TRUE(sendAndWait("marker"));
    const auto actions = events("in_app_message_action");
    EXPECT_EQ(impressionsOf(actions, "a"), 2u);
    EXPECT_EQ(impressionsOf(actions, "b"), 1u);
    platform::host::removeAllWindows();
    SVLBooleanState::isInAppMessageShowing().set(false);
}

}  // namespace
}  // namespace sorvel::facadetest
