// An app that ends right after leaving the foreground, killed or not, loses
// nothing it recorded; one that says it terminates has it delivered first.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <set>

#include "FacadeFixture.h"

namespace sorvel::facadetest {
namespace {

constexpr const char* kEnv = "SORVEL_FACADE_RESIGN_CHILD";
constexpr int kRecorded = 95;

class StartWatch : public SorvelKVLogDelegate {
  public:
    void didPrintLog(SorvelLogLevel, const std::string& log) override {
        if (log.find("Result of initializing Sorvel SDK : Success") != std::string::npos) {
            std::lock_guard<std::mutex> lock(mu_);
            started_ = true;
            cv_.notify_all();
        }
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [this] { return started_; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool started_ = false;
};

// The child: offline, records, leaves the foreground, and is killed the
// moment that call returns.
int runAsResignChildIfAsked() {
    const char* home = std::getenv(kEnv);
    if (home == nullptr) {
        return 0;
    }
    SorvelHost::setDataFolder(home);
    SorvelHost::setNetworkAvailable(false);
    auto watch = std::make_shared<StartWatch>();
    auto& sdk = SorvelKV::getInstance();
    sdk.setLogDelegate(watch);
    sdk.initSorvel(kAppKey, kSecretKey);
    SorvelHost::applicationDidBecomeActive();
    const bool started = watch->wait();
    for (int i = 0; i < kRecorded; ++i) {
        sdk.eventWithAttr("durable_tick", attrs({{"i", Value(i)}}));
    }
    SorvelHost::applicationWillResignActive();
    testing::reportAndAwaitKill(started);
}
const int kResignChildDone = runAsResignChildIfAsked();

TEST_F(FacadeTest, WhatWasRecordedBeforeLeavingTheForegroundSurvivesAKillRightAfter) {
    std::string said;
    ASSERT_TRUE(testing::killWhenReady(std::string(kEnv) + "=" + sdk_.home(), said)) << said;

    // The next launch, online: every event of the killed one arrives.
    SorvelHost::setDataFolder(sdk_.home());
    hostSetUp();
    start();
    ASSERT_TRUE(sendAndWait("next_launch"));
    ASSERT_TRUE(waitForEvents("durable_tick", kRecorded));
    std::set<std::string> seen;
    for (const auto& e : events("durable_tick")) {
        seen.insert(callParams(e).at("i").toJson());
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kRecorded));
}

TEST_F(FacadeTest, TerminateStoresAndDeliversWhatTheAppRecordedWithinItsTime) {
    // Before the SDK started there is nothing to wait for.
    EXPECT_TRUE(SorvelHost::applicationWillTerminate(std::chrono::milliseconds(0)));
    start();
    ASSERT_TRUE(sendAndWait("started"));
    for (int i = 0; i < 25; ++i) {
        kv().eventWithAttr("last_words", attrs({{"i", Value(i)}}));
    }
    // Fewer than a package's worth would wait for the timer; terminate sends
    // them and returns once they are acknowledged.
    EXPECT_TRUE(SorvelHost::applicationWillTerminate(std::chrono::seconds(20)));
    EXPECT_EQ(events("last_words").size(), 25u);
    // A server that never answers: terminate gives up at its time, and what
    // was recorded stays for the next launch.
    testing::LoopbackListener silent;
    ASSERT_TRUE(silent.listening());
    SorvelHost::setServerBaseUrl("http://127.0.0.1:" + std::to_string(silent.port()));
    kv().event("unanswered");
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(SorvelHost::applicationWillTerminate(std::chrono::milliseconds(300)));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

}  // namespace
}  // namespace sorvel::facadetest
