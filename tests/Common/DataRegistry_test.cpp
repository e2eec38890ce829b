#include "Common/DataRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "Common/DataContext.h"
#include "Platform/Dispatch.h"
#include "Platform/FileSystem.h"
#include "Platform/Host.h"
#include "Platform/UserDefaults.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using testing::FreshSdk;
using namespace std::chrono_literals;

std::shared_ptr<DataRegistry> openRegistry() {
    return std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
}

// Forgets every cached store so the next open reads the files again, as a new
// process would.
void simulateRestart() {
    testing::restartProcessState();
}

void listen(DataRegistry& r, DataRegistryKey k, DataUnitEventListener::Callback callback) {
    r.addListener(k, std::make_shared<DataUnitEventListener>(std::move(callback)));
}

std::string key(DataRegistryKey k) {
    return std::string(rawValue(k));
}

TEST(DataRegistryTest, TypedValuesSurviveARestartWithTheirTypes) {
    FreshSdk sdk;
    const Value::Map dict{{"a", Value(1)}, {"b", Value(Value::Map{{"c", Value("d")}})}};
    const Value::Array array{Value("x"), Value(2.5)};
    {
        auto r = openRegistry();
        r->putString("abc", DataRegistryKey::STRING_APPKEY);
        r->putBool(true, DataRegistryKey::BOOL_GDPR_FORGET_ME);
        r->putInt(7, DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY);
        r->putInt64(-1234567890123, DataRegistryKey::INT64_LAST_SESSION_END_TIME);
        r->putUInt64(18446744073709551615ull, DataRegistryKey::UINT64_EVENT_ORDER_NO);
        r->putDouble(37.5, DataRegistryKey::DOUBLE_LOCATION_LAT);
        r->putDictionary(dict, DataRegistryKey::DICTIONARY_USER_PROPERTIES);
        r->putArray(array, DataRegistryKey::ARRAY_S3_CONFIG_BLOCKED_EVENTS);
        r->putData(Value::Bytes{0, 1, 255}, DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
        EXPECT_TRUE(r->waitForPendingWrites());
    }
    simulateRestart();
    auto r = openRegistry();
    EXPECT_EQ(r->getString(DataRegistryKey::STRING_APPKEY, ""), "abc");
    EXPECT_TRUE(r->getBool(DataRegistryKey::BOOL_GDPR_FORGET_ME, false));
    EXPECT_EQ(r->getInt(DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY, 0), 7);
    EXPECT_EQ(r->getInt64(DataRegistryKey::INT64_LAST_SESSION_END_TIME, 0), -1234567890123);
    EXPECT_EQ(r->getUInt64(DataRegistryKey::UINT64_EVENT_ORDER_NO, 0), 18446744073709551615ull);
    EXPECT_DOUBLE_EQ(r->getDouble(DataRegistryKey::DOUBLE_LOCATION_LAT, 0), 37.5);
    // Strict equality: the types too.
    EXPECT_EQ(Value(r->getDictionary(DataRegistryKey::DICTIONARY_USER_PROPERTIES, {})), dict);
    EXPECT_EQ(Value(r->getArray(DataRegistryKey::ARRAY_S3_CONFIG_BLOCKED_EVENTS, {})), array);
    EXPECT_EQ(r->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt),
              (Value::Bytes{0, 1, 255}));

    // A value of another type than the getter's gives the default.
    EXPECT_EQ(r->getString(DataRegistryKey::BOOL_GDPR_FORGET_ME, "def"), "def");
    EXPECT_FALSE(r->getBool(DataRegistryKey::STRING_APPKEY, false));
    EXPECT_EQ(r->getStringOrNil(DataRegistryKey::STRING_ADID, std::nullopt), std::nullopt);
    EXPECT_DOUBLE_EQ(r->getDouble(DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY, -1), -1);

    // Absent text removes the value.
    r->putString(std::nullopt, DataRegistryKey::STRING_APPKEY);
    EXPECT_EQ(r->getStringOrNil(DataRegistryKey::STRING_APPKEY, std::nullopt), std::nullopt);
}

