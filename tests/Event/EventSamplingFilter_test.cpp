#include "Event/EventSamplingFilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "Event/LogEventParameter.h"
#include "Platform/Host.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

class EventSamplingFilterTest : public ::testing::Test {
  protected:
    // Quality-assurance mode: every log line reaches the system log.
    EventSamplingFilterTest() {
        platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
        SvlLog::initQaMode(nullptr);
    }
    void configure(int type, Value::Map probabilities) {
        registry->putDictionary(
            {{"type", Value(type)}, {"eventProbabilities", Value(std::move(probabilities))}},
            DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA);
    }
    bool blocked(const std::string& group, const std::string& name, Value::Map params = {}) {
        return filter->isBlocked(LogEventParameter::initWithEventName(group, name, params));
    }

    testing::FreshSdk sdk;
    testing::LogCapture log;
    std::shared_ptr<DataRegistry> registry =
        std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    std::shared_ptr<EventSamplingFilter> filter = EventSamplingFilter::create(registry);
};

TEST_F(EventSamplingFilterTest, DecisionsForEachTypeFollowTheStoredConfiguration) {
    // "abc": digest ba 78 16 bf, little-endian 3205920954, mod 10^7 5920954: remainder 54.
    registry->putString(std::string("abc"), DataRegistryKey::STRING_ADID);
    configure(0, {{"custom:my_event", Value(54)}, {"custom:kept", Value(55)}});
    EXPECT_TRUE(blocked("custom", "my_event"));
    EXPECT_FALSE(blocked("custom", "kept"));
    EXPECT_FALSE(blocked("svl", "my_event"));
    EXPECT_FALSE(blocked("custom", "unlisted"));
    EXPECT_TRUE(log.contains(
        "custom:my_event is blocked by sampling filter! (remainder = 54, probability = 54)"));

    // Probability 0 drops everywhere, 100 and more keeps everywhere; exempt keys
    // are never sampled.
    configure(0, {{"custom:zero", Value(0)},
                  {"custom:all", Value(100)},
                  {"svl:login", Value(0)},
                  {"svl:first_open", Value(0)}});
    EXPECT_TRUE(blocked("custom", "zero"));
    EXPECT_FALSE(blocked("custom", "all"));
    EXPECT_FALSE(blocked("svl", "login"));
    EXPECT_FALSE(blocked("svl", "first_open"));

    // LOG_ID and NONE sample nothing.
    for (int type : {1, 7}) {
        configure(type, {{"custom:zero", Value(0)}});
        EXPECT_FALSE(blocked("custom", "zero")) << type;
    }

    // An empty ADID gives remainder 0; no ADID keeps everything.
    configure(0, {{"custom:zero", Value(0)}, {"custom:one", Value(1)}});
    registry->putString(std::string(""), DataRegistryKey::STRING_ADID);
    EXPECT_TRUE(blocked("custom", "zero"));
    EXPECT_FALSE(blocked("custom", "one"));
    registry->putString(std::nullopt, DataRegistryKey::STRING_ADID);
    EXPECT_FALSE(blocked("custom", "zero"));
}

TEST_F(EventSamplingFilterTest, SessionStartsAreKeyedByTheirOpenType) {
    auto key = [](const std::string& group, Value::Map params) {
        return EventSamplingFilter::getSamplingKey(
            LogEventParameter::initWithEventName(group, "start_session", std::move(params)));
    };
    EXPECT_EQ(key("custom", {{"svl:open_type", Value("promo:spring")}}), "custom:spring");
    EXPECT_EQ(key("custom", {{"svl:open_type", Value("a:b:")}}), "custom:");
    EXPECT_EQ(key("custom", {{"svl:open_type", Value("basic_open")}}), "custom:start_session");
    EXPECT_EQ(key("svl", {{"svl:open_type", Value(5)}}), "svl:start_session");

    // An app's own values are keyed by the text they are written as.
    auto nativeKey = [](Value openType) {
        auto p = LogEventParameter::initWithEventName("custom", "start_session",
                                                      {{"svl:open_type", std::move(openType)}});
        p.paramForm = ParamForm::native;
        return EventSamplingFilter::getSamplingKey(p);
    };
    EXPECT_EQ(nativeKey(Value("promo:spring")), "custom:spring");
    EXPECT_EQ(nativeKey(Value("basic_open")), "custom:basic_open");
    EXPECT_EQ(nativeKey(Value(5)), "custom:5");
    EXPECT_EQ(nativeKey(Value(true)), "custom:true");
    EXPECT_EQ(nativeKey(Value(Value::Map{{"a", Value(1)}})), "custom:start_session");
    EXPECT_EQ(key("custom", {{"svl:open_type", Value("string:basic_open")}}),
              nativeKey(Value("basic_open")));

    // The same values as the record call's flat list, among other keys.
    auto listKey = [](Value openType) {
        auto p = LogEventParameter::initWithEventName("custom", "start_session", {});
        p.paramForm = ParamForm::native;
        p.nativeParam = toParamList(Value::Map{
            {"a", Value("x:y")}, {"svl:open_type", std::move(openType)}, {"z", Value("p:q")}});
        return EventSamplingFilter::getSamplingKey(p);
    };
    EXPECT_EQ(listKey(Value("promo:spring")), "custom:spring");
    EXPECT_EQ(listKey(Value(5)), "custom:5");
    EXPECT_EQ(listKey(Value(Value::Map{{"a", Value(1)}})), "custom:start_session");
}

