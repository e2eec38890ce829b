// An app that ends right after leaving the foreground, killed or not, loses
// nothing it recorded; one that says it terminates has it delivered first;
// one that simply returns from main has it stored for the next launch.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "Common/DataContext.h"
#include "Common/SvlLog.h"
#include "Core/ExitHook.h"
#include "FacadeFixture.h"
#include "Platform/Sqlite.h"

namespace sorvel::facadetest {
namespace {

constexpr const char* kEnv = "SORVEL_FACADE_RESIGN_CHILD";
constexpr int kRecorded = 95;

class StartWatch : public SorvelKVLogDelegate {
  public:
    void didPrintLog(SorvelLogLevel, const std::string& log) override {
        // What the SDK could not store at the end of the process, for the test.
        if (log.starts_with("SDK exit ::")) {
            std::printf("%s\n", log.c_str());
            std::fflush(stdout);
        }
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
    ASSERT_TRUE(nextLaunchOnline());
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

constexpr const char* kExitEnv = "SORVEL_FACADE_EXIT_CHILD";
// Two packages and five events in the open buffer: few enough for the SDK to
// take them in within its time at exit even in a sanitizer build on a loaded
// machine; without that wait they are lost.
constexpr int kRecordedBeforeExit = 25;

// Events recorded after applicationWillTerminate returned.
constexpr int kRecordedAfterTerminate = 5;

// Another connection's write lock on the settings store, taken after
// applicationWillTerminate returned: a settings write then waits for it on
// the thread the checkpoints of the unsent events run on, so the SDK's store
// at exit outlasts its budget.
std::unique_ptr<platform::sqlite::Connection> settingsLock;

void holdSettingsWrites(const std::string& home) {
    int rc = 0;
    settingsLock = platform::sqlite::Connection::open(
        home + "/Library/Preferences/" + DefaultDataContext::SUITE_NAME + ".sqlite",
        SQLITE_OPEN_READWRITE, rc);
    if (!settingsLock) {
        std::printf("no settings store: %d\n", rc);
        std::exit(4);
    }
    settingsLock->setBusyTimeout(5000);
    if (settingsLock->execute("BEGIN IMMEDIATE") != platform::sqlite::Outcome::Done) {
        std::printf("no write lock: %s\n", settingsLock->errorMessage().c_str());
        std::exit(4);
    }
    DiContainer::shared().dataRegistry()->putString("held", DataRegistryKey::STRING_CARRIER_NAME);
}

// When the child's exit began; its own exit handler, installed before the
// SDK's and so run after it, tells how long the SDK's took, then hands on
// what the SDK logged about it, and lets a held settings write land.
std::chrono::steady_clock::time_point exitBegan;
void sayHowLongTheExitTook() {
    const auto took = std::chrono::steady_clock::now() - exitBegan;
    settingsLock.reset();
    SvlLog::flush();
    std::printf("exit-took %lld\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
    std::fflush(stdout);
}

// The child: offline, records and ends at once with exit(), as a return from
// main does, without applicationWillTerminate. "<home>|open" leaves events in
// the open buffer; "<home>|flushed" ends with a no-wait event, which packs them.
// "<home>|terminated" calls applicationWillTerminate first, and
// "<home>|late" records more after it; both hold the settings store's writes
// from then on. "<home>|unsettled" holds them before a call whose time runs
// out first.
int runAsExitChildIfAsked() {
    const char* arg = std::getenv(kExitEnv);
    if (arg == nullptr) {
        return 0;
    }
    const std::string value(arg);
    const std::string home = value.substr(0, value.find('|'));
    std::atexit(&sayHowLongTheExitTook);
    SorvelHost::setDataFolder(home);
    SorvelHost::setNetworkAvailable(false);
    auto watch = std::make_shared<StartWatch>();
    auto& sdk = SorvelKV::getInstance();
    sdk.setLogDelegate(watch);
    sdk.initSorvel(kAppKey, kSecretKey);
    SorvelHost::applicationDidBecomeActive();
    if (!watch->wait()) {
        std::exit(3);
    }
    for (int i = 0; i < kRecordedBeforeExit; ++i) {
        sdk.eventWithAttr("exit_tick", attrs({{"i", Value(i)}}));
    }
    if (value.ends_with("|flushed")) {
        sdk.event("login");
    }
    const bool unsettled = value.ends_with("|unsettled");
    if (unsettled) {
        holdSettingsWrites(home);
    }
    if (unsettled || value.ends_with("|terminated") || value.ends_with("|late")) {
        const bool settled = SorvelHost::applicationWillTerminate(
            unsettled ? std::chrono::milliseconds(0) : std::chrono::seconds(20));
        std::printf("terminate settled: %d\n", settled ? 1 : 0);
    }
    if (value.ends_with("|terminated") || value.ends_with("|late")) {
        holdSettingsWrites(home);
    }
    if (value.ends_with("|late")) {
        for (int i = 0; i < kRecordedAfterTerminate; ++i) {
            sdk.eventWithAttr("late_tick", attrs({{"i", Value(i)}}));
        }
    }
    exitBegan = std::chrono::steady_clock::now();
    std::exit(0);
}
const int kExitChildDone = runAsExitChildIfAsked();

std::vector<std::string> journalsIn(const std::string& home) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator(home + "/Library/Preferences", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("unsent-") && name.ends_with(".journal")) {
            names.push_back(name);
        }
    }
    return names;
}

// Each of the `count` events, told apart by their "i", arrived once.
void expectEachOnce(const std::vector<Value::Map>& arrived, int count) {
    std::set<std::string> seen;
    for (const auto& e : arrived) {
        seen.insert(callParams(e).at("i").toJson());
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(arrived.size(), static_cast<std::size_t>(count));
}

// What the exit child did.
struct ExitRun {
    int exitCode = -1;
    std::chrono::microseconds took{-1};
    // Said nothing of what it could not store: everything was stored in time.
    bool storedInTime = false;
    std::string output;
};

// Runs the exit child on the home.
ExitRun runExitChild(const std::string& home, const char* how) {
    const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    const testing::ProgramRun run =
        testing::runProgram({"env", std::string(kExitEnv) + "=" + home + "|" + how, self},
                            testing::scaled(std::chrono::seconds(60)));
    ExitRun out;
    out.exitCode = run.ended ? run.exitCode : -1;
    out.output = run.output;
    const auto at = run.output.find("exit-took ");
    EXPECT_NE(at, std::string::npos) << run.output;
    if (at != std::string::npos) {
        out.took = std::chrono::microseconds(std::stoll(run.output.substr(at + 10)));
    }
    out.storedInTime = run.output.find("SDK exit ::") == std::string::npos;
    return out;
}

TEST_F(FacadeTest, AReturnFromMainWithoutTerminateStoresWhatTheAppRecorded) {
    const ExitRun open = runExitChild(sdk_.home(), "open");
    ASSERT_EQ(open.exitCode, 0) << open.output;
    // The SDK never waits for the network at exit, and gives up its wait
    // after its budget: nowhere near a hang.
    std::printf("the exit with events in the open buffer took %lld us\n",
                static_cast<long long>(open.took.count()));
    EXPECT_LT(open.took, std::chrono::seconds(2));
    // What the open buffer held is in the journal alone.
    const std::vector<std::string> left = journalsIn(sdk_.home());
    ASSERT_FALSE(left.empty()) << open.output;

    // The next launch, online: every event of the ended one arrives, once.
    ASSERT_TRUE(nextLaunchOnline());
    ASSERT_TRUE(waitForEvents("exit_tick", kRecordedBeforeExit))
        << events("exit_tick").size() << " arrived; the ended app said: " << open.output;
    expectEachOnce(events("exit_tick"), kRecordedBeforeExit);
    // Every file of the ended process's journal, adopted, is gone.
    EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
    const std::vector<std::string> now = journalsIn(sdk_.home());
    for (const auto& name : left) {
        EXPECT_EQ(std::count(now.begin(), now.end(), name), 0) << name;
    }

    // An app that ends with nothing in the open buffer leaves no journal,
    // unless the SDK said its time ran out first (a loaded machine): then the
    // journal keeps everything for the next launch, as above.
    const std::string second = sdk_.home() + "/second";
    const ExitRun flushed = runExitChild(second, "flushed");
    ASSERT_EQ(flushed.exitCode, 0) << flushed.output;
    EXPECT_LT(flushed.took, std::chrono::seconds(2));
    if (flushed.storedInTime) {
        EXPECT_EQ(journalsIn(second), std::vector<std::string>{});
    } else {
        std::printf("the second exit ran out of time: %s\n", flushed.output.c_str());
    }
}

// An app that called applicationWillTerminate before main returned has
// nothing left to lose, however long the SDK's store at exit then takes: no
// line, and everything arrives on the next launch. What it records after that
// call, or what a call whose time ran out had not stored, is what a slow exit
// may lose: the line says so, without telling it to call what it called.
TEST_F(FacadeTest, ASlowExitAfterTerminateWarnsOnlyOfWhatWasRecordedAfterIt) {
    const ExitRun terminated = runExitChild(sdk_.home(), "terminated");
    ASSERT_EQ(terminated.exitCode, 0) << terminated.output;
    ASSERT_NE(terminated.output.find("terminate settled: 1"), std::string::npos)
        << terminated.output;
    // The held settings write kept the store at exit past its budget.
    EXPECT_GE(terminated.took, std::chrono::milliseconds(EXIT_BUDGET_MS)) << terminated.output;
    EXPECT_EQ(terminated.output.find("SDK exit ::"), std::string::npos) << terminated.output;
    EXPECT_EQ(terminated.output.find("applicationWillTerminate"), std::string::npos)
        << terminated.output;

    ASSERT_TRUE(nextLaunchOnline());
    ASSERT_TRUE(waitForEvents("exit_tick", kRecordedBeforeExit))
        << events("exit_tick").size() << " arrived; the ended app said: " << terminated.output;
    expectEachOnce(events("exit_tick"), kRecordedBeforeExit);

    const ExitRun late = runExitChild(sdk_.home() + "/second", "late");
    ASSERT_EQ(late.exitCode, 0) << late.output;
    ASSERT_NE(late.output.find("terminate settled: 1"), std::string::npos) << late.output;
    EXPECT_GE(late.took, std::chrono::milliseconds(EXIT_BUDGET_MS)) << late.output;
    const auto line = late.output.find("SDK exit ::");
    ASSERT_NE(line, std::string::npos) << late.output;
    const std::string said = late.output.substr(line, late.output.find('\n', line) - line);
    EXPECT_NE(said.find("recorded after SorvelHost::applicationWillTerminate"), std::string::npos)
        << said;
    EXPECT_EQ(said.find("call SorvelHost::applicationWillTerminate"), std::string::npos) << said;

    const ExitRun unsettled = runExitChild(sdk_.home() + "/third", "unsettled");
    ASSERT_EQ(unsettled.exitCode, 0) << unsettled.output;
    ASSERT_NE(unsettled.output.find("terminate settled: 0"), std::string::npos) << unsettled.output;
    EXPECT_NE(unsettled.output.find("SDK exit :: the process ended before the SDK stored what it "
                                    "held"),
              std::string::npos)
        << unsettled.output;
    EXPECT_NE(unsettled.output.find("applicationWillTerminate had not stored it"),
              std::string::npos)
        << unsettled.output;
    EXPECT_EQ(unsettled.output.find("call SorvelHost::applicationWillTerminate"), std::string::npos)
        << unsettled.output;
}

}  // namespace
}  // namespace sorvel::facadetest