TEST(DataRegistryTest, ListenersFireOnRealChangesOnTheWritersThreadInOrder) {
    FreshSdk sdk;
    auto r = openRegistry();
    std::vector<std::string> calls;
    std::thread::id callerThread;
    auto k = DataRegistryKey::DICTIONARY_USER_PROPERTIES;
    listen(*r, k, [&](const std::optional<Value>& v) {
        calls.push_back("first:" + (v ? v->render() : std::string("absent")));
        callerThread = std::this_thread::get_id();
    });
    listen(*r, k, [&](const std::optional<Value>& v) {
        calls.push_back("second:" + (v ? v->render() : std::string("absent")));
    });

    Value::Map m1{{"n", Value(5)}, {"s", Value("5")}};
    r->putDictionary(m1, k);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].rfind("first:", 0), 0u);
    EXPECT_EQ(calls[1].rfind("second:", 0), 0u);
    EXPECT_EQ(callerThread, std::this_thread::get_id());

    // The same content with uint64 in place of int64 is no change.
    r->putDictionary({{"n", Value(std::uint64_t{5})}, {"s", Value("5")}}, k);
    EXPECT_EQ(calls.size(), 2u);
    // The text "5" in place of the number 5 is a change.
    r->putDictionary({{"n", Value("5")}, {"s", Value("5")}}, k);
    EXPECT_EQ(calls.size(), 4u);

    // removeAll calls no listener, and the next put of the old value is a change.
    r->removeAll();
    EXPECT_EQ(calls.size(), 4u);
    EXPECT_TRUE(r->getDictionary(k, {}).empty());
    r->putDictionary({{"n", Value("5")}, {"s", Value("5")}}, k);
    EXPECT_EQ(calls.size(), 6u);

    // A listener of another key is not called, and bool true is not the number 1.
    int boolCalls = 0;
    listen(*r, DataRegistryKey::BOOL_IS_PUSH_ENABLE, [&](const auto&) { ++boolCalls; });
    r->putInt(1, DataRegistryKey::BOOL_IS_PUSH_ENABLE);
    r->putBool(true, DataRegistryKey::BOOL_IS_PUSH_ENABLE);
    r->putBool(true, DataRegistryKey::BOOL_IS_PUSH_ENABLE);
    EXPECT_EQ(boolCalls, 2);
    EXPECT_EQ(calls.size(), 6u);

    // Maps compare key by key, not by how they print.
    r->putDictionary({{"n: \"5\", s", Value("5")}}, k);
    EXPECT_EQ(calls.size(), 8u);

    // Data compares by content: other bytes of the same length are a change.
    int dataCalls = 0;
    listen(*r, DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, [&](const auto&) { ++dataCalls; });
    r->putData(Value::Bytes{1, 2, 3}, DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
    r->putData(Value::Bytes{4, 5, 6}, DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
    r->putData(Value::Bytes{4, 5, 6}, DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
    EXPECT_EQ(dataCalls, 2);
}

TEST(DataRegistryTest, ListenerMayReenterTheRegistry) {
    FreshSdk sdk;
    auto r = openRegistry();
    listen(*r, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE, [&](const std::optional<Value>& v) {
        // Reads and writes from inside a listener must not deadlock.
        bool paused = r->getBool(DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE, false);
        r->putBool(paused, DataRegistryKey::BOOL_IS_SDK_STOPPED);
        r->addListener(DataRegistryKey::STRING_APPKEY,
                       std::make_shared<DataUnitEventListener>([](const auto&) {}));
        ASSERT_TRUE(v.has_value());
    });
    r->putBool(true, DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE);
    EXPECT_TRUE(r->getBool(DataRegistryKey::BOOL_IS_SDK_STOPPED, false));

    // A listener that changes its own key: the change reaches it after the
    // current call, not inside it.
    std::vector<std::string> calls;
    const auto all = DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP;
    listen(*r, all, [&](const std::optional<Value>& v) {
        calls.push_back("begin " + v->render());
        if (*v->getBool()) {
            r->putBool(false, all);
        }
        calls.push_back("end " + v->render());
    });
    r->putBool(true, all);
    EXPECT_EQ(calls,
              (std::vector<std::string>{"begin true", "end true", "begin false", "end false"}));
    EXPECT_FALSE(r->getBool(all, true));
}

TEST(DataRegistryTest, ConcurrentIncrementsGiveUniqueValuesAndNotificationsInOrder) {
    FreshSdk sdk;
    auto r = openRegistry();
    const auto k = DataRegistryKey::UINT64_EVENT_ORDER_NO;
    std::mutex mu;
    std::vector<std::uint64_t> seen;
    listen(*r, k, [&](const std::optional<Value>& v) {
        std::lock_guard<std::mutex> lock(mu);
        seen.push_back(v ? v->toUInt64().value_or(0) : 0);
    });
    constexpr int kThreads = 8;
    constexpr int kEach = 500;
    // Half the threads step the counter alone, half together with a second
    // counter, as an event's two order numbers are taken.
    const auto second = DataRegistryKey::UINT64_SESSION_ORDER_NO;
    std::vector<std::vector<std::uint64_t>> got(kThreads);
    std::vector<std::vector<std::uint64_t>> gotSecond(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                if (t % 2 == 0) {
                    got[t].push_back(r->incrementCounter(k));
                } else {
                    const auto [other, first] = r->incrementCounters(second, k);
                    got[t].push_back(first);
                    gotSecond[t].push_back(other);
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    std::set<std::uint64_t> all;
    std::set<std::uint64_t> allSecond;
    for (int t = 0; t < kThreads; ++t) {
        all.insert(got[t].begin(), got[t].end());
        allSecond.insert(gotSecond[t].begin(), gotSecond[t].end());
    }
    constexpr auto kTotal = static_cast<std::uint64_t>(kThreads * kEach);
    EXPECT_EQ(all.size(), kTotal);
    EXPECT_EQ(*all.begin(), 1u);
    EXPECT_EQ(*all.rbegin(), kTotal);
    EXPECT_EQ(allSecond.size(), kTotal / 2);
    EXPECT_EQ(*allSecond.rbegin(), kTotal / 2);
    // Changes overtaken before their turn may be skipped, never delivered late.
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end(), std::less_equal<>()));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), kTotal);
    EXPECT_TRUE(r->waitForPendingWrites());
    simulateRestart();
    auto reopened = openRegistry();
    EXPECT_EQ(reopened->getUInt64(k, 0), kTotal);
    // Several values read at one moment, stored and absent alike.
    reopened->putString("lwid", DataRegistryKey::STRING_LOCATION_LWID);
    const auto values = reopened->getValues(std::array{
        k, second, DataRegistryKey::STRING_LOCATION_LWID, DataRegistryKey::STRING_PREV_ID});
    EXPECT_EQ(values[0], std::optional<Value>(Value(kTotal)));
    EXPECT_EQ(values[1], std::optional<Value>(Value(kTotal / 2)));
    EXPECT_EQ(values[2], std::optional<Value>(Value("lwid")));
    EXPECT_FALSE(values[3].has_value());
}

