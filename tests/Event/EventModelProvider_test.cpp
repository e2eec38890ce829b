#include "Event/EventModelProvider.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Event/EventCounters.h"
#include "Event/EventInputGuard.h"
#include "Event/UserPropertyManager.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

class EventModelProviderTest : public ::testing::Test {
  protected:
    // Through the shared context, as the repository builds events.
    EventModel build(LogEventParameter p) {
        return EventModelProvider(properties, registry, counters(), contexts(), std::move(p))
            .buildEventModel();
    }
    // Read from the registry for this event alone.
    EventModel buildUncached(LogEventParameter p) {
        return EventModelProvider(properties, registry, counters(), std::move(p)).buildEventModel();
    }
    EventModel build(const std::string& name) {
        return build(LogEventParameter::initWithEventName("custom", name, {}));
    }
    static std::string param(const EventModel& m, const std::string& key) {
        return *m.param->at(key).getString();
    }

    // Loaded at the first event, from what the test stored before it.
    std::shared_ptr<EventCounters> counters() {
        if (!counters_) {
            counters_ = std::make_shared<EventCounters>(registry);
        }
        return counters_;
    }

    // Made again when a test replaces the manager.
    std::shared_ptr<EventContextCache> contexts() {
        if (!contexts_ || contextsFor_ != properties) {
            contexts_ = std::make_shared<EventContextCache>(properties, registry);
            contextsFor_ = properties;
        }
        return contexts_;
    }

    testing::FreshSdk sdk;
    std::shared_ptr<DataRegistry> registry =
        std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    std::shared_ptr<UserPropertyManager> properties =
        std::make_shared<UserPropertyManager>(registry, [] { return 100; });
    std::shared_ptr<EventCounters> counters_;
    std::shared_ptr<EventContextCache> contexts_;
    std::shared_ptr<UserPropertyManager> contextsFor_;
};

TEST_F(EventModelProviderTest, FirstEventOnAnEmptyRegistry) {
    EventModel m = build("tap");
    EXPECT_EQ(param(m, "svl:session_order_no"), "long:1");
    EXPECT_EQ(param(m, "svl:event_order_no"), "long:1");
    const EventContext& c = m.context();
    EXPECT_FALSE(c.last_firstopen_id || c.last_deeplink_id || c.last_open_id || m.prev_id ||
                 c.session_id || c.user_snapshot_id || m.log_id);
    EXPECT_TRUE(m.toDictionary().at("location").isNull());
    EXPECT_EQ(m.event_datetime.size(), 24u);
    EXPECT_EQ(m.group, "custom");
}

TEST_F(EventModelProviderTest, StampsWhatTheRegistryHolds) {
    registry->putString(std::string("first"), DataRegistryKey::STRING_LAST_FIRSTOPEN_ID);
    registry->putString(std::string("prev"), DataRegistryKey::STRING_PREV_ID);
    registry->putString(std::string("created"), DataRegistryKey::STRING_LAST_CREATED_SESSION_ID);
    registry->putString(std::string("ended"), DataRegistryKey::STRING_LAST_END_SESSION_ID);
    registry->putDouble(37.5, DataRegistryKey::DOUBLE_LOCATION_LAT);
    registry->putDouble(127.25, DataRegistryKey::DOUBLE_LOCATION_LNG);

    // Coordinates without an lwid: no location in the dictionary form.
    EventModel noLwid = build("start_session");
    EXPECT_EQ(noLwid.context().location.lat, 37.5);
    EXPECT_TRUE(noLwid.toDictionary().at("location").isNull());
    EXPECT_EQ(noLwid.context().session_id, "created");
    EXPECT_EQ(noLwid.prev_id, "prev");
    EXPECT_EQ(noLwid.context().last_firstopen_id, "first");

    registry->putString(std::string("lw"), DataRegistryKey::STRING_LOCATION_LWID);
    auto p = LogEventParameter::initWithEventName("svl", "end_session", {});
    p.prevId = "own-prev";
    p.sessionOrderNo = 7;
    p.eventParam["svl:event_order_no"] = Value("string:caller");
    EventModel m = build(p);
    EXPECT_EQ(m.context().session_id, "ended");
    EXPECT_EQ(m.prev_id, "own-prev");
    EXPECT_EQ(m.context().location.lwid, "lw");
    // Its own session number leaves the stored counter alone.
    EXPECT_EQ(param(m, "svl:session_order_no"), "long:7");
    EXPECT_EQ(param(m, "svl:event_order_no"), "long:2");
    EXPECT_EQ(param(build("next"), "svl:session_order_no"), "long:2");

    // A coordinate JSON cannot carry: the event goes without a location.
    registry->putDouble(std::nan(""), DataRegistryKey::DOUBLE_LOCATION_LAT);
    EventModel nan = build("nan");
    EXPECT_FALSE(nan.context().location.lwid);
    EXPECT_EQ(nan.context().location.lat, 0.0);
}

