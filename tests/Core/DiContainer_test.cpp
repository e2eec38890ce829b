#include "Core/DiContainer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/GdprForgetMe.h"
#include "Core/DefaultSVLContextController.h"
#include "Data/Repository/Repository.h"
#include "Event/EventBuffer.h"
#include "Event/EventModelProvider.h"
#include "Event/EventPackageContainer.h"
#include "Event/EventUploadIntervalManager.h"
#include "Event/PushOpenMonitor.h"
#include "Event/TimerManager.h"
#include "Event/UserPropertyManager.h"
#include "Network/S3ConfigHandler.h"
#include "sorvel/SorvelKV.h"
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

    // A fresh SDK (the test support's reset) is a new container with new
    // members, and new process-wide parts; the old ones were retired (the
    // timer stopped, the push-open mark cleared) and stay usable by a late
    // holder.
    PushOpenMonitor& oldMonitor = PushOpenMonitor::shared();
    oldMonitor.mark({{"c", Value("x")}});
    EventUploadIntervalManager& oldInterval = EventUploadIntervalManager::shared();
    oldInterval.startTimer();
    S3ConfigHandler& oldHandler = S3ConfigHandler::shared();
    SorvelKV& oldFacade = SorvelKV::getInstance();
    sdk.relaunch();
    auto& fresh = DiContainer::shared();
    EXPECT_NE(&fresh, &c);
    EXPECT_NE(fresh.dataRegistry(), registry);
    EXPECT_NE(&PushOpenMonitor::shared(), &oldMonitor);
    EXPECT_FALSE(PushOpenMonitor::shared().isOpendByPush());
    EXPECT_FALSE(oldMonitor.isOpendByPush());
    EXPECT_NE(&EventUploadIntervalManager::shared(), &oldInterval);
    EXPECT_FALSE(oldInterval.isTimerRunning());
    EXPECT_NE(&S3ConfigHandler::shared(), &oldHandler);
    EXPECT_NE(&SorvelKV::getInstance(), &oldFacade);
    // The fresh timers reach the fresh interval manager, not the old one.
    EventUploadIntervalManager::shared().startTimer();
    TimerManager::shared().stopTimer();
    EXPECT_FALSE(EventUploadIntervalManager::shared().isTimerRunning());
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
            ASSERT_TRUE(c.waitForDurableWrites());
        }
    }
    sdk.relaunch();
    auto next = c.eventPackageContainer();
    ASSERT_NE(next, held);
    EXPECT_EQ(next->packageCount(), static_cast<std::size_t>(kPackages));
}

// The drain and the durable wait look only at what is built: on a fresh SDK
// they return at once and leave the app's folder untouched. The drain waits
// out an erasure re-send in flight, up to its deadline.
TEST(DiContainerTest, TheDrainBuildsNothingAndWaitsOutAnErasureResend) {
    testing::FreshSdk sdk;
    auto& c = DiContainer::shared();
    EXPECT_TRUE(c.drain());
    EXPECT_TRUE(c.waitForDurableWrites());
    EXPECT_TRUE(std::filesystem::is_empty(sdk.home())) << "a wait opened the settings store";

    // Shared with the re-send, which a failing test may leave behind.
    struct Resend {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<bool> finished{false};
    };
    auto resend = std::make_shared<Resend>();
    auto registry = c.dataRegistry();
    registry->putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);
    ASSERT_TRUE(GdprForgetMe::shared().isGdprForgetMe(
        [resend](GdprForgetMe::Done done) {
            resend->released.wait_for(std::chrono::seconds(10));
            resend->finished = true;
            done();
        },
        *registry));
    EXPECT_FALSE(c.drain(std::chrono::milliseconds(50))) << "the held re-send counted as over";
    EXPECT_FALSE(resend->finished.load());
    resend->release.set_value();
    EXPECT_TRUE(c.drain());
    EXPECT_TRUE(resend->finished.load());
    // The forget-me flag the test stored is on disk, for another reader.
    EXPECT_TRUE(c.waitForDurableWrites());
    DataRegistry reader(std::make_shared<DefaultDataContext>());
    EXPECT_TRUE(reader.getBool(DataRegistryKey::BOOL_GDPR_FORGET_ME, false));
}

}  // namespace
}  // namespace sorvel