TEST(DataRegistryTest, RacingWritersLeaveTheListenerWithTheStoredValue) {
    FreshSdk sdk;
    auto r = openRegistry();
    const auto k = DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE;
    // The first listener takes a moment, so that two writers' notifications
    // overlap in the second, which records what it was told last.
    listen(*r, k, [](const auto&) {
        for (int i = 0; i < 3; ++i) {
            std::this_thread::yield();
        }
    });
    std::mutex mu;
    std::optional<Value> told;
    listen(*r, k, [&](const std::optional<Value>& v) {
        std::lock_guard<std::mutex> lock(mu);
        told = v;
    });

    constexpr int kTrials = 3000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    std::atomic<bool> timedOut{false};
    std::mutex stepMu;
    std::condition_variable stepped;
    auto step = [&](std::atomic<int>& counter) {
        {
            std::lock_guard<std::mutex> lock(stepMu);
            ++counter;
        }
        stepped.notify_all();
    };
    // Sleeps until the step (or the deadline) rather than spinning: the
    // writers start a trial together from one wake-up, and on a machine with
    // fewer cores than busy threads spinners would only hand their time
    // slices to one another (a trial then took tens of milliseconds).
    auto await = [&](const std::atomic<int>& counter, int target) {
        std::unique_lock<std::mutex> lock(stepMu);
        if (!stepped.wait_until(lock, deadline, [&] { return counter.load() >= target; })) {
            timedOut = true;
            return false;
        }
        return true;
    };
    auto writer = [&](bool value) {
        for (int trial = 1; trial <= kTrials && await(started, trial); ++trial) {
            r->putBool(value, k);
            step(finished);
        }
    };
    std::thread pauses(writer, true);
    std::thread resumes(writer, false);
    int wrong = 0;
    for (int trial = 1; trial <= kTrials; ++trial) {
        r->putString(std::nullopt, k);  // both writers change the value
        step(started);
        if (!await(finished, 2 * trial)) {
            break;
        }
        std::lock_guard<std::mutex> lock(mu);
        if (told != r->getValue(k)) {
            ++wrong;
        }
    }
    pauses.join();
    resumes.join();
    EXPECT_FALSE(timedOut.load());
    EXPECT_EQ(wrong, 0) << "trials in which the listener was last told another value than stored";
}

