#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "Core/CoreFakes.h"

namespace sorvel::coretest {
namespace {

TEST(ControllerStateTest, ConcurrentDisablesKeepTheFirstReasonAndResetOnce) {
    ControllerHarness h;
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        h.rebuild();
        auto controller = h.controller;
        std::atomic<int> ready{0};
        auto disable = [&](const char* reason) {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            controller->disableSDK(reason);
        };
        std::thread a(disable, "Sorvel Pause");
        std::thread b(disable, "SorvelAllStop");
        a.join();
        b.join();
        EXPECT_EQ(h.factory->made(SVLContextState::DISABLED), 1);
        EXPECT_EQ(h.resets->load(), 1);
        auto first = h.reason();
        EXPECT_TRUE(first == "Sorvel Pause" || first == "SorvelAllStop") << first;
        controller->disableSDK("GDPR FORGET ME");
        EXPECT_EQ(h.reason(), first);
        EXPECT_EQ(h.resets->load(), 1);
    }
}

TEST(ControllerStateTest, PauseFlushesDropsStoredPackagesAndDisables) {
    ControllerHarness h;
    h.release();
    const Value::Bytes stored{'[', ']'};
    h.registry->putData(stored, DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);

    // False, and values that are no Bool, change nothing.
    h.registry->putBool(false, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
    testing::LogCapture capture;
    h.registry->putString(std::string("yes"), DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
    h.registry->putString(std::nullopt, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);
    h.registry->putInt(1, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);
    h.registry->putString(std::nullopt, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);
    EXPECT_TRUE(capture.contains("value can not be casted to bool : \"yes\""));
    EXPECT_TRUE(capture.contains("value can not be casted to bool : 1"));
    EXPECT_TRUE(capture.contains("value can not be casted to bool : nil"));
    EXPECT_EQ(h.state(), SVLContextState::ACTIVE);

    // The flush runs first, while the packages are still stored and the SDK
    // still active.
    EXPECT_CALL(*h.repository, flushAllNow()).WillOnce([&] {
        EXPECT_EQ(h.registry->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt),
                  stored);
        EXPECT_EQ(h.state(), SVLContextState::ACTIVE);
    });
    h.registry->putBool(true, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
    EXPECT_FALSE(h.registry->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt));
    EXPECT_EQ(h.reason(), "Sorvel Pause");
    EXPECT_EQ(h.resets->load(), 1);

    // All-stop disables on its own flag.
    h.rebuild();
    h.release();
    h.registry->putBool(true, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);
    EXPECT_EQ(h.reason(), "Sorvel All Stop");
}

TEST(ControllerStateTest, AnInitialiseResultNeverUndoesADisableMadeWhileItRan) {
    ControllerHarness h;
    // A 400 answer to the configuration request disables during initialise,
    // which then reports success.
    h.script->duringInitialize = [&] { h.controller->disableSDK("SorvelAllStop"); };
    h.controller->initialize("k1", "k2");
    h.drain();
    EXPECT_EQ(h.factory->made(SVLContextState::ACTIVE), 0);
    EXPECT_EQ(h.reason(), "SorvelAllStop");

    // The same with the result arriving later from another thread.
    h.script->duringInitialize = nullptr;
    h.script->initAnswer = InitAnswer::Held;
    // A new controller whose initialise result is held for the test.
    auto startInitialising = [&] {
        h.rebuild();
        h.controller->initialize("k1", "k2");
        h.drain();
        auto held = h.script->take(h.script->heldInit);
        EXPECT_TRUE(held);
        return held.value_or([](Completion) {});
    };
    auto held = startInitialising();
    h.registry->putBool(true, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);
    std::thread([&] { held(Completion::SUCCESS); }).join();
    EXPECT_EQ(h.reason(), "Sorvel All Stop");
    EXPECT_EQ(h.factory->made(SVLContextState::ACTIVE), 0);

    // Undisturbed, a result from another thread installs the active state;
    // a failure disables.
    h.registry->putBool(false, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP);
    held = startInitialising();
    std::thread([&] { held(Completion::SUCCESS); }).join();
    EXPECT_EQ(h.state(), SVLContextState::ACTIVE);

    held = startInitialising();
    std::thread([&] { held(Completion::FAILURE); }).join();
    EXPECT_EQ(h.reason(), "Initializing Failed");
}

}  // namespace
}  // namespace sorvel::coretest
