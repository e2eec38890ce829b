#include <gtest/gtest.h>

#include <random>

#include "PipelineHarness.h"

namespace sorvel::autotest {
namespace {

using V = Value;

Value::Map v1Event(const std::string& logId, const std::string& name) {
    return {{"log_id", V(logId)},
            {"event_datetime", V("2021-03-04T05:06:07.000Z")},
            {"group", V("custom")},
            {"event_name", V(name)},
            {"session_interval", V(std::int64_t{0})},
            {"session_length", V(std::int64_t{0})},
            {"param", V(Value::Map{{"price", V("1.5_d")}})},
            {"user_properties", V(Value::Map{{"age", V("30_l")}})},
            {"ci", V(Value::Map{})}};
}

TEST(V1ConversionTest, TypeSuffixesBecomeTypedPrefixes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"30_l", "long:30"},
        {"gold_s", "string:gold"},
        {"1.5_d", "double:1.5"},
        {"true_b", "boolean:true"},
        {"x_s", "string:x"},
        {"_s", "_s"},
        {"ab", "ab"},
        {"", ""},
        {"abc_x", "abc_x"},
        {"gold_S", "gold_S"},
        {"a_s_l", "long:a_s"},
        // Characters are grapheme clusters: "e" with a combining acute is one.
        {"e\xCC\x81_s", "string:e\xCC\x81"},
        {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD_l", "long:\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"},
        // A mark on the "s" makes it another character: no suffix.
        {"ab_s\xCC\x81", "ab_s\xCC\x81"},
        {"\xFF_s", "string:\xFF"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(V1MigrationManager::convertV1Param(in), out) << in;
    }
}

TEST(V1ConversionTest, OnlyValuesInsideTheEventsMapsAreConverted) {
    const Value::Map event{
        {"event_name", V("stage_b")},
        {"group", V("custom")},
        {"log_id", V("id_s")},
        {"location", V(Value::Map{{"lwid", V("w1_s")}, {"lat", V(1.5)}})},
        {"svl:items", V(Value::Array{V(Value::Map{{"name", V("top_s")}})})},
        {"param", V(Value::Map{{"price", V("1.5_d")},
                               {"count", V(std::int64_t{3})},
                               {"svl:items", V(Value::Array{V(Value::Map{{"name", V("shoe_s")}}),
                                                            V(Value::Map{{"size", V("42_l")}})})},
                               {"location", V(Value::Map{{"city", V("seoul_s")}})},
                               {"other", V(Value::Map{{"kept", V("as_is_s")}})},
                               {"list", V(Value::Array{V("a_s")})}})},
        {"user_properties", V(Value::Map{{"vip", V("true_b")}})},
        {"ci", V(Value::Map{{"tier", V("gold_s")},
                            {"svl:items", V(Value::Array{V("x_s"), V(Value::Map{})})}})},
    };
    const Value::Map out = V1MigrationManager::convertV1Dictionary(event);
    // Top-level fields keep their text.
    EXPECT_EQ(out.at("event_name"), V("stage_b"));
    EXPECT_EQ(out.at("log_id"), V("id_s"));
    EXPECT_EQ(out.at("location"), event.at("location"));
    EXPECT_EQ(out.at("svl:items"), event.at("svl:items"));
    const Value::Map& param = *out.at("param").getMap();
    EXPECT_EQ(param.at("price"), V("double:1.5"));
    EXPECT_EQ(param.at("count"), V(std::int64_t{3}));
    EXPECT_EQ(param.at("svl:items"), V(Value::Array{V(Value::Map{{"name", V("string:shoe")}}),
                                                    V(Value::Map{{"size", V("long:42")}})}));
    EXPECT_EQ(param.at("location"), V(Value::Map{{"city", V("string:seoul")}}));
    EXPECT_EQ(param.at("other"), V(Value::Map{{"kept", V("as_is_s")}}));
    EXPECT_EQ(param.at("list"), V(Value::Array{V("a_s")}));
    EXPECT_EQ(out.at("user_properties"), V(Value::Map{{"vip", V("boolean:true")}}));
    const Value::Map& ci = *out.at("ci").getMap();
    EXPECT_EQ(ci.at("tier"), V("string:gold"));
    // Not a list of maps only: copied unchanged.
    EXPECT_EQ(ci.at("svl:items"), event.at("ci").getMap()->at("svl:items"));
}

TEST(V1ConversionTest, QuorinKeyPropertiesAreCiProperties) {
    testing::FreshSdk sdk;
    testing::LogCapture logs;
    platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
    SvlLog::initQaMode(nullptr);
    const auto props =
        V1MigrationManager::convertV1Properties({{"age", V("30_l")},
                                                 {"quorinKeytier", V("gold_s")},
                                                 {"quorinKey", V("x_s")},
                                                 {"visits", V(std::int64_t{5})},
                                                 {"optin", V(true)},
                                                 {"nested", V(Value::Map{{"a", V("b_s")}})}});
    EXPECT_EQ(props.userProperties, (Value::Map{{"age", V("long:30")},
                                                {"visits", V(std::int64_t{5})},
                                                {"optin", V(true)},
                                                {"nested", V(Value::Map{{"a", V("b_s")}})}}));
    EXPECT_EQ(props.ciProperties, (Value::Map{{"tier", V("string:gold")}, {"", V("string:x")}}));
    EXPECT_TRUE(logs.contains("String Extension Error in string: quorinKey"));
}

TEST(V1ConversionTest, MalformedV1DataNeverCrashesTheParsers) {
    std::mt19937 rng(11);
    const std::vector<Value> leaves = {V(),
                                       V(true),
                                       V(std::int64_t{-1}),
                                       V(1e308),
                                       V("z_b"),
                                       V(std::string("\0_s", 3)),
                                       V(Value::Bytes{1, 2}),
                                       V(std::uint64_t{18446744073709551615ULL})};
    const std::vector<std::string> keys = {
        "param",      "ci",         "user_properties",  "location",
        "svl:items",  "event_name", "session_interval", "quorinKey",
        "quorinKeyx", "log_id"};
    std::function<Value(int)> any = [&](int depth) -> Value {
        const int pick = static_cast<int>(rng() % (depth > 4 ? 1 : 3));
        if (pick == 0) {
            return leaves[rng() % leaves.size()];
        }
        if (pick == 1) {
            Value::Array a;
            for (int i = 0, n = static_cast<int>(rng() % 4); i < n; ++i) {
                a.push_back(any(depth + 1));
            }
            return V(std::move(a));
        }
        Value::Map m;
        for (int i = 0, n = static_cast<int>(rng() % 5); i < n; ++i) {
            m[keys[rng() % keys.size()]] = any(depth + 1);
        }
        return V(std::move(m));
    };
    for (int i = 0; i < 500; ++i) {
        Value v = any(0);
        if (const Value::Map* m = v.getMap()) {
            V1MigrationManager::convertV1Dictionary(*m);
            V1MigrationManager::convertV1Properties(*m);
            V1MigrationManager::convertV1Events(*m);
            V1MigrationManager::convertV1Events({{"e", v}});
        }
    }
    // A readable event among unreadable ones still comes through.
    const auto events =
        V1MigrationManager::convertV1Events({{"a", V("text")},
                                             {"b", V(Value::Map{{"event_name", V("x")}})},
                                             {"c", V(v1Event("l1", "ok"))}});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event_name, "ok");
}

TEST(V1ConversionTest, KeysThatAreNotUtf8AreDroppedNotMerged) {
    testing::FreshSdk sdk;
    testing::LogCapture logs;
    platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
    SvlLog::initQaMode(nullptr);
    // Two keys that a writer would both turn into "a\uFFFD", at every depth.
    const Value::Map bad{{"a\xFF", V("1_l")}, {"a\xFE", V("2_l")}, {"ok", V("3_l")}};
    Value::Map event = v1Event("log-1", "bad_keys");
    event["param"] = V(Value::Map{{"a\xFF", V("1_l")},
                                  {"a\xFE", V("2_l")},
                                  {"ok", V("3_l")},
                                  {"nested", V(bad)},
                                  {"svl:items", V(Value::Array{V(bad)})}});
    event["user_properties"] = V(bad);
    const auto events = V1MigrationManager::convertV1Events({{"e1", V(event)}});
    ASSERT_EQ(events.size(), 1u);
    std::string json;
    events[0].appendJson(json);
    EXPECT_EQ(json.find("\\ufffd"), std::string::npos) << json;
    EXPECT_EQ(json.find("\xEF\xBF\xBD"), std::string::npos) << json;
    // Written and read back, the event is what it was.
    auto restored = EventModel::initFromDictionary(*Value::fromJson(json)->getMap());
    ASSERT_TRUE(restored.isOk());
    std::string again;
    restored.value().appendJson(again);
    EXPECT_EQ(again, json);
    const Value parsed = *Value::fromJson(json);
    const Value::Map& param = *parsed.getMap()->at("param").getMap();
    EXPECT_EQ(param.at("ok"), V("long:3"));
    EXPECT_EQ(param.at("nested"), V(Value::Map{{"ok", V("3_l")}}));
    EXPECT_EQ(param.at("svl:items"), V(Value::Array{V(Value::Map{{"ok", V("long:3")}})}));
    EXPECT_EQ(param.size(), 3u);

    const auto props = V1MigrationManager::convertV1Properties(bad);
    EXPECT_EQ(props.userProperties, (Value::Map{{"ok", V("long:3")}}));
    SvlLog::flush();
    EXPECT_TRUE(
        logs.contains("V1MigrationManager :: 8 key(s) that are not UTF-8 text dropped "
                      "from the v1 event e1"))
        << ::testing::PrintToString(logs.lines());
    EXPECT_TRUE(
        logs.contains("V1MigrationManager :: 2 key(s) that are not UTF-8 text dropped "
                      "from the v1 user properties"));
}

class V1MigrationTest : public PipelineTest {
  protected:
    void SetUp() override {
        PipelineTest::SetUp();
        // Offline: the migrated events wait in the stored list.
        setNetwork(false);
        registry->putDictionary({{"age", V("30_l")}, {"quorinKeytier", V("gold_s")}},
                                DataRegistryKey::DICTIONARY_V1_USER_PROPERTIES);
        registry->putDictionary({{"k1", V(v1Event("log-1", "purchase_x"))},
                                 {"k2", V("not an event")},
                                 {"k3", V(Value::Map{{"event_name", V("no_fields")}})},
                                 {"k4", V(v1Event("log-4", "stage_b"))}},
                                DataRegistryKey::V1_UNSENT_EVENTPACKAGES);
    }
    bool migratedFlag() {
        return registry->getBool(DataRegistryKey::BOOL_IS_MIGRATED_TO_V2, false);
    }
    // The log ids and names in the stored list of unsent packages.
    std::vector<std::string> storedEvents() {
        std::vector<std::string> out;
        auto data = registry->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
        auto list = data ? Value::fromJson(std::string(data->begin(), data->end())) : std::nullopt;
        for (const auto& p : list && list->getArray() ? *list->getArray() : Value::Array{}) {
            const Value::Map* pm = p.getMap();
            const Value::Array* events =
                pm && pm->count("eventModels") ? pm->at("eventModels").getArray() : nullptr;
            for (const auto& e : events ? *events : Value::Array{}) {
                const Value::Map& em = *e.getMap();
                out.push_back(*em.at("log_id").getString() + " " +
                              *em.at("event_name").getString());
            }
        }
        return out;
    }
    // Runs the migration and waits for its flag; the stored list at that moment.
    std::vector<std::string> migrateAndWait() {
        registry->addListener(
            DataRegistryKey::BOOL_IS_MIGRATED_TO_V2,
            std::make_shared<DataUnitEventListener>([](const auto&) { testing::notifyWaiters(); }));
        launch->v1->migrate();
        EXPECT_TRUE(testing::waitUntil([&] { return migratedFlag(); }));
        return storedEvents();
    }
};

TEST_F(V1MigrationTest, PropertiesAndEventsReachTheCurrentStoresOnce) {
    // Once the flag shows, the migrated events are already stored.
    EXPECT_EQ(migrateAndWait(), (std::vector<std::string>{"log-1 purchase_x", "log-4 stage_b"}));
    EXPECT_EQ(launch->userProperties->userPropertyDic(), (Value::Map{{"age", V("long:30")}}));
    EXPECT_EQ(launch->userProperties->ciPropertyDic(), (Value::Map{{"tier", V("string:gold")}}));
    // The v1 entries stay as they were.
    EXPECT_EQ(registry->getDictionary(DataRegistryKey::DICTIONARY_V1_USER_PROPERTIES, {}).size(),
              2u);
    EXPECT_EQ(registry->getDictionary(DataRegistryKey::V1_UNSENT_EVENTPACKAGES, {}).size(), 4u);

    // A second run, in this launch or the next, changes nothing.
    launch->v1->migrate();
    relaunch();
    launch->becomeActive();  // migrates before the session starts
    launch->buffer->waitUntilIdle();
    const auto stored = storedEvents();
    EXPECT_EQ(std::count(stored.begin(), stored.end(), "log-1 purchase_x"), 1);
    EXPECT_EQ(std::count(stored.begin(), stored.end(), "log-4 stage_b"), 1);
    EXPECT_EQ(launch->userProperties->userPropertyDic(), (Value::Map{{"age", V("long:30")}}));

    // Online, they are uploaded with their converted values.
    setNetwork(true);
    launch->buffer->flushAllNow();
    ASSERT_TRUE(testing::waitUntil([&] { return uploaded().size() >= 2; }));
    const auto events = uploaded();
    EXPECT_EQ(events[0].param("price"), "double:1.5");
    EXPECT_EQ(events[1].name, "stage_b");
}

TEST_F(V1MigrationTest, AnInterruptedRunIsRepeatedWithTheSameLogIds) {
    migrateAndWait();
    // What a run cut short after the events were stored leaves behind: all
    // of it but the flag.
    registry->putBool(false, DataRegistryKey::BOOL_IS_MIGRATED_TO_V2);
    relaunch();
    EXPECT_EQ(migrateAndWait(), (std::vector<std::string>{"log-1 purchase_x", "log-4 stage_b",
                                                          "log-1 purchase_x", "log-4 stage_b"}));
    // The properties are saved once: the second save changes nothing.
    EXPECT_EQ(launch->userProperties->userPropertyDic(), (Value::Map{{"age", V("long:30")}}));
}

TEST_F(V1MigrationTest, V1DataOfTheWrongTypeIsLoggedAndTheFlagStillSet) {
    testing::LogCapture logs;
    registry->putString(std::string("age=30"), DataRegistryKey::DICTIONARY_V1_USER_PROPERTIES);
    registry->putArray({V(v1Event("log-9", "x"))}, DataRegistryKey::V1_UNSENT_EVENTPACKAGES);
    launch->userProperties->saveUserProperty({{"kept", V("string:yes")}});
    EXPECT_TRUE(migrateAndWait().empty());
    EXPECT_EQ(launch->userProperties->userPropertyDic(), (Value::Map{{"kept", V("string:yes")}}));
    EXPECT_TRUE(logs.contains("the v1 user properties are not a map"));
    EXPECT_TRUE(logs.contains("the v1 unsent events are not a map"));
}

}  // namespace
}  // namespace sorvel::autotest