TEST(DataRegistryTest, ValuesMoveOutOfTheStandardDefaultsOnce) {
    FreshSdk sdk;
    auto standard = platform::UserDefaults::standard();
    ASSERT_TRUE(standard->set(key(DataRegistryKey::STRING_APPKEY), Value("legacyKey")).isOk());
    ASSERT_TRUE(standard->set(key(DataRegistryKey::UINT64_EVENT_ORDER_NO), Value(std::uint64_t{41}))
                    .isOk());
    ASSERT_TRUE(standard->set("someOtherAppSetting", Value("kept")).isOk());

    auto r = openRegistry();
    EXPECT_EQ(r->getString(DataRegistryKey::STRING_APPKEY, ""), "legacyKey");
    EXPECT_EQ(r->getUInt64(DataRegistryKey::UINT64_EVENT_ORDER_NO, 0), 41u);
    EXPECT_FALSE(standard->get(key(DataRegistryKey::STRING_APPKEY)).has_value());
    EXPECT_EQ(*standard->get("someOtherAppSetting")->getString(), "kept");

    // After removeAll, a value that reappears in the standard suite is not moved again.
    r->removeAll();
    EXPECT_TRUE(r->waitForPendingWrites());
    ASSERT_TRUE(standard->set(key(DataRegistryKey::STRING_APPKEY), Value("again")).isOk());
    simulateRestart();
    auto r2 = openRegistry();
    EXPECT_EQ(r2->getString(DataRegistryKey::STRING_APPKEY, "none"), "none");
    EXPECT_EQ(
        *platform::UserDefaults::standard()->get(key(DataRegistryKey::STRING_APPKEY))->getString(),
        "again");
}

TEST(DataRegistryTest, AMoveTheSuiteCannotSaveLeavesTheValueInTheStandardDefaults) {
    FreshSdk sdk;
    testing::LogCapture log;
    auto standard = platform::UserDefaults::standard();
    ASSERT_TRUE(standard->set(key(DataRegistryKey::STRING_APPKEY), Value("legacyKey")).isOk());
    // A folder where the suite's file belongs: the suite lives in memory only.
    const std::string file =
        platform::preferencesFolder() + "/" + DefaultDataContext::SUITE_NAME + ".sqlite";
    std::filesystem::create_directories(file);
    {
        auto r = openRegistry();
        EXPECT_EQ(r->getString(DataRegistryKey::STRING_APPKEY, ""), "legacyKey");
        r->putString("kept in memory", DataRegistryKey::STRING_LAST_OPEN_ID);
        Status saved = r->waitForPendingWrites();
        EXPECT_FALSE(saved);
        EXPECT_NE(saved.message().find(key(DataRegistryKey::STRING_LAST_OPEN_ID)),
                  std::string::npos)
            << saved.message();
    }
    EXPECT_EQ(standard->get(key(DataRegistryKey::STRING_APPKEY)), Value("legacyKey"));
    EXPECT_FALSE(standard->get(DefaultDataContext::MIGRATION_MARKER).has_value());

    // Next launch the suite opens and the move completes.
    std::filesystem::remove(file);
    simulateRestart();
    EXPECT_EQ(openRegistry()->getString(DataRegistryKey::STRING_APPKEY, ""), "legacyKey");
    EXPECT_FALSE(
        platform::UserDefaults::standard()->get(key(DataRegistryKey::STRING_APPKEY)).has_value());
    simulateRestart();
    EXPECT_EQ(openRegistry()->getString(DataRegistryKey::STRING_APPKEY, ""), "legacyKey");
}

TEST(DataRegistryTest, TheWaitForWritesTellsWhetherTheyReachedTheStore) {
    FreshSdk sdk;
    auto context = std::make_shared<testing::MemoryContext>();
    DataRegistry r(context);
    const auto a = DataRegistryKey::STRING_APPKEY;
    const auto b = DataRegistryKey::INT64_LAST_SESSION_END_TIME;
    r.putString("a", a);
    EXPECT_TRUE(r.waitForPendingWrites());

    context->failing = true;
    r.putString("a2", a);
    r.putInt64(2, b);
    Status saved = r.waitForPendingWrites();
    EXPECT_FALSE(saved);
    EXPECT_NE(saved.message().find(key(a)), std::string::npos) << saved.message();
    EXPECT_EQ(r.getString(a, ""), "a2");

    // A later write of the same value that lands makes up for the failed one.
    context->failing = false;
    r.putString("a3", a);
    saved = r.waitForPendingWrites();
    EXPECT_EQ(saved.message().find(key(a)), std::string::npos) << saved.message();
    EXPECT_NE(saved.message().find(key(b)), std::string::npos) << saved.message();
    r.putInt64(3, b);
    EXPECT_TRUE(r.waitForPendingWrites());

    context->failing = true;
    r.removeAll();
    EXPECT_FALSE(r.waitForPendingWrites());
    context->failing = false;
    r.removeAll();
    EXPECT_TRUE(r.waitForPendingWrites());
}

