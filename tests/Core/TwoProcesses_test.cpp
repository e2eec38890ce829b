// Two processes on one data folder: one that has opened its settings store
// but not yet restored its unsent packages does not lose what another process
// writes and lets go meanwhile.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Core/DiContainer.h"
#include "Event/EventUploadIntervalManager.h"
#include "Event/KillPipeline.h"
#include "Platform/Host.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

constexpr const char* kEnv = "SORVEL_TWO_PROCESSES_CHILD";
constexpr int kEvents = 30;

// The other process: records 30 events offline, stores them and stops
// cleanly, as an app that leaves the foreground and ends.
int runAsOtherProcessIfAsked() {
    const char* env = std::getenv(kEnv);
    if (env == nullptr) {
        return 0;
    }
    platform::host::setHomeFolder(env);
    platform::host::setKeychainFolder(std::string(env) + "/keychain");
    platform::host::setReachability(std::string("none"));
    {
        killtest::Pipeline p;
        for (int i = 0; i < kEvents; ++i) {
            p.log("other-" + std::to_string(i));
        }
        p.buffer->saveUnsentEvents();
        EventUploadIntervalManager::shared().removeObserver(p.buffer);
        p.buffer->waitUntilIdle();
    }
    std::printf("done\n");
    std::fflush(stdout);
    std::_Exit(0);
}
const int kOtherProcessDone = runAsOtherProcessIfAsked();

TEST(TwoProcessesTest, AStartBetweenOpeningTheStoreAndRestoringLosesNothingOfTheOther) {
    testing::FreshSdk sdk;
    {
        // An earlier launch left the stores with an empty list.
        DataRegistry earlier(std::make_shared<DefaultDataContext>());
        earlier.putData(Value::Bytes{'[', ']'}, DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
        ASSERT_TRUE(earlier.waitForPendingWrites());
    }
    // This process starts: its settings store opens and holds the empty list.
    auto& c = DiContainer::shared();
    auto registry = c.dataRegistry();
    ASSERT_EQ(registry->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt),
              (Value::Bytes{'[', ']'}));

    // Meanwhile the other process records, stores and ends.
    const std::string said = testing::runSelf({std::string(kEnv) + "=" + sdk.home()}, "done");
    ASSERT_NE(said.find("done"), std::string::npos) << said;

    // This process restores its unsent packages only now: the other's are
    // among them, though its own copy of the list never saw them.
    auto container = c.eventPackageContainer();
    std::size_t events = 0;
    for (const auto& package : container->snapshot()) {
        events += package->eventCount();
    }
    EXPECT_EQ(events, static_cast<std::size_t>(kEvents));
}

}  // namespace
}  // namespace sorvel
