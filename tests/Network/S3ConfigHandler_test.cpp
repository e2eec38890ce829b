#include "Network/S3ConfigHandler.h"

#include <gtest/gtest.h>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Common/SvlLog.h"
#include "Network/EventSamplingModel.h"
#include "Platform/Host.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

class S3ConfigHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
        handler().setDataRegistry(registry);
    }
    static S3ConfigHandler& handler() { return S3ConfigHandler::shared(); }

    testing::FreshSdk sdk;
    std::shared_ptr<DataRegistry> registry;
};

TEST_F(S3ConfigHandlerTest, AppliesEveryKeyAndDefaultsTheAbsentOnes) {
    handler().applyConfig(
        R"({"allStop":true,"pause":false,"blockedEvents":["custom:buy","svl:login",7,"other:x"],
        "maxPropertySize":42,"inAppMessageActive":true,
        "eventSamplings":{"custom:buy":{"type":0,"eventProbabilities":{"a":50}}}})");
    EXPECT_TRUE(registry->getBool(DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP, false));
    EXPECT_TRUE(registry->getBool(DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE, false));
    EXPECT_EQ(registry->getInt(DataRegistryKey::INT_S3_CONFIG_MAX_PROPERTY_SIZE, 0), 42);
    EXPECT_EQ(handler().configPropertyMaxSize(), 42);
    EXPECT_EQ(handler().blockedEvents(),
              (std::vector<std::string>{"custom:buy", "svl:login", "other:x"}));
    // Only the SDK's and the custom group are blocked, each by its own name.
    EXPECT_TRUE(handler().isEventBlocked("buy", "custom"));
    EXPECT_TRUE(handler().isEventBlocked("login", "svl"));
    EXPECT_FALSE(handler().isEventBlocked("login", "custom"));
    EXPECT_FALSE(handler().isEventBlocked("x", "other"));
    auto sampling =
        registry->getDictionary(DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA, {});
    ASSERT_EQ(sampling.count("custom:buy"), 1u);

    // Absent keys take their defaults; a map that is not a map counts as absent.
    handler().applyConfig(R"({"eventSamplings":[1,2],"maxPropertySize":"many"})");
    EXPECT_FALSE(registry->getBool(DataRegistryKey::BOOL_S3_CONFIG_SORVEL_ALL_STOP, true));
    EXPECT_FALSE(registry->getBool(DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE, true));
    EXPECT_EQ(handler().configPropertyMaxSize(), S3ConfigHandler::DEFAULT_PROPERTY_MAX_SIZE);
    EXPECT_TRUE(handler().blockedEvents().empty());
    EXPECT_TRUE(registry
                    ->getDictionary(DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA,
                                    {{"x", Value(1)}})
                    .empty());

    // A fresh handler state reloads what is stored.
    handler().applyConfig(R"({"blockedEvents":["custom:a"],"maxPropertySize":7,"pause":true})");
    handler().reset();
    handler().setDataRegistry(registry);
    EXPECT_EQ(handler().configPropertyMaxSize(), 100);
    handler().initDefaultConfigValue();
    EXPECT_EQ(handler().configPropertyMaxSize(), 7);
    EXPECT_TRUE(handler().isPause());
    EXPECT_TRUE(handler().isEventBlocked("a", "custom"));
}

// The list is matched against "<group>:<name>" as a whole, though no such
// text is built for an event the list lets through.
TEST_F(S3ConfigHandlerTest, ABlockedEntryMatchesOnlyItsWholeKey) {
    testing::LogCapture log;
    platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
    SvlLog::initQaMode(registry.get());
    handler().applyConfig(
        R"({"blockedEvents":["custom:buy","custom:a:b","svl:","customer:x","svl:login_with_a_long_name"]})");
    struct Case {
        const char* name;
        const char* group;
        bool blocked;
    };
    for (const Case& c :
         {Case{"buy", "custom", true}, Case{"bu", "custom", false}, Case{"buyer", "custom", false},
          Case{"uy", "custom", false}, Case{"a:b", "custom", true}, Case{"a", "custom", false},
          Case{"b", "custom", false}, Case{"", "svl", true}, Case{"", "custom", false},
          Case{"x", "custom", false}, Case{"buy", "svl", false},
          Case{"login_with_a_long_name", "svl", true},
          Case{"login_with_a_long_nam", "svl", false}}) {
        EXPECT_EQ(handler().isEventBlocked(c.name, c.group), c.blocked) << c.group << ":" << c.name;
    }
    EXPECT_TRUE(log.contains("S3ConfigHandler :: isEventBlocked : custom:a:b is blocked"));
    EXPECT_TRUE(log.contains("S3ConfigHandler :: isEventBlocked : svl: is blocked"));
    EXPECT_FALSE(log.contains("custom:buyer"));

    handler().applyConfig(R"({"blockedEvents":[]})");
    EXPECT_FALSE(handler().isEventBlocked("buy", "custom"));
    EXPECT_FALSE(handler().isEventBlocked("", "svl"));
}