// A queue made with the registry's as target shares its writer thread: a
// block of it that waits for the registry's writes runs them in place
// instead of waiting for itself.
TEST(DataRegistryTest, AQueueSharingTheWriterThreadWaitsForTheWritesInPlace) {
    FreshSdk sdk;
    auto context = std::make_shared<testing::MemoryContext>();
    DataRegistry r(context);
    auto list = platform::DispatchQueue::makeSerial("listWriter", r.writerQueue());
    std::string ranOn;
    bool saved = false;
    std::optional<Value> landed;
    ASSERT_TRUE(testing::endsWithin(
        10s,
        [&] {
            list->sync([&] {
                ranOn = testing::currentThreadName();
                r.putString("b", DataRegistryKey::STRING_APPKEY);
                saved = r.waitForPendingWrites().isOk();
                landed = context->get(key(DataRegistryKey::STRING_APPKEY));
            });
        },
        [] {}));
    EXPECT_EQ(ranOn, "sorvel-writer");
    EXPECT_TRUE(saved);
    EXPECT_EQ(landed, std::optional<Value>(Value("b")));
    EXPECT_EQ(testing::threadsNamed("listWriter"), 0u);
}

// When this program is started as the writer of SurvivesSigkillOfTheWriter,
// it writes through the registry before any test runs, waits for the queued
// writes, reports ready and waits to be killed.
int runAsKilledWriterIfAsked() {
    const char* home = std::getenv("SORVEL_KILL_CHILD_HOME");
    if (home == nullptr) {
        return 0;
    }
    platform::host::setHomeFolder(home);
    auto r = openRegistry();
    r->putString("written-before-kill", DataRegistryKey::STRING_APPKEY);
    r->putUInt64(99, DataRegistryKey::UINT64_EVENT_ORDER_NO);
    r->putDictionary({{"k", Value(1.5)}}, DataRegistryKey::DICTIONARY_CI_PROPERTIES);
    testing::reportAndAwaitKill(r->waitForPendingWrites().isOk());
}
const int kKilledWriterDone = runAsKilledWriterIfAsked();

TEST(DataRegistryTest, SurvivesSigkillOfTheWriter) {
    FreshSdk sdk;
    std::string said;
    ASSERT_TRUE(testing::killWhenReady("SORVEL_KILL_CHILD_HOME=" + sdk.home(), said)) << said;

    simulateRestart();
    platform::host::setHomeFolder(sdk.home());
    auto r = openRegistry();
    EXPECT_EQ(r->getString(DataRegistryKey::STRING_APPKEY, ""), "written-before-kill");
    EXPECT_EQ(r->getUInt64(DataRegistryKey::UINT64_EVENT_ORDER_NO, 0), 99u);
    auto ci = r->getDictionary(DataRegistryKey::DICTIONARY_CI_PROPERTIES, {});
    ASSERT_EQ(ci.count("k"), 1u);
    EXPECT_EQ(*ci["k"].getDouble(), 1.5);
}

// When started as the writer of AKillMidStreamNeverLandsAChangeWithoutTheOnesBefore,
// streams pairs of changes as the event pipeline does: a counter step, then a
// value made after it (here the step itself, where the pipeline stores the
// package holding the numbered event). Reports ready once some have landed and
// goes on writing until killed.
int runAsStreamingWriterIfAsked() {
    const char* home = std::getenv("SORVEL_STREAM_CHILD_HOME");
    if (home == nullptr) {
        return 0;
    }
    platform::host::setHomeFolder(home);
    auto r = openRegistry();
    std::thread([r] {
        for (;;) {
            const std::uint64_t n = r->incrementCounter(DataRegistryKey::UINT64_EVENT_ORDER_NO);
            r->putUInt64(n, DataRegistryKey::UINT64_SESSION_ORDER_NO);
        }
    }).detach();
    testing::pollUntil(
        [&r] { return r->getUInt64(DataRegistryKey::UINT64_SESSION_ORDER_NO, 0) > 5000; });
    testing::reportAndAwaitKill(r->waitForPendingWrites().isOk());
}
const int kStreamingWriterDone = runAsStreamingWriterIfAsked();

