#include "Common/RegistryStates.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <vector>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/GdprForgetMe.h"
#include "sorvel/SorvelKVDelegates.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using namespace std::chrono;

using testing::DelegateLog;
using testing::MemoryContext;

using RegistryStatesTest = testing::RegistryTest;

TEST_F(RegistryStatesTest, DeleteRestartStateMatrix) {
    struct Case {
        std::optional<Value> stopped;
        std::optional<Value> synced;
        DRState expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, DRState::NORMAL},
        {Value("true"), Value(true), DRState::NORMAL},  // not a Bool
        {Value(std::int64_t{1}), Value(true), DRState::NORMAL},
        {Value(false), Value(false), DRState::INIT_RESTART_SYNCED},
        {Value(false), Value(true), DRState::INIT_RESTART_NOT_SYNCED},
        {Value(true), Value(false), DRState::DELETE_NOT_SYNCED},
        {Value(true), Value("yes"), DRState::DELETE_NOT_SYNCED},
        {Value(true), Value(true), DRState::DELETE_SYNCED},
    };
    auto context = std::make_shared<MemoryContext>();
    for (const auto& c : cases) {
        context->set(std::string(rawValue(DataRegistryKey::BOOL_IS_SDK_STOPPED)), c.stopped);
        context->set(std::string(rawValue(DataRegistryKey::BOOL_IS_SDK_STOPPED_SERVER_SYNC)),
                     c.synced);
        DataRegistry fresh(context);
        DRStateResult r = FvnUtil::getDRState(fresh);
        ASSERT_TRUE(std::holds_alternative<DRState>(r));
        EXPECT_EQ(std::get<DRState>(r), c.expected) << drStateName(c.expected);
        EXPECT_EQ(FvnUtil::isSorvelDisabled(fresh), isDeleteState(c.expected));
    }
    for (std::int64_t code : {-1, 4, 100}) {
        EXPECT_TRUE(std::holds_alternative<DRStateError>(makeDRState(code))) << code;
    }
}

TEST_F(RegistryStatesTest, DisabledGuardChecksForgetMePauseThenDeleteState) {
    std::atomic<int> resends{0};
    GdprForgetMe::shared().setGdprForgetMeHook([&](GdprForgetMe::Done) {
        resends++;
        testing::notifyWaiters();
    });
    DelegateLog log;

    EXPECT_FALSE(FvnUtil::isSorvelDisabled(registry));
    registry.putBool(false, DataRegistryKey::BOOL_IS_SDK_STOPPED);  // a restart state
    EXPECT_FALSE(FvnUtil::isSorvelDisabled(registry));
    registry.putBool(true, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);
    EXPECT_FALSE(FvnUtil::isSorvelDisabled(registry)) << "all-stop is not part of the guard";
    EXPECT_EQ(log.count("Sorvel Disabled : true"), 0);

    registry.putBool(true, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
    EXPECT_TRUE(FvnUtil::isSorvelDisabled(registry));
    registry.putBool(false, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
    registry.putBool(true, DataRegistryKey::BOOL_IS_SDK_STOPPED);
    EXPECT_TRUE(FvnUtil::isSorvelDisabled(registry));
    EXPECT_EQ(log.count("Sorvel Disabled : true"), 2);
    EXPECT_EQ(resends.load(), 0) << "no forget-me, no re-send";

    // Forget-me confirmed by the server: disabled, nothing to re-send.
    registry.putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);
    registry.putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);
    EXPECT_TRUE(FvnUtil::isSorvelDisabled(registry));
    // Unconfirmed: the guard answers at once and the re-send runs in the background.
    registry.putBool(false, DataRegistryKey::BOOL_GDPR_FORGET_ME_SERVER_SYNC);
    EXPECT_TRUE(FvnUtil::isSorvelDisabled(registry));
    EXPECT_TRUE(testing::waitUntil([&] { return resends.load() == 1; }));
    ASSERT_TRUE(GdprForgetMe::shared().waitForResendIdle(seconds(10)));
    // Forget-me is asked before the pause flag, so the re-send still goes out
    // while the remote configuration pauses the SDK.
    registry.putBool(true, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
    EXPECT_TRUE(FvnUtil::isSorvelDisabled(registry));
    EXPECT_TRUE(testing::waitUntil([&] { return resends.load() == 2; }));
    ASSERT_TRUE(GdprForgetMe::shared().waitForResendIdle(seconds(10)));
    GdprForgetMe::shared().setGdprForgetMeHook(nullptr);
    // Without a hook the use case is only logged as missing.
    FvnUtil::executeGdprForgetMe();
    EXPECT_EQ(log.count("executeGdprForgetMe :: no GDPR forget-me use case is installed"), 1);
}

TEST_F(RegistryStatesTest, BeforeFirstOpenUntilAnIdIsStored) {
    EXPECT_TRUE(FvnUtil::isBeforeFirstOpen(registry));
    registry.putString(std::string(""), DataRegistryKey::STRING_LAST_FIRSTOPEN_ID);
    EXPECT_FALSE(FvnUtil::isBeforeFirstOpen(registry)) << "an empty text counts as stored";
}

}  // namespace
}  // namespace sorvel