TEST_F(S3ConfigHandlerTest, ListenersHearOnlyChangesAndPauseReachesItsListener) {
    int samplingCalls = 0;
    std::vector<std::optional<Value>> pauses;
    registry->addListener(DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA,
                          std::make_shared<DataUnitEventListener>(
                              [&](const std::optional<Value>&) { ++samplingCalls; }));
    registry->addListener(DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE,
                          std::make_shared<DataUnitEventListener>(
                              [&](const std::optional<Value>& v) { pauses.push_back(v); }));
    const std::string config = R"({"eventSamplings":{"svl:x":{"type":1}}})";
    handler().applyConfig(config);
    handler().applyConfig(config);
    EXPECT_EQ(samplingCalls, 1);
    handler().applyConfig(R"({"eventSamplings":{"svl:y":{"type":1}},"pause":true})");
    EXPECT_EQ(samplingCalls, 2);
    ASSERT_FALSE(pauses.empty());
    EXPECT_EQ(pauses.back(), std::optional<Value>(Value(true)));
}

// The server's text, not the app, is at fault: each refusal is a line for
// quality assurance, kept from a shipped app's stderr.
TEST_F(S3ConfigHandlerTest, TextThatIsNoObjectChangesNothing) {
    testing::LogCapture log;
    testing::DelegateLog delegate;
    handler().applyConfig(R"({"pause":true,"maxPropertySize":5})");
    for (const char* bad : {"[1,2]", "not json", "", "\"text\""}) {
        handler().applyConfig(bad);
    }
    EXPECT_TRUE(registry->getBool(DataRegistryKey::BOOL_S3_CONFIG_SORVEL_PAUSE, false));
    EXPECT_EQ(handler().configPropertyMaxSize(), 5);
    EXPECT_EQ(delegate.count("S3ConfigHandler :: applyConfig : "), 5);
    EXPECT_EQ(delegate.count("configuration unchanged"), 4);
    EXPECT_FALSE(log.contains("applyConfig")) << ::testing::PrintToString(log.lines());
}

TEST(EventSamplingModelTest, ReadsTypesAndProbabilitiesStrictly) {
    using T = EventSamplingType;
    auto type = [](std::optional<Value> v) {
        Value::Map m;
        if (v) {
            m["type"] = *v;
        }
        return EventSamplingModel::fromDictionary(m).type;
    };
    EXPECT_EQ(type(Value(0)), T::ADID);
    EXPECT_EQ(type(Value(std::uint64_t{1})), T::LOG_ID);
    EXPECT_EQ(type(Value(2)), T::NONE);
    EXPECT_EQ(type(Value(0.0)), T::NONE);
    EXPECT_EQ(type(Value("0")), T::NONE);
    EXPECT_EQ(type(std::nullopt), T::NONE);

    auto model = EventSamplingModel::fromDictionary(
        {{"type", Value(1)},
         {"eventProbabilities",
          Value(Value::Map{{"a", Value(10)}, {"b", Value(std::uint64_t{4294967295u})}})}});
    EXPECT_EQ(model.getProbability("a"), 10u);
    EXPECT_EQ(model.getProbability("b"), 4294967295u);
    EXPECT_FALSE(model.getProbability("c").has_value());

    for (const Value& bad :
         {Value(Value::Map{{"a", Value(10)}, {"b", Value(-1)}}),
          Value(Value::Map{{"a", Value(std::int64_t{4294967296})}}),
          Value(Value::Map{{"a", Value("10")}}), Value(Value::Array{Value(1)})}) {
        auto m = EventSamplingModel::fromDictionary({{"eventProbabilities", bad}});
        EXPECT_TRUE(m.eventWithProbability.empty()) << bad.render();
    }
}

}  // namespace
}  // namespace sorvel