// Changes made while a commit runs land together in the next one: a kill may
// lose the newest of them, but never a change while keeping one made after
// it, so a stored value never carries a counter step the store has lost.
TEST(DataRegistryTest, AKillMidStreamNeverLandsAChangeWithoutTheOnesBefore) {
    for (int round = 0; round < 3; ++round) {
        FreshSdk sdk;
        std::string said;
        ASSERT_TRUE(testing::killWhenReady("SORVEL_STREAM_CHILD_HOME=" + sdk.home(), said)) << said;
        simulateRestart();
        platform::host::setHomeFolder(sdk.home());
        auto r = openRegistry();
        const std::uint64_t counter = r->getUInt64(DataRegistryKey::UINT64_EVENT_ORDER_NO, 0);
        const std::uint64_t after = r->getUInt64(DataRegistryKey::UINT64_SESSION_ORDER_NO, 0);
        EXPECT_GT(after, 5000u);
        EXPECT_GE(counter, after) << "round " << round;
    }
}

// Counts what reaches the store underneath.
struct CountingContext : IDataContext {
    std::shared_ptr<IDataContext> inner = std::make_shared<DefaultDataContext>();
    std::atomic<int> sets{0};
    Status set(const std::string& k, const std::optional<Value>& v) override {
        ++sets;
        return inner->set(k, v);
    }
    std::optional<Value> get(const std::string& k) const override { return inner->get(k); }
    Status removeAll() override { return inner->removeAll(); }
};

TEST(DataRegistryTest, OnlyTheLastOfABurstAndNoRepeatReachesTheStore) {
    FreshSdk sdk;
    auto context = std::make_shared<CountingContext>();
    {
        DataRegistry r(context);
        for (int i = 0; i < 2000; ++i) {
            r.incrementCounter(DataRegistryKey::UINT64_EVENT_ORDER_NO);
        }
        EXPECT_TRUE(r.waitForPendingWrites());
        EXPECT_LT(context->sets.load(), 2000);
        const int before = context->sets.load();
        // The same value again, with nothing queued: no write.
        r.putUInt64(2000, DataRegistryKey::UINT64_EVENT_ORDER_NO);
        r.putString(std::nullopt, DataRegistryKey::STRING_IP_ADDRESS);
        EXPECT_TRUE(r.waitForPendingWrites());
        EXPECT_EQ(context->sets.load(), before);
        // A wipe between two writes: the later write still lands.
        r.putString("a", DataRegistryKey::STRING_APPKEY);
        r.removeAll();
        r.putString("b", DataRegistryKey::STRING_APPKEY);
        EXPECT_TRUE(r.waitForPendingWrites());
    }
    simulateRestart();
    auto r = openRegistry();
    EXPECT_EQ(r->getUInt64(DataRegistryKey::UINT64_EVENT_ORDER_NO, 0), 0u);
    EXPECT_EQ(r->getString(DataRegistryKey::STRING_APPKEY, ""), "b");
}

TEST(DataRegistryTest, AConditionalPutLandsOnlyOnWhatItExpects) {
    FreshSdk sdk;
    auto r = openRegistry();
    const auto k = DataRegistryKey::DATA_UNSENT_EVENTPACKAGES;
    const Value::Bytes a{'a'};
    const Value::Bytes b{'b'};
    EXPECT_TRUE(r->putDataIfUnchanged(std::nullopt, a, k));
    EXPECT_FALSE(r->putDataIfUnchanged(std::nullopt, b, k));
    EXPECT_FALSE(r->putDataIfUnchanged(b, b, k));
    EXPECT_EQ(r->getData(k, std::nullopt), a);
    EXPECT_TRUE(r->putDataIfUnchanged(a, b, k));
    r->putData(std::nullopt, k);
    EXPECT_FALSE(r->putDataIfUnchanged(b, a, k));
    EXPECT_FALSE(r->getData(k, std::nullopt).has_value());
}

