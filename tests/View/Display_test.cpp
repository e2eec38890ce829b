#include <gtest/gtest.h>

#include "Common/SVLBooleanState.h"
#include "InAppViewFixture.h"
#include "View/InAppMessage/InAppDisplay.h"

namespace sorvel::testing {
namespace {

class DisplayTest : public InAppViewTest {};

TEST_F(DisplayTest, LastWindowOfNormalLevelGetsTheView) {
    auto m = InAppMessage::make(messageFields("modal", "text"));
    // No window: nothing is built and no impression is logged.
    EXPECT_EQ(displayInAppMessage(m, sink()), nullptr);
    EXPECT_TRUE(events_.empty());

    screen(true);
    auto second = platform::host::addWindow(platform::mainScreenBounds(),
                                            platform::kWindowLevelNormal, kPortraitInsets, false);
    auto alert = platform::host::addWindow(platform::mainScreenBounds(),
                                           platform::kWindowLevelAlert, kPortraitInsets, false);
    auto view = displayInAppMessage(m, sink());
    ASSERT_TRUE(view);
    EXPECT_EQ(view->superview(), second);
    EXPECT_EQ(second->subviews().back(), view);
    EXPECT_TRUE(alert->subviews().empty());
    EXPECT_EQ(events_.size(), 1u);
    EXPECT_TRUE(pumpUntil([] { return SVLBooleanState::isInAppMessageShowing().get(); }));
    view->close();
    EXPECT_TRUE(pumpUntil([] { return !SVLBooleanState::isInAppMessageShowing().get(); }));

    auto unknown = InAppMessage::make(messageFields("full_screen", "text"));
    EXPECT_EQ(displayInAppMessage(unknown, sink()), nullptr);
    SvlLog::flush();
    EXPECT_TRUE(
        log_.contains("Unknown InAppMessage Type or Layout, Type = full_screen, Layout = text"));
}

}  // namespace
}  // namespace sorvel::testing
