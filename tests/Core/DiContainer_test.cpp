#include "Core/DiContainer.h"

#include <gtest/gtest.h>

#include "Common/DataRegistry.h"
#include "Core/DefaultSVLContextController.h"
#include "Data/Repository/Repository.h"
#include "Event/EventBuffer.h"
#include "Event/EventModelProvider.h"
#include "Event/EventPackageContainer.h"
#include "Event/EventUploadIntervalManager.h"
#include "Event/UserPropertyManager.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

TEST(DiContainerTest, MembersAreBuiltOnceAndTheResetClearsTheirContentsOnly) {
    testing::FreshSdk sdk;
    auto& c = DiContainer::shared();
    auto registry = c.dataRegistry();
    auto properties = c.userPropertyManager();
    auto controller = c.defaultSVLContextController();
    // Every part shares one of each.
    EXPECT_EQ(c.dataRegistry(), registry);
    EXPECT_EQ(c.userPropertyManager(), properties);
    EXPECT_EQ(c.defaultSVLContextController(), controller);
    EXPECT_EQ(c.repository(), c.repository());

    ASSERT_TRUE(properties->saveUserProperty({{"c:plan", Value("gold")}}));
    EventUploadIntervalManager::shared().startTimer();
    ASSERT_TRUE(EventUploadIntervalManager::shared().isTimerRunning());

    c.reset();
    EXPECT_TRUE(properties->userPropertyDic().empty());
    EXPECT_FALSE(EventUploadIntervalManager::shared().isTimerRunning());
    EXPECT_EQ(c.userPropertyManager(), properties);
    EXPECT_EQ(c.defaultSVLContextController(), controller);

    // A fresh SDK (the test support's reset) builds new members.
    sdk.relaunch();
    EXPECT_NE(c.dataRegistry(), registry);
}

// A block still at work on another queue (the v1 migration waits on the global
// queue for the stored list) may hold the queue of unsent packages past the
// end of the process. The rewrites it asked for land before the next launch
// reads the list all the same, the later ones after the gap they wait out.
TEST(DiContainerTest, ARelaunchStoresTheUnsentPackagesWhileAnotherHolderKeepsTheirQueue) {
    testing::FreshSdk sdk;
    auto& c = DiContainer::shared();
    auto held = c.eventPackageContainer();
    constexpr int kPackages = 4;
    for (int i = 0; i < kPackages; ++i) {
        auto p = LogEventParameter::initWithEventName("custom", "e" + std::to_string(i), {});
        p.eventId = "id-" + std::to_string(i);
        std::vector<EventModel> events{
            EventModelProvider(c.userPropertyManager(), c.dataRegistry(), held->counters(), p)
                .buildEventModel()};
        held->addEventPackage(std::make_shared<const EventPackage>(std::move(events)));
        if (i == 0) {
            // Written at once; the next rewrite waits out a gap after it.
            held->waitForStoreWrites();
        }
    }
    sdk.relaunch();
    auto next = c.eventPackageContainer();
    ASSERT_NE(next, held);
    EXPECT_EQ(next->packageCount(), static_cast<std::size_t>(kPackages));
}

}  // namespace
}  // namespace sorvel