// A store that takes nothing: every write fails, every read finds nothing.
// Holds the store's answer to each write and wipe until the test lets it go,
// so a check of what reads give while a write is under way runs before the
// answer lands, however the threads are scheduled. It lets go by itself
// after a deadline, so a test that fails before opening it never hangs.
class StoreGate {
  public:
    void pass() {
        std::unique_lock<std::mutex> lock(mu_);
        ++waiting_;
        testing::notifyWaiters();
        cv_.wait_for(lock, 20s, [&] { return open_; });
        --waiting_;
    }
    void open() {
        std::lock_guard<std::mutex> lock(mu_);
        open_ = true;
        cv_.notify_all();
    }
    bool someoneWaiting() const {
        std::lock_guard<std::mutex> lock(mu_);
        return waiting_ > 0;
    }

  private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    int waiting_ = 0;
    bool open_ = false;
};

struct RefusingContext : IDataContext {
    Status set(const std::string&, const std::optional<Value>&) override {
        gate.pass();
        return Status::error("refused");
    }
    std::optional<Value> get(const std::string&) const override { return std::nullopt; }
    Status removeAll() override { return Status::ok(); }
    StoreGate gate;
};

TEST(DataRegistryTest, AKeysVersionMovesWhenWhatAReadAnswersMayHaveChanged) {
    FreshSdk sdk;
    auto r = openRegistry();
    const auto k = DataRegistryKey::STRING_LAST_OPEN_ID;
    const auto other = DataRegistryKey::STRING_APPKEY;
    const std::uint64_t v0 = r->version(k);
    r->putString(std::string("a"), k);
    const std::uint64_t v1 = r->version(k);
    EXPECT_GT(v1, v0);
    std::array<std::uint64_t, 2> versions{};
    auto read = r->getValues(std::array{k, other}, versions);
    EXPECT_EQ(*read[0]->getString(), "a");
    EXPECT_EQ(versions[0], v1);
    EXPECT_EQ(versions[1], r->version(other));

    // An equal value once it is on disk, and other keys, leave it alone.
    ASSERT_TRUE(r->waitForPendingWrites());
    const std::uint64_t settled = r->version(k);
    r->putString(std::string("a"), k);
    r->putString(std::string("key"), other);
    r->incrementCounter(DataRegistryKey::UINT64_EVENT_ORDER_NO);
    EXPECT_EQ(r->version(k), settled);

    r->putString(std::nullopt, k);
    const std::uint64_t removed = r->version(k);
    EXPECT_GT(removed, settled);
    const std::uint64_t otherBefore = r->version(other);
    r->removeAll();
    EXPECT_GT(r->version(k), removed);
    EXPECT_GT(r->version(other), otherBefore);

    // A write the store refused reads back as what it held (nothing): the
    // version tells the readers that kept "b".
    auto refusingStore = std::make_shared<RefusingContext>();
    DataRegistry refusing(refusingStore);
    refusing.putString(std::string("b"), k);
    const std::uint64_t put = refusing.version(k);
    // Until the store has answered, the put is what reads give.
    EXPECT_TRUE(testing::waitUntil([&] { return refusingStore->gate.someoneWaiting(); }));
    EXPECT_EQ(refusing.getString(k, ""), "b");
    EXPECT_EQ(refusing.version(k), put);
    refusingStore->gate.open();
    EXPECT_FALSE(refusing.waitForPendingWrites());
    EXPECT_FALSE(refusing.getStringOrNil(k, std::nullopt).has_value());
    EXPECT_GT(refusing.version(k), put);
}

// A store in memory that refuses to wipe what it holds, once the gate lets
// its answer go.
struct KeepingContext : IDataContext {
    Status set(const std::string& key, const std::optional<Value>& value) override {
        return values.set(key, value);
    }
    std::optional<Value> get(const std::string& key) const override { return values.get(key); }
    Status removeAll() override {
        gate.pass();
        return Status::error("refused");
    }
    testing::MemoryContext values;
    StoreGate gate;
};

