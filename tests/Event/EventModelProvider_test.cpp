#include "Event/EventModelProvider.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Event/EventCounters.h"
#include "Event/UserPropertyManager.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

class EventModelProviderTest : public ::testing::Test {
  protected:
    EventModel build(LogEventParameter p) {
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

    testing::FreshSdk sdk;
    std::shared_ptr<DataRegistry> registry =
        std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    std::shared_ptr<UserPropertyManager> properties =
        std::make_shared<UserPropertyManager>(registry, [] { return 100; });
    std::shared_ptr<EventCounters> counters_;
};

TEST_F(EventModelProviderTest, FirstEventOnAnEmptyRegistry) {
    EventModel m = build("tap");
    EXPECT_EQ(param(m, "svl:session_order_no"), "long:1");
    EXPECT_EQ(param(m, "svl:event_order_no"), "long:1");
    EXPECT_FALSE(m.last_firstopen_id || m.last_deeplink_id || m.last_open_id || m.prev_id ||
                 m.session_id || m.user_snapshot_id || m.log_id);
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
    EXPECT_EQ(noLwid.location.lat, 37.5);
    EXPECT_TRUE(noLwid.toDictionary().at("location").isNull());
    EXPECT_EQ(noLwid.session_id, "created");
    EXPECT_EQ(noLwid.prev_id, "prev");
    EXPECT_EQ(noLwid.last_firstopen_id, "first");

    registry->putString(std::string("lw"), DataRegistryKey::STRING_LOCATION_LWID);
    auto p = LogEventParameter::initWithEventName("svl", "end_session", {});
    p.prevId = "own-prev";
    p.sessionOrderNo = 7;
    p.eventParam["svl:event_order_no"] = Value("string:caller");
    EventModel m = build(p);
    EXPECT_EQ(m.session_id, "ended");
    EXPECT_EQ(m.prev_id, "own-prev");
    EXPECT_EQ(m.location.lwid, "lw");
    // Its own session number leaves the stored counter alone.
    EXPECT_EQ(param(m, "svl:session_order_no"), "long:7");
    EXPECT_EQ(param(m, "svl:event_order_no"), "long:2");
    EXPECT_EQ(param(build("next"), "svl:session_order_no"), "long:2");

    // A coordinate JSON cannot carry: the event goes without a location.
    registry->putDouble(std::nan(""), DataRegistryKey::DOUBLE_LOCATION_LAT);
    EventModel nan = build("nan");
    EXPECT_FALSE(nan.location.lwid);
    EXPECT_EQ(nan.location.lat, 0.0);
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
    EXPECT_EQ(m.user_properties,
              (Value::Map{{"age", Value("long:30")},
                          {"nested", Value(Value::Map{{"x", Value("string:x")}})},
                          {"one", Value("long:1")},
                          {"ratio", Value("double:2.0")},
                          {"vip", Value("boolean:true")}}));
    EXPECT_EQ(m.ci, (Value::Map{{"c", Value("string:v")}}));
    EXPECT_EQ(m.user_snapshot_id, properties->getUserSnapshotId());
}

TEST_F(EventModelProviderTest, EachEventCarriesThePropertiesOfItsMoment) {
    ASSERT_TRUE(properties->saveUserProperty({{"age", Value(30)}}));
    EXPECT_EQ(build("a").user_properties, (Value::Map{{"age", Value("long:30")}}));

    // The typed form follows every change of the maps.
    ASSERT_TRUE(properties->saveUserProperty({{"age", Value(31.5)}, {"vip", Value(true)}}));
    ASSERT_TRUE(properties->saveCiProperty({{"c", Value("v")}}));
    EventModel changed = build("b");
    EXPECT_EQ(changed.user_properties,
              (Value::Map{{"age", Value("double:31.5")}, {"vip", Value("boolean:true")}}));
    EXPECT_EQ(changed.ci, (Value::Map{{"c", Value("string:v")}}));
    properties->clearUserProperty();
    EventModel cleared = build("c");
    EXPECT_TRUE(cleared.user_properties.empty());
    EXPECT_TRUE(cleared.ci.empty());
    ASSERT_TRUE(properties->saveUserProperty({{"k", Value("x")}}));
    properties->forgetAfterRegistryWipe();
    EXPECT_TRUE(build("d").user_properties.empty());

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

}  // namespace
}  // namespace sorvel
