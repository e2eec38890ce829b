#include "Event/EventInputGuard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "Common/SvlLog.h"
#include "Event/EventModel.h"
#include "Event/TypedValueDictionary.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

// An app's parameters are checked as they were given, before they are typed:
// the check must decide, repair and log exactly as it would for the typed map
// the event is written as.

namespace sorvel {
namespace {

struct Outcome {
    std::string eventName;
    bool ok = false;
    std::string message;
    Value::Map typedParams;
    std::vector<std::string> lines;
};

// The check's outcome and its log lines; `check` runs it and gives the
// parameters' typed form as they are after it.
template <typename Check>
Outcome outcomeOf(std::string name, Check check) {
    // The repairs are QA-only lines: a log delegate receives them.
    testing::DelegateLog log;
    Outcome out;
    const Status status = check(name, out.typedParams);
    out.eventName = name;
    out.ok = status.isOk();
    out.message = status.isOk() ? "" : status.message();
    for (auto& [level, line] : log.lines()) {
        out.lines.push_back(std::move(line));
    }
    return out;
}

Outcome admit(std::string name, Value::Map params, ParamForm form, std::size_t propertiesBytes) {
    return outcomeOf(std::move(name), [&](std::string& n, Value::Map& typed) {
        const Status status =
            EventInputGuard::admitInput(n, "custom", params, form, propertiesBytes);
        typed = form == ParamForm::native ? typedtext::toTypedMap(params) : params;
        return status;
    });
}

// The same parameters as the record call's flat list.
Outcome admitList(std::string name, const Value::Map& params, std::size_t propertiesBytes) {
    return outcomeOf(std::move(name), [&](std::string& n, Value::Map& typed) {
        ParamList list = toParamList(params);
        const Status status = EventInputGuard::admitInput(n, "custom", list, propertiesBytes);
        // Still a list a map could hold: sorted, each key once.
        EXPECT_TRUE(std::adjacent_find(list.begin(), list.end(), [](const auto& a, const auto& b) {
                        return !(a.first < b.first);
                    }) == list.end());
        typed = typedtext::toTypedListMap(list);
        return status;
    });
}

// The same parameters checked as given and as their typed map: one outcome.
void expectSameOutcome(const std::string& name, const Value::Map& params,
                       std::size_t propertiesBytes = 0) {
    const Outcome typed =
        admit(name, FvnUtil::toTypedValueDictionary(params), ParamForm::prefixed, propertiesBytes);
    for (const Outcome& native : {admit(name, params, ParamForm::native, propertiesBytes),
                                  admitList(name, params, propertiesBytes)}) {
        EXPECT_EQ(native.ok, typed.ok) << name;
        EXPECT_EQ(native.message, typed.message) << name;
        EXPECT_EQ(native.eventName, typed.eventName) << name;
        EXPECT_EQ(native.lines, typed.lines) << name;
        if (native.ok) {
            EXPECT_EQ(Value(native.typedParams), Value(typed.typedParams)) << name;
        }
    }
}

Value nestedMaps(int levels) {
    Value v(1);
    for (int i = 0; i < levels; ++i) {
        v = Value(Value::Map{{"m", std::move(v)}});
    }
    return v;
}

Value nestedLists(int levels) {
    Value v("x");
    for (int i = 0; i < levels; ++i) {
        v = Value(Value::Array{std::move(v)});
    }
    return v;
}

TEST(EventInputGuardForms, RepairOfEveryKindMatchesTheTypedMap) {
    testing::FreshSdk sdk;
    const Value::Map params{
        {"plain", Value("hello")},
        {"bad", Value("a\xC3(b\xF0\x9F\x98")},
        {"\xFF", Value(1)},
        // Two ill-formed keys that repair to the same text: the first in
        // order stays.
        {"\xFE", Value(2)},
        {"n", Value(-3)},
        {"u", Value(std::numeric_limits<std::uint64_t>::max())},
        {"d", Value(0.1)},
        {"nan", Value(std::numeric_limits<double>::quiet_NaN())},
        {"b", Value(true)},
        {"null", Value()},
        {"bytes", Value(Value::Bytes(10, 1))},
        // A list is typed as its rendering: maps in it keep both keys that
        // repair to the same text.
        {"list", Value(Value::Array{Value("ok\xE2"),
                                    Value(Value::Map{{"\xFF", Value(1)}, {"\xFE", Value(2)}})})},
        {"list ok", Value(Value::Array{Value(1), Value("two")})},
        {"map", Value(Value::Map{{"k\xC0", Value("v\xC1")}, {"deep", nestedMaps(3)}})},
    };
    expectSameOutcome("ev\xFFname", params);
    expectSameOutcome("clean", Value::Map{{"a", Value("b")}, {"l", Value(Value::Array{})}});

    const Outcome repaired = admit("e", params, ParamForm::native, 0);
    ASSERT_TRUE(repaired.ok);
    ASSERT_EQ(repaired.lines.size(), 1u);
    EXPECT_NE(repaired.lines[0].find("EventInputGuard :: ill-formed UTF-8 in event e replaced by "
                                     "U+FFFD"),
              std::string::npos)
        << repaired.lines[0];
    EXPECT_EQ(repaired.typedParams.at("list"),
              Value("string:[\"ok\xEF\xBF\xBD\", {\xEF\xBF\xBD: 2, \xEF\xBF\xBD: 1}]"));
    // Keys in their sorted order: "\xFE" comes first and stays.
    EXPECT_EQ(repaired.typedParams.at("\xEF\xBF\xBD"), Value("long:2"));
}

TEST(EventInputGuardForms, SizeLimitCountsTheTypePrefixes) {
    testing::FreshSdk sdk;
    // What the event takes besides this parameter's text, as the check counts
    // it: the fixed part, the name "e", the group "custom", the map's braces,
    // the key "k" and its quotes and colon, the text's quotes.
    const std::size_t around = EventInputGuard::kFixedEventBytes + 1 + 6 + 2 + (1 + 4) + 3;
    const std::size_t prefix = std::string("string:").size();
    const std::size_t fits = EventInputGuard::MAX_EVENT_BYTES - around - prefix;
    for (const std::size_t size : {fits, fits + 1}) {
        const Value::Map params{{"k", Value(std::string(size, 'a'))}};
        expectSameOutcome("e", params);
        const Outcome native = admit("e", params, ParamForm::native, 0);
        EXPECT_EQ(native.ok, size == fits) << size;
        if (!native.ok) {
            EXPECT_EQ(native.message,
                      "about " + std::to_string(EventInputGuard::MAX_EVENT_BYTES + 1) +
                          " bytes, more than " + std::to_string(EventInputGuard::MAX_EVENT_BYTES));
        }
    }
    // Values of every kind add their typed texts' sizes, the properties theirs.
    Value::Map mixed{{"i", Value(std::numeric_limits<std::int64_t>::min())},
                     {"d", Value(-1.25e-7)},
                     {"b", Value(false)},
                     {"null", Value()},
                     {"bytes", Value(Value::Bytes(123456, 0))},
                     {"list", Value(Value::Array(3000, Value("abcdefghij")))},
                     {"map", Value(Value::Map{{"x", Value(std::string(1000, 'y'))}})}};
    for (const std::size_t properties : {std::size_t{0}, std::size_t{1000}, std::size_t{990'000}}) {
        expectSameOutcome("mixed", mixed, properties);
    }
    // A text that repairs longer is measured after its repair.
    const std::size_t near = EventInputGuard::MAX_EVENT_BYTES - around - prefix - 2;
    expectSameOutcome("e", Value::Map{{"k", Value(std::string(near - 1, 'a') + "\xFF")}});
}

TEST(EventInputGuardForms, ListsNestWithinTheirTextMapsCount) {
    testing::FreshSdk sdk;
    const int limit = EventInputGuard::MAX_VALUE_DEPTH;
    // A list is one text in the typed map, however deep it nests.
    expectSameOutcome("lists", Value::Map{{"l", nestedLists(limit + 20)}});
    EXPECT_TRUE(
        admit("lists", Value::Map{{"l", nestedLists(limit + 20)}}, ParamForm::native, 0).ok);
    for (const int levels : {limit, limit + 1}) {
        const Value::Map params{{"m", nestedMaps(levels)}};
        expectSameOutcome("maps", params);
        const Outcome native = admit("maps", params, ParamForm::native, 0);
        EXPECT_EQ(native.ok, levels <= limit) << levels;
    }
}

TEST(EventInputGuardForms, ABufferedEventIsCheckedInItsOwnForm) {
    testing::FreshSdk sdk;
    auto event = [](ParamForm form, Value::Map param) {
        EventModel e(std::nullopt, std::nullopt, std::nullopt, std::nullopt, "t", "custom", "e",
                     std::move(param), 0, 0, std::nullopt, std::nullopt, Location{}, std::nullopt,
                     {}, {});
        e.paramForm = form;
        return e;
    };
    const Value::Map given{{"k", Value("v\xFF")}, {"n", Value(5)}};
    EventModel native = event(ParamForm::native, given);
    EventModel typed = event(ParamForm::prefixed, FvnUtil::toTypedValueDictionary(given));
    ASSERT_TRUE(EventInputGuard::admit(native).isOk());
    ASSERT_TRUE(EventInputGuard::admit(typed).isOk());
    std::string a;
    std::string b;
    native.appendJson(a);
    typed.appendJson(b);
    EXPECT_EQ(a, b);
    EXPECT_NE(a.find("\"param\":{\"k\":\"string:v\xEF\xBF\xBD\",\"n\":\"long:5\"}"),
              std::string::npos)
        << a;
    EXPECT_EQ(Value(native.toDictionary()), Value(typed.toDictionary()));

    // One byte over the limit in the typed form refuses the native event too.
    const std::size_t big =
        EventInputGuard::MAX_EVENT_BYTES - EventInputGuard::kFixedEventBytes - 1 - 6;
    EventModel large = event(ParamForm::native, {{"k", Value(std::string(big, 'a'))}});
    const Status refused = EventInputGuard::admit(large);
    EXPECT_FALSE(refused.isOk());
    EventModel largeTyped =
        event(ParamForm::prefixed, {{"k", Value("string:" + std::string(big, 'a'))}});
    EXPECT_EQ(refused.message(), EventInputGuard::admit(largeTyped).message());

    // The order numbers added when written count as the texts they become,
    // in place of an app value under the same key.
    EventModel numbered = event(ParamForm::native, {{"k", Value(std::string(big - 60, 'a'))},
                                                    {"svl:event_order_no", Value("app's")}});
    numbered.sessionOrderNo = 7;
    numbered.eventOrderNo = 123456789;
    EventModel numberedTyped =
        event(ParamForm::prefixed, {{"k", Value("string:" + std::string(big - 60, 'a'))},
                                    {"svl:event_order_no", Value("long:123456789")},
                                    {"svl:session_order_no", Value("long:7")}});
    const Status a1 = EventInputGuard::admit(numbered);
    const Status a2 = EventInputGuard::admit(numberedTyped);
    EXPECT_FALSE(a1.isOk());
    EXPECT_EQ(a1.message(), a2.message());
    std::string n1;
    std::string n2;
    numbered.appendJson(n1);
    numberedTyped.appendJson(n2);
    EXPECT_EQ(n1, n2);
    EXPECT_EQ(Value(numbered.toDictionary()), Value(numberedTyped.toDictionary()));
}

// A buffered event whose parameters came as the record call's flat list is
// repaired, measured and written as the same event holding them as a map.
TEST(EventInputGuardForms, ABufferedEventsListIsCheckedAsItsMap) {
    testing::FreshSdk sdk;
    auto event = [](Value::Map param, bool listed, std::uint64_t numbers) {
        EventModel e(std::nullopt, std::nullopt, std::nullopt, std::nullopt, "t", "custom", "e",
                     listed ? Value::Map{} : param, 0, 0, std::nullopt, std::nullopt, Location{},
                     std::nullopt, {}, {});
        e.paramForm = ParamForm::native;
        if (listed) {
            e.nativeParam = toParamList(param);
        }
        e.sessionOrderNo = numbers;
        e.eventOrderNo = numbers;
        return e;
    };
    auto written = [](const EventModel& e) {
        std::string out;
        e.appendJson(out);
        return out;
    };
    const std::size_t big =
        EventInputGuard::MAX_EVENT_BYTES - EventInputGuard::kFixedEventBytes - 1 - 6;
    const std::vector<Value::Map> cases{
        // Ill-formed keys that repair to one text, and an ill-formed value.
        {{"\xFF", Value(1)}, {"\xFE", Value(2)}, {"a", Value("v\xC0")}, {"z", Value(true)}},
        // At and one byte over the limit (the text's prefix and quotes, the
        // key's entry, three maps' braces), then with the order numbers' key
        // among the app's.
        {{"k", Value(std::string(big - 7 - 3 - 5 - 6, 'a'))}},
        {{"k", Value(std::string(big - 7 - 3 - 5 - 6 + 1, 'a'))}},
        {{"k", Value(std::string(big - 60, 'a'))}, {"svl:event_order_no", Value("app's")}},
        {{"m", nestedMaps(EventInputGuard::MAX_VALUE_DEPTH + 1)}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        for (const std::uint64_t numbers : {std::uint64_t{0}, std::uint64_t{123456789}}) {
            EventModel asMap = event(cases[i], false, numbers);
            EventModel asList = event(cases[i], true, numbers);
            const Status fromMap = EventInputGuard::admit(asMap);
            const Status fromList = EventInputGuard::admit(asList);
            ASSERT_EQ(fromList.isOk(), fromMap.isOk()) << i << " " << numbers;
            if (!fromMap.isOk()) {
                EXPECT_EQ(fromList.message(), fromMap.message()) << i;
                continue;
            }
            EXPECT_EQ(written(asList), written(asMap)) << i << " " << numbers;
            EXPECT_EQ(Value(asList.toDictionary()), Value(asMap.toDictionary())) << i;
        }
    }
    // The cases above decide both ways.
    EventModel fits = event(cases[1], true, 0);
    EventModel over = event(cases[2], true, 0);
    EXPECT_TRUE(EventInputGuard::admit(fits).isOk());
    EXPECT_FALSE(EventInputGuard::admit(over).isOk());
    EventModel repaired = event(cases[0], true, 0);
    ASSERT_TRUE(EventInputGuard::admit(repaired).isOk());
    ASSERT_EQ(repaired.nativeParam.size(), 3u);
    EXPECT_EQ(repaired.nativeParam[0].first, "a");
    EXPECT_EQ(repaired.nativeParam[1].first, "z");
    EXPECT_EQ(repaired.nativeParam[2], (std::pair<std::string, Value>("\xEF\xBF\xBD", Value(2))));
}

}  // namespace
}  // namespace sorvel