TEST(DataRegistryTest, AFlagReadsWhatWasLastPutWhileOtherThreadsReadItToo) {
    FreshSdk sdk;
    auto r = openRegistry();
    const auto k = DataRegistryKey::BOOL_GDPR_FORGET_ME;
    EXPECT_TRUE(r->getBool(k, true));
    EXPECT_FALSE(r->getBool(k, false));
    r->putBool(true, k);
    EXPECT_TRUE(r->getBool(k, false));
    // Not a bool: the default, whichever it is.
    r->putString(std::string("yes"), k);
    EXPECT_FALSE(r->getBool(k, false));
    EXPECT_TRUE(r->getBool(k, true));
    r->putBool(false, k);
    EXPECT_FALSE(r->getBool(k, true));
    r->putBool(true, k);
    r->removeAll();
    EXPECT_FALSE(r->getBool(k, false));

    // Readers on other threads keep filling the remembered answer with what
    // they read, racing each put; a read after a put returns still sees it.
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                (void)r->getBool(k, false);
            }
        });
    }
    int stale = 0;
    for (int i = 0; i < 2000; ++i) {
        const bool value = i % 2 == 0;
        r->putBool(value, k);
        stale += r->getBool(k, !value) != value ? 1 : 0;
    }
    stop = true;
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(stale, 0);

    // A wipe reads as done from the call on, and one the store refuses gives
    // the stored value back once the refusal is in, with a version that
    // moved, so the remembered answer of the wipe is not given again.
    auto keepingStore = std::make_shared<KeepingContext>();
    DataRegistry keeping(keepingStore);
    keeping.putBool(true, k);
    ASSERT_TRUE(keeping.waitForPendingWrites());
    EXPECT_TRUE(keeping.getBool(k, false));
    keeping.removeAll();
    const std::uint64_t wiped = keeping.version(k);
    EXPECT_TRUE(testing::waitUntil([&] { return keepingStore->gate.someoneWaiting(); }));
    EXPECT_FALSE(keeping.getBool(k, false));
    EXPECT_FALSE(keeping.getBool(k, false));
    keepingStore->gate.open();
    EXPECT_FALSE(keeping.waitForPendingWrites());
    EXPECT_GT(keeping.version(k), wiped);
    EXPECT_TRUE(keeping.getBool(k, false));
}

}  // namespace
}  // namespace sorvel

namespace sorvel {
namespace {

TEST(DeferredDataContextTest, NewStoresAreCreatedOffTheCallersThreadWhileReadsAndWritesGoOn) {
    FreshSdk sdk;
    const std::string preferences = platform::homeFolder() + "/Library/Preferences";
    ASSERT_FALSE(std::filesystem::exists(preferences));
    // The creation job is held until the test lets it run.
    std::function<void()> creation;
    auto context = std::make_shared<DeferredDataContext>(
        [&](std::function<void()> job) { creation = std::move(job); });
    ASSERT_TRUE(creation);
    EXPECT_FALSE(context->isOpen());

    auto r = std::make_shared<DataRegistry>(context);
    EXPECT_EQ(r->getString(DataRegistryKey::STRING_APPKEY, "none"), "none");
    r->putString("written meanwhile", DataRegistryKey::STRING_APPKEY);
    EXPECT_EQ(r->getString(DataRegistryKey::STRING_APPKEY, ""), "written meanwhile");
    EXPECT_FALSE(std::filesystem::exists(preferences)) << "the stores were created by the caller";

    std::thread creator(creation);
    EXPECT_TRUE(r->waitForPendingWrites());
    creator.join();
    EXPECT_TRUE(context->isOpen());
    EXPECT_EQ(r->getString(DataRegistryKey::STRING_APPKEY, ""), "written meanwhile");
    r.reset();
    context.reset();

    // Next launch the stores exist: they open at once, without the executor.
    simulateRestart();
    bool executorCalled = false;
    auto again = std::make_shared<DeferredDataContext>(
        [&](std::function<void()>) { executorCalled = true; });
    EXPECT_FALSE(executorCalled);
    EXPECT_TRUE(again->isOpen());
    EXPECT_EQ(DataRegistry(again).getString(DataRegistryKey::STRING_APPKEY, ""),
              "written meanwhile");
}

TEST(DeferredDataContextTest, ByDefaultTheGlobalQueueCreatesThemAndDestructionWaitsForIt) {
    FreshSdk sdk;
    {
        // Destroyed at once: it still leaves the stores complete behind it.
        DeferredDataContext unused;
    }
    EXPECT_TRUE(std::filesystem::exists(platform::homeFolder() + "/Library/Preferences/" +
                                        DefaultDataContext::SUITE_NAME + ".sqlite"));
    simulateRestart();
    std::filesystem::remove_all(platform::homeFolder() + "/Library/Preferences");
    {
        auto r = std::make_shared<DataRegistry>(std::make_shared<DeferredDataContext>());
        r->putString("v", DataRegistryKey::STRING_APPKEY);
        EXPECT_TRUE(r->waitForPendingWrites());
    }
    simulateRestart();
    EXPECT_EQ(openRegistry()->getString(DataRegistryKey::STRING_APPKEY, ""), "v");
}

}  // namespace
}  // namespace sorvel