// An event is looked up by its key's pieces, never joined unless logged: the
// decision is the one its joined key gets.
TEST_F(EventSamplingFilterTest, AnEventIsDecidedAsItsJoinedKeyIs) {
    registry->putString(std::string("abc"), DataRegistryKey::STRING_ADID);  // remainder 54
    configure(0, {{"custom:a:b", Value(0)},
                  {"custom:a", Value(100)},
                  {"custom:", Value(0)},
                  {"custom:b", Value(54)},
                  {"custom:c", Value(55)},
                  {"custom:spring", Value(0)},
                  {"custom:a_name_past_the_short_text_size", Value(0)},
                  {"svl:login", Value(0)},
                  {"a", Value(0)}});
    struct Case {
        std::string group;
        std::string name;
        Value::Map params;
        bool blocked;
    };
    const std::vector<Case> cases{
        {"custom", "a:b", {}, true},
        {"custom:a", "b", {}, true},
        {"custom", "a", {}, false},
        {"custom", "", {}, true},
        {"custom", "b", {}, true},
        {"custom", "c", {}, false},
        {"custom", "ab", {}, false},
        {"custo", "m:a:b", {}, false},
        {"custom", "a_name_past_the_short_text_size", {}, true},
        {"custom", "a_name_past_the_short_text_siz", {}, false},
        {"svl", "login", {}, false},
        {"", "a", {}, false},
        {"custom", "start_session", {{"svl:open_type", Value("promo:spring")}}, true},
        {"custom", "start_session", {{"svl:open_type", Value("basic_open")}}, false},
    };
    for (const Case& c : cases) {
        const auto parameter = LogEventParameter::initWithEventName(c.group, c.name, c.params);
        EXPECT_EQ(filter->isBlocked(parameter), c.blocked) << c.group << " / " << c.name;
        EXPECT_EQ(filter->isBlockedBySamplingFilter(EventSamplingFilter::getSamplingKey(parameter)),
                  c.blocked)
            << c.group << " / " << c.name;
    }
    EXPECT_TRUE(filter->isBlockedBySamplingFilter("a"));
    EXPECT_TRUE(log.contains(
        "custom:a:b is blocked by sampling filter! (remainder = 54, probability = 0)"));
    EXPECT_TRUE(log.contains(
        "custom:spring is blocked by sampling filter! (remainder = 54, probability = 0)"));

    // A kind that samples nothing, and an empty list, drop nothing.
    for (const auto& [type, probabilities] :
         {std::pair{1, Value::Map{{"custom:a:b", Value(0)}}}, std::pair{0, Value::Map{}}}) {
        configure(type, probabilities);
        EXPECT_FALSE(blocked("custom", "a:b")) << type;
        EXPECT_FALSE(filter->isBlockedBySamplingFilter("custom:a:b")) << type;
    }
    EXPECT_EQ(filter->eventSamplingModel()->type, EventSamplingType::ADID);
}

TEST_F(EventSamplingFilterTest, ANotificationThatIsNotAMapKeepsTheModel) {
    registry->putString(std::string("abc"), DataRegistryKey::STRING_ADID);
    configure(0, {{"custom:e", Value(0)}});
    const auto model = filter->eventSamplingModel();
    registry->putString(std::string("oops"),
                        DataRegistryKey::DICTIONARY_S3_CONFIG_EVENT_SAMPLING_DATA);
    EXPECT_EQ(filter->eventSamplingModel(), model);
    EXPECT_TRUE(blocked("custom", "e"));
    EXPECT_TRUE(log.contains("value can not be casted to Dictionary : \"oops\""));

    // A filter built later starts from the stored configuration.
    configure(0, {{"custom:f", Value(0)}});
    auto later = EventSamplingFilter::create(registry);
    EXPECT_TRUE(later->isBlockedBySamplingFilter("custom:f"));
    EXPECT_FALSE(later->isBlockedBySamplingFilter("custom:e"));
}

}  // namespace
}  // namespace sorvel
