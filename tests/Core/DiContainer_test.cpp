#include "Core/DiContainer.h"

#include <gtest/gtest.h>

#include "Common/DataRegistry.h"
#include "Core/DefaultSVLContextController.h"
#include "Data/Repository/Repository.h"
#include "Event/EventBuffer.h"
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

}  // namespace
}  // namespace sorvel
