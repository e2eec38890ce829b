#include "Event/TypedValueDictionary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "Base/JsonText.h"

namespace sorvel {
namespace {

TEST(TypedValueDictionary, RendersEveryKind) {
    const Value::Map input{
        {"s", Value("text")},
        {"f", Value(false)},
        {"imin", Value(std::numeric_limits<std::int64_t>::min())},
        {"umax", Value(std::numeric_limits<std::uint64_t>::max())},
        {"d2", Value(2.0)},
        {"nan", Value(std::nan(""))},
        {"arr", Value(Value::Array{Value("a"), Value(std::int64_t{2})})},
        {"null", Value()},
        {"bytes", Value(Value::Bytes{1, 2, 3})},
        {"nested", Value(Value::Map{{"deeper", Value(Value::Map{{"b", Value(false)}})}})},
    };
    const Value::Map expected{
        {"s", Value("string:text")},
        {"f", Value("boolean:false")},
        {"imin", Value("long:-9223372036854775808")},
        {"umax", Value("long:18446744073709551615")},
        {"d2", Value("double:2.0")},
        {"nan", Value("double:nan")},
        {"arr", Value("string:[\"a\", 2]")},
        {"null", Value("string:<null>")},
        {"bytes", Value("string:3 bytes")},
        {"nested", Value(Value::Map{{"deeper", Value(Value::Map{{"b", Value("boolean:false")}})}})},
    };
    EXPECT_EQ(Value(FvnUtil::toTypedValueDictionary(input)), Value(expected));
    EXPECT_TRUE(FvnUtil::toTypedValueDictionary(std::nullopt).empty());
}

TEST(TypedValueDictionary, ItemsParamHoldsEachProductTyped) {
    SorvelKvCommerceProductModel a;
    a.setModel("p1", "Shoe", 10.0, 2, 1.0, std::string("USD"), std::nullopt, std::nullopt);
    SorvelKvCommerceProductModel b;
    b.setModel("p2", "Hat", 5.0, 1, 0.0, std::nullopt, std::nullopt, std::nullopt);
    const Value::Map params{{"k", Value("string:v")}, {"svl:items", Value("old")}};

    const Value::Map out = FvnUtil::makeItemsParam(std::vector{a, b}, params);
    EXPECT_EQ(out.at("k"), Value("string:v"));
    const Value::Array* items = out.at("svl:items").getArray();
    ASSERT_NE(items, nullptr);
    ASSERT_EQ(items->size(), 2u);
    const Value::Map& first = *(*items)[0].getMap();
    EXPECT_EQ(first.at("svl:product_id"), Value("string:p1"));
    EXPECT_EQ(first.at("svl:sales"), Value("double:18.0"));
    EXPECT_EQ(first.at("svl:quantity"), Value("long:2"));
    EXPECT_EQ(first.at("svl:currency"), Value("string:USD"));
    EXPECT_EQ((*items)[1].getMap()->at("svl:product_id"), Value("string:p2"));
    EXPECT_EQ((*items)[1].getMap()->count("svl:currency"), 0u);

    const Value::Map none = FvnUtil::makeItemsParam(std::nullopt, std::nullopt);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_TRUE(none.at("svl:items").getArray()->empty());
}

// Every kind of value, text that needs escaping or repair, and maps inside
// maps and lists.
Value::Map everyKind() {
    return Value::Map{
        {"s", Value("plain")},
        {"esc", Value("q\"b\\s/\n\x01 end")},
        {"bad utf8", Value("a\xC3(b\xF0\x9F\x98")},
        {"\xFFkey", Value("v")},
        {"empty", Value("")},
        {"long text", Value(std::string(300, 'x'))},
        {"t", Value(true)},
        {"f", Value(false)},
        {"i", Value(std::numeric_limits<std::int64_t>::min())},
        {"u", Value(std::numeric_limits<std::uint64_t>::max())},
        {"d", Value(-1.25e-7)},
        {"nan", Value(std::numeric_limits<double>::quiet_NaN())},
        {"inf", Value(-std::numeric_limits<double>::infinity())},
        {"null", Value()},
        {"bytes", Value(Value::Bytes(1234, 7))},
        {"list", Value(Value::Array{Value(1), Value("x\"y\xE2"),
                                    Value(Value::Map{{"k\xFF", Value(2.5)}})})},
        {"map", Value(Value::Map{{"inner", Value(7)},
                                 {"deep", Value(Value::Map{{"z", Value(1.5)},
                                                           {"empty", Value(Value::Map{})}})}})},
        {"empty map", Value(Value::Map{})},
    };
}

TEST(TypedText, WrittenAsTheTypedMapWouldBe) {
    const Value::Map input = everyKind();
    const Value::Map typed = FvnUtil::toTypedValueDictionary(input);

    // The one writer of native parameters against the JSON of their typed map.
    std::string direct;
    typedtext::appendJson(direct, input);
    EXPECT_EQ(direct, Value(typed).toJson());
    // Appends, leaving what came before.
    std::string after = "x";
    typedtext::appendJson(after, {});
    EXPECT_EQ(after, "x{}");

    // Each value's size, counted without building its text.
    for (const auto& [key, value] : input) {
        if (!value.isMap()) {
            EXPECT_EQ(typedtext::textSize(value), typed.at(key).getString()->size()) << key;
        }
    }
    EXPECT_EQ(typedtext::text(Value(42)), "long:42");
    EXPECT_EQ(typedtext::text(Value(2.0)), "double:2.0");
    EXPECT_EQ(typedtext::text(Value(Value::Bytes(3))), "string:3 bytes");
    EXPECT_EQ(typedtext::text(Value()), "string:<null>");
    EXPECT_EQ(typedtext::text(Value("a:b")), "string:a:b");
}

TEST(TypedText, AddedNumbersTakeTheirPlaceInKeyOrder) {
    const Value::Map map{{"b", Value(1)}, {"d", Value("x")}, {"f", Value(true)}};
    auto written = [&](std::vector<typedtext::AddedNumber> added) {
        std::string out;
        typedtext::appendJson(out, map, added);
        return out;
    };
    // Before, between, over and after the map's keys.
    EXPECT_EQ(written({{"a", 1}, {"c", 2}, {"d", 3}, {"g", 18446744073709551615ull}}),
              R"({"a":"long:1","b":"long:1","c":"long:2","d":"long:3","f":"boolean:true",)"
              R"("g":"long:18446744073709551615"})");
    EXPECT_EQ(written({{"b", 5}, {"f", 6}}), R"({"b":"long:5","d":"string:x","f":"long:6"})");
    EXPECT_EQ(written({}), Value(FvnUtil::toTypedValueDictionary(map)).toJson());
    std::string onlyAdded;
    typedtext::appendJson(onlyAdded, {}, std::vector<typedtext::AddedNumber>{{"k", 0}});
    EXPECT_EQ(onlyAdded, R"({"k":"long:0"})");
}

// The record call's flat copy of an app's map must read, type and write as
// the map itself: the wire text of an event cannot depend on which it took.
TEST(TypedText, AParamListIsWrittenAsItsMap) {
    const Value::Map input = everyKind();
    const ParamList list = toParamList(input);
    ASSERT_EQ(list.size(), input.size());
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end(),
                               [](const auto& a, const auto& b) { return a.first < b.first; }));

