#include "Common/GdprForgetMe.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/RegistryStates.h"
#include "Common/SvlLog.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using namespace std::chrono;

using testing::DelegateLog;
using testing::MemoryContext;

using GdprForgetMeTest = testing::RegistryTest;

TEST_F(GdprForgetMeTest, GdprResendRunsInBackgroundOneAtATime) {
    // Shared with the re-sends, which a failing test may leave behind.
    struct Resends {
        std::atomic<int> started{0};
        std::atomic<int> finished{0};
        std::atomic<bool> ranOnCaller{false};
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
    };
    auto st = std::make_shared<Resends>();
    auto action = [st, caller = std::this_thread::get_id()](GdprForgetMe::Done) {
        st->ranOnCaller = st->ranOnCaller || std::this_thread::get_id() == caller;
        st->started++;
        testing::notifyWaiters();
        st->released.wait_for(seconds(10));
        st->finished++;
        testing::notifyWaiters();
    };

    EXPECT_FALSE(FvnUtil::isGdprForgetMe(action, registry));
    registry.putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);
    // The action blocks until released, yet every call answers at once.
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(FvnUtil::isGdprForgetMe(action, registry));
    }
    ASSERT_TRUE(testing::waitUntil([&] { return st->started.load() == 1; }));
    EXPECT_TRUE(FvnUtil::isGdprForgetMe(action, registry));
    EXPECT_EQ(st->started.load(), 1) << "a second re-send while one is in flight";
    st->release.set_value();
    ASSERT_TRUE(testing::waitUntil([&] { return st->finished.load() == 1; }));
    ASSERT_TRUE(GdprForgetMe::shared().waitForResendIdle(seconds(10)));
    // Once it is done, the next check re-sends again.
    EXPECT_TRUE(FvnUtil::isGdprForgetMe(action, registry));
    ASSERT_TRUE(GdprForgetMe::shared().waitForResendIdle(seconds(10)));
    EXPECT_EQ(st->started.load(), 2);
    EXPECT_EQ(st->finished.load(), 2);
    EXPECT_FALSE(st->ranOnCaller.load());

    registry.putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);
    EXPECT_TRUE(FvnUtil::isGdprForgetMe(action, registry));
    EXPECT_TRUE(FvnUtil::isGdprForgetMeServerResponse(registry));
    SvlLog::flush();
    EXPECT_EQ(st->started.load(), 2);
}

// An owner the container holds may be reset or dropped while a re-send is
// still out: the re-send keeps what it needs, and only the newest one counts.
TEST_F(GdprForgetMeTest, AnOwnedInstanceOutlivedByItsResends) {
    struct Handed {
        std::mutex mu;
        std::vector<GdprForgetMe::Done> dones;
        std::size_t size() {
            std::lock_guard<std::mutex> lock(mu);
            return dones.size();
        }
    };
    auto handed = std::make_shared<Handed>();
    auto action = [handed](GdprForgetMe::Done done) {
        {
            std::lock_guard<std::mutex> lock(handed->mu);
            handed->dones.push_back(std::move(done));
        }
        testing::notifyWaiters();
    };
    registry.putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);

    auto owner = std::make_unique<GdprForgetMe>();
    ASSERT_TRUE(owner->isGdprForgetMe(action, registry));
    ASSERT_TRUE(testing::waitUntil([&] { return handed->size() == 1; }));
    EXPECT_FALSE(owner->waitForResendIdle(milliseconds(0)));
    EXPECT_TRUE(GdprForgetMe::shared().waitForResendIdle(milliseconds(0)))
        << "the process's owner knows nothing of another owner's re-send";

    // A reset forgets the first re-send; the next check starts another, which
    // the first one's late answer must not end.
    owner->setGdprForgetMeHook([](GdprForgetMe::Done) { FAIL() << "a forgotten hook ran"; });
    owner->reset();
    EXPECT_TRUE(owner->waitForResendIdle(milliseconds(0)));
    DelegateLog log;
    owner->executeGdprForgetMe();
    EXPECT_EQ(log.count("executeGdprForgetMe :: no GDPR forget-me use case is installed"), 1);
    ASSERT_TRUE(owner->isGdprForgetMe(action, registry));
    ASSERT_TRUE(testing::waitUntil([&] { return handed->size() == 2; }));
    handed->dones[0]();
    EXPECT_FALSE(owner->waitForResendIdle(milliseconds(0)));
    EXPECT_TRUE(owner->isGdprForgetMe(action, registry));
    EXPECT_EQ(handed->size(), 2u) << "a second re-send while one is in flight";

    // Dropped with the second re-send still out, which then answers: nothing
    // it touches was freed with the owner.
    owner.reset();
    handed->dones[1]();
    handed->dones.clear();
}

TEST(GdprForgetMeDeathTest, ExitDoesNotWaitForAResendStuckOnTheNetwork) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            testing::FreshSdk sdk;
            DataRegistry registry(std::make_shared<MemoryContext>());
            registry.putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);
            auto started = std::make_shared<std::atomic<bool>>(false);
            auto never = std::make_shared<std::promise<void>>();
            auto stuck = never->get_future().share();
            FvnUtil::isGdprForgetMe(
                [started, stuck](GdprForgetMe::Done) {
                    *started = true;
                    testing::notifyWaiters();
                    stuck.wait();
                },
                registry);
            if (!testing::waitUntil([&] { return started->load(); })) {
                std::_Exit(2);
            }
            // A deadline for exit itself: a hang ends in SIGALRM, not exit code 0.
            ::alarm(20);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace sorvel