TEST_F(EventModelProviderTest, PropertiesInTypedFormAfterTheRegistryRoundTrip) {
    ASSERT_TRUE(properties->saveUserProperty({{"age", Value(30)},
                                              {"one", Value(1)},
                                              {"vip", Value(true)},
                                              {"ratio", Value(2.0)},
                                              {"nested", Value(Value::Map{{"x", Value("x")}})}}));
    ASSERT_TRUE(properties->saveCiProperty({{"c", Value("v")}}));
    ASSERT_TRUE(registry->waitForPendingWrites());
    // A manager built from what the registry stored, as after a relaunch.
    properties = std::make_shared<UserPropertyManager>(
        std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>()), [] { return 100; });
    EventModel m = build("tap");
    EXPECT_EQ(m.context().user_properties,
              (Value::Map{{"age", Value("long:30")},
                          {"nested", Value(Value::Map{{"x", Value("string:x")}})},
                          {"one", Value("long:1")},
                          {"ratio", Value("double:2.0")},
                          {"vip", Value("boolean:true")}}));
    EXPECT_EQ(m.context().ci, (Value::Map{{"c", Value("string:v")}}));
    EXPECT_EQ(m.context().user_snapshot_id, properties->getUserSnapshotId());
}

TEST_F(EventModelProviderTest, EachEventCarriesThePropertiesOfItsMoment) {
    ASSERT_TRUE(properties->saveUserProperty({{"age", Value(30)}}));
    EXPECT_EQ(build("a").context().user_properties, (Value::Map{{"age", Value("long:30")}}));

    // The typed form follows every change of the maps.
    ASSERT_TRUE(properties->saveUserProperty({{"age", Value(31.5)}, {"vip", Value(true)}}));
    ASSERT_TRUE(properties->saveCiProperty({{"c", Value("v")}}));
    EventModel changed = build("b");
    EXPECT_EQ(changed.context().user_properties,
              (Value::Map{{"age", Value("double:31.5")}, {"vip", Value("boolean:true")}}));
    EXPECT_EQ(changed.context().ci, (Value::Map{{"c", Value("string:v")}}));
    properties->clearUserProperty();
    EventModel cleared = build("c");
    EXPECT_TRUE(cleared.context().user_properties.empty());
    EXPECT_TRUE(cleared.context().ci.empty());
    ASSERT_TRUE(properties->saveUserProperty({{"k", Value("x")}}));
    properties->forgetAfterRegistryWipe();
    EXPECT_TRUE(build("d").context().user_properties.empty());

    // A provider kept and asked twice builds both events with the whole
    // parameter; only a provider about to go hands its parameter over.
    EventModelProvider kept(
        properties, registry, counters(),
        LogEventParameter::initWithEventName("custom", "twice", {{"p", Value("string:1")}}));
    EventModel first = kept.buildEventModel();
    EventModel second = kept.buildEventModel();
    EXPECT_EQ(first.event_name, "twice");
    EXPECT_EQ(second.event_name, "twice");
    EXPECT_EQ(param(second, "p"), "string:1");
    EXPECT_NE(param(first, "svl:event_order_no"), param(second, "svl:event_order_no"));
}

TEST_F(EventModelProviderTest, CountersStayUniqueAndGapFreeAcrossEightThreads) {
    constexpr int kThreads = 8;
    constexpr int kEach = 200;
    std::vector<std::vector<std::string>> numbers(kThreads);
    counters();  // made before the threads share it
    contexts();  // likewise
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                numbers[t].push_back(param(build("e"), "svl:event_order_no"));
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    std::vector<std::string> all;
    for (auto& n : numbers) {
        all.insert(all.end(), n.begin(), n.end());
    }
    std::vector<std::string> expected;
    for (int i = 1; i <= kThreads * kEach; ++i) {
        expected.push_back("long:" + std::to_string(i));
    }
    std::sort(all.begin(), all.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);
    EXPECT_EQ(counters()->current().sessionOrderNo, static_cast<std::uint64_t>(kThreads * kEach));
    counters()->checkpoint();
    EXPECT_EQ(registry->getUInt64(DataRegistryKey::UINT64_SESSION_ORDER_NO, 0),
              static_cast<std::uint64_t>(kThreads * kEach));
}