    const std::vector<std::vector<typedtext::AddedNumber>> numbers{
        {}, {{"a", 1}}, {{"f", 2}, {"s", 3}}, {{"\xFF\xFF", 4}}, {{"bytes", 0}, {"zz", 9}}};
    for (const auto& added : numbers) {
        std::string fromMap = "x";
        std::string fromList = "x";
        typedtext::appendJson(fromMap, input, added);
        typedtext::appendListJson(fromList, list, added);
        EXPECT_EQ(fromList, fromMap) << added.size();
    }
    std::string empty;
    typedtext::appendListJson(empty, {}, std::vector<typedtext::AddedNumber>{{"k", 5}});
    EXPECT_EQ(empty, R"({"k":"long:5"})");
    EXPECT_EQ(Value(typedtext::toTypedListMap(list)), Value(typedtext::toTypedMap(input)));

    // Taken out of the map, the entries are the same; the map is left empty.
    Value::Map moved = input;
    const ParamList taken = toParamList(std::move(moved));
    EXPECT_TRUE(moved.empty());
    ASSERT_EQ(taken.size(), list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(taken[i].first, list[i].first);
        // Rendered: NaN equals no value, itself included.
        EXPECT_EQ(taken[i].second.type(), list[i].second.type()) << list[i].first;
        EXPECT_EQ(taken[i].second.render(), list[i].second.render()) << list[i].first;
    }

    // Looked up by key: first, middle, last and missing keys, before and after all.
    EXPECT_EQ(findParam(list, list.front().first), &list.front().second);
    EXPECT_EQ(findParam(list, list.back().first), &list.back().second);
    ASSERT_NE(findParam(list, "t"), nullptr);
    EXPECT_EQ(*findParam(list, "t"), Value(true));
    EXPECT_EQ(findParam(list, "tt"), nullptr);
    EXPECT_EQ(findParam(list, ""), nullptr);
    EXPECT_EQ(findParam(list, "\xFF\xFF\xFF"), nullptr);
    EXPECT_EQ(findParam({}, "t"), nullptr);
}

TEST(TypedText, PrefixedStringIsTheJoinedText) {
    for (const char* text :
         {"", "abc", "\"\\\n", "\xE2\x82", "\xF0\x9F\x98\x80 ok", "12345678\x01"}) {
        std::string joined;
        json::appendString(joined, std::string("string:") + text);
        std::string prefixed;
        json::appendString(prefixed, "string:", text);
        EXPECT_EQ(prefixed, joined) << text;
    }
}

}  // namespace
}  // namespace sorvel