TEST_F(EventModelProviderTest, EventsShareOneContextUntilAValueInItChanges) {
    registry->putString(std::string("open-1"), DataRegistryKey::STRING_LAST_OPEN_ID);
    registry->putString(std::string("created"), DataRegistryKey::STRING_LAST_CREATED_SESSION_ID);
    registry->putString(std::string("ended"), DataRegistryKey::STRING_LAST_END_SESSION_ID);
    // Each cached event carries what an event read afresh does.
    auto same = [this](const std::string& name) {
        EventModel cached = build(name);
        Value::Map a = cached.toDictionary();
        Value::Map b =
            buildUncached(LogEventParameter::initWithEventName("custom", name, {})).toDictionary();
        // Only the order numbers and the time differ between the two.
        for (const char* key : {"param", "event_datetime"}) {
            a.erase(key);
            b.erase(key);
        }
        EXPECT_EQ(a, b) << name;
        return cached;
    };
    EventModel a = same("a");
    EventModel b = same("b");
    EXPECT_EQ(&a.context(), &b.context());
    EXPECT_EQ(a.context().last_open_id, "open-1");
    EXPECT_EQ(a.context().session_id, "created");

    // Keys the events do not carry leave the context as it is.
    registry->putString(std::string("key"), DataRegistryKey::STRING_APPKEY);
    counters()->checkpoint();
    EXPECT_EQ(&same("c").context(), &a.context());

    // "end_session" carries the end-session id, beside the others' context.
    EventModel end = same("end_session");
    EXPECT_EQ(end.context().session_id, "ended");
    EXPECT_EQ(&same("d").context(), &a.context());

    // Every key it holds is seen at the next event.
    registry->putString(std::string("open-2"), DataRegistryKey::STRING_LAST_OPEN_ID);
    EventModel e = same("e");
    EXPECT_EQ(e.context().last_open_id, "open-2");
    EXPECT_EQ(a.context().last_open_id, "open-1");
    registry->putString(std::string("lw"), DataRegistryKey::STRING_LOCATION_LWID);
    registry->putDouble(1.5, DataRegistryKey::DOUBLE_LOCATION_LNG);
    EXPECT_EQ(same("f").context().location.lng, 1.5);
    registry->putString(std::string("deep"), DataRegistryKey::STRING_LAST_DEEPLINK_ID);
    registry->putString(std::string("first"), DataRegistryKey::STRING_LAST_FIRSTOPEN_ID);
    EXPECT_EQ(same("g").context().last_deeplink_id, "deep");
    registry->putString(std::string("ended-2"), DataRegistryKey::STRING_LAST_END_SESSION_ID);
    EXPECT_EQ(same("end_session").context().session_id, "ended-2");
    ASSERT_TRUE(properties->saveUserProperty({{"age", Value(30)}}));
    EventModel withAge = same("h");
    EXPECT_EQ(withAge.context().user_properties, (Value::Map{{"age", Value("long:30")}}));
    EXPECT_EQ(withAge.context().user_snapshot_id, properties->getUserSnapshotId());
    ASSERT_TRUE(properties->saveCiProperty({{"c", Value("v")}}));
    EXPECT_EQ(same("i").context().ci, (Value::Map{{"c", Value("string:v")}}));

    // A wipe, then the manager forgets its maps without a registry write.
    registry->removeAll();
    properties->forgetAfterRegistryWipe();
    EventModel wiped = same("j");
    EXPECT_TRUE(wiped.context().user_properties.empty());
    EXPECT_FALSE(wiped.context().last_open_id);
    EXPECT_FALSE(wiped.context().user_snapshot_id);
}

TEST_F(EventModelProviderTest, AnEventBuiltAfterAPutOnAnotherThreadCarriesIt) {
    // The app's thread stores an id, then hands the number to the thread that
    // builds events, which must never carry an older one.
    constexpr int kRounds = 2000;
    counters();
    auto cache = contexts();
    std::mutex mu;
    std::condition_variable cv;
    int handed = 0;
    bool done = false;
    std::thread writer([&] {
        for (int i = 1; i <= kRounds; ++i) {
            registry->putString(std::to_string(1000000 + i), DataRegistryKey::STRING_LAST_OPEN_ID);
            std::lock_guard<std::mutex> lock(mu);
            handed = i;
            cv.notify_one();
        }
        std::lock_guard<std::mutex> lock(mu);
        done = true;
        cv.notify_one();
    });
    int stale = 0;
    int seen = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        int at = 0;
        bool finished = false;
        {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait_until(lock, deadline, [&] { return handed != seen || done; });
            at = handed;
            finished = done && handed == seen;
        }
        if (finished || std::chrono::steady_clock::now() > deadline) {
            break;
        }
        seen = at;
        EventModel m = EventModelProvider(properties, registry, counters_, cache,
                                          LogEventParameter::initWithEventName("custom", "e", {}))
                           .buildEventModel();
        const auto& id = m.context().last_open_id;
        if (!id || std::stoi(*id) < 1000000 + at) {
            ++stale;
        }
    }
    writer.join();
    EXPECT_EQ(seen, kRounds);
    EXPECT_EQ(stale, 0);
}

TEST_F(EventModelProviderTest, AnEventThatRepairsItsContextLeavesTheSharedOneAlone) {
    registry->putString(std::string("open-\xFF"), DataRegistryKey::STRING_LAST_OPEN_ID);
    EventModel first = build("a");
    EventModel second = build("b");
    ASSERT_EQ(&first.context(), &second.context());
    ASSERT_TRUE(EventInputGuard::admit(first));
    EXPECT_EQ(first.context().last_open_id, "open-\xEF\xBF\xBD");
    EXPECT_EQ(second.context().last_open_id, "open-\xFF");
    EXPECT_EQ(&build("c").context(), &second.context());

    // A copy shares the repaired context until it changes its own.
    EventModel copy = first;
    EXPECT_EQ(&copy.context(), &first.context());
    copy.editContext().session_id = "own";
    EXPECT_FALSE(first.context().session_id);
    EXPECT_EQ(copy.context().last_open_id, "open-\xEF\xBF\xBD");
}

}  // namespace
}  // namespace sorvel
