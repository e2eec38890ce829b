#include "Common/Extensions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace sorvel {
namespace {

using namespace std::chrono;

platform::WallTime at(std::int64_t nanos) {
    return platform::WallTime(duration_cast<platform::WallTime::duration>(nanoseconds(nanos)));
}

TEST(Extensions, JsonFormatAndItsFailureTexts) {
    const Value::Map map{{"a", Value(std::int64_t{1})},
                         {"b", Value(Value::Array{Value("x"), Value(true)})},
                         {"c", Value(Value::Map{{"d", Value(0.5)}})}};
    const std::string text = ext::toJsonFormat(map);
    auto back = Value::fromJson(text);
    ASSERT_TRUE(back.has_value()) << text;
    EXPECT_EQ(*back, Value(map));
    EXPECT_NE(text.find('\n'), std::string::npos) << "pretty-printed";
    EXPECT_EQ(ext::toJsonString(map), text);

    const Value::Map nan{{"x", Value(std::nan(""))}};
    const Value::Map inf{
        {"x", Value(Value::Array{Value(-std::numeric_limits<double>::infinity())})}};
    const Value::Map bytes{{"x", Value(Value::Map{{"y", Value(Value::Bytes{1})}})}};
    for (const auto& bad : {nan, inf, bytes}) {
        EXPECT_EQ(ext::toJsonFormat(bad), "toJsonFormat Exception");
        EXPECT_EQ(ext::toJsonString(bad), std::nullopt);
    }
    EXPECT_EQ(ext::toJsonFormat(Value::Array{Value(std::nan(""))}), "toJsonFormat Exception");
    auto arr = Value::fromJson(ext::toJsonFormat(Value::Array{Value("a"), Value(std::int64_t{2})}));
    ASSERT_TRUE(arr.has_value());
    EXPECT_EQ(*arr, Value(Value::Array{Value("a"), Value(std::int64_t{2})}));
    // Invalid UTF-8 still gives JSON text, never a crash.
    EXPECT_TRUE(
        Value::fromJson(ext::toJsonFormat(Value::Map{{"k", Value("\xff\xfe")}})).has_value());
}

TEST(Extensions, SqlInList) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "(  )"},
        {{"a"}, "( \"a\" )"},
        {{"push", "inapp"}, "( \"push\",\"inapp\" )"},
        {{"x\"y"}, "( \"x\"\"y\" )"},
        {{"\") OR 1=1 --"}, "( \"\"\") OR 1=1 --\" )"},
    };
    for (const auto& [items, want] : cases) {
        EXPECT_EQ(ext::toSqlInList(items), want);
    }
}

TEST(Extensions, SafeGet) {
    const std::vector<int> v{10, 20, 30};
    EXPECT_EQ(ext::safeGet(v, 2), 30);
    for (std::int64_t bad :
         {std::int64_t{-1}, std::int64_t{3}, std::numeric_limits<std::int64_t>::min()}) {
        EXPECT_EQ(ext::safeGet(v, bad), std::nullopt) << bad;
    }
}

TEST(Extensions, StringToInt64) {
    const std::vector<std::pair<std::string, std::optional<std::int64_t>>> cases = {
        {"123", 123},
        {"-5", -5},
        {"+7", 7},
        {"0", 0},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"+-1", std::nullopt},
        {"1.5", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"0x10", std::nullopt},
        {"abc", std::nullopt},
    };
    for (const auto& [text, want] : cases) {
        EXPECT_EQ(ext::toInt64(text), want) << "'" << text << "'";
    }
}

TEST(Extensions, SubstringFromCountsCodePoints) {
    struct Case {
        std::string text;
        std::int64_t i;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"hello", 1, "ello"},
        {"hello", 0, "hello"},
        {"hello", 4, "o"},
        {"hello", 5, ""},
        {"hello", -1, ""},
        {"", 0, ""},
        {"quorinKey", 9, ""},
        {"quorinKeyage", 9, "age"},
        {"\xED\x95\x9C\xEA\xB8\x80"
         "abc",
         1,
         "\xEA\xB8\x80"
         "abc"},                         // 한글abc
        {"e\xCC\x81x", 1, "\xCC\x81x"},  // a combining mark is its own code point
        {"\xff\xfe"
         "ab",
         1,
         "\xfe"
         "ab"},  // each stray byte counts as one
        {"hello", std::numeric_limits<std::int64_t>::min(), ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ext::substringFrom(c.text, c.i), c.want) << c.text << " from " << c.i;
    }
}

TEST(Extensions, DateToMillisRoundsHalfAwayFromZero) {
    const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
        {1'700'000'000'123'000'000LL, 1'700'000'000'123LL},
        {1'700'000'000'123'499'999LL, 1'700'000'000'123LL},
        {1'700'000'000'123'500'000LL, 1'700'000'000'124LL},
        {0, 0},
        {-499'999, 0},
        {-500'000, -1},
        {-1'500'000, -2},
        {-1'499'999, -1},
    };
    for (const auto& [nanos, ms] : cases) {
        EXPECT_EQ(ext::toMillis(at(nanos)), ms) << nanos;
    }
}

TEST(Extensions, QueryColour) {
    using Params = std::map<std::string, std::string>;
    EXPECT_EQ(ext::queryParameters("https://a.example/p?x=1&is_used_svl_universial_link=true"),
              (Params{{"x", "1"}, {"is_used_svl_universial_link", "true"}}));
    EXPECT_EQ(ext::queryParameters("app://h?a=1&flag&b=%20&a=2#f=3"),
              (Params{{"a", "2"}, {"b", "%20"}}));
    EXPECT_EQ(ext::queryParameters("app://h?k=v=w"), (Params{{"k", "v=w"}}));
    EXPECT_TRUE(ext::queryParameters("app://h").empty());
    EXPECT_TRUE(ext::queryParameters("not a url?x=1").empty());

    const ext::Color fallback{0.5, 0.5, 0.5, 0.5};
    struct Case {
        std::optional<std::string> hex;
        ext::Color want;
    };
    const std::vector<Case> cases = {
        {std::nullopt, fallback},
        {"#FF0000", {1, 0, 0, 1}},
        {"00ff00", {0, 1, 0, 1}},
        {" \n#0000ff\t", {0, 0, 1, 1}},
        {"#80FF0000", {1, 0, 0, 128 / 255.0}},
        {"#FFF", fallback},
        {"#FF00000", fallback},
        {"", fallback},
        {"##FF0000", fallback},               // only one "#" is removed: seven characters
        {"12ZZ56", {0, 0, 0x12 / 255.0, 1}},  // reading stops at Z
        {"GGGGGG", {0, 0, 0, 1}},
        {"GGGGGGGG", {0, 0, 0, 0}},
        {"0x1234", {0, 0x12 / 255.0, 0x34 / 255.0, 1}},
        {"\xED\x95\x9C\xED\x95\x9C\xED\x95\x9C\xED\x95\x9C\xED\x95\x9C\xED\x95\x9C", {0, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ext::initHex(c.hex, fallback), c.want) << c.hex.value_or("<absent>");
    }
}

TEST(Extensions, LooseEqualityOfValues) {
    struct Case {
        Value a;
        Value b;
        bool equal;
    };
    const std::vector<Case> cases = {
        {Value(std::int64_t{5}), Value(std::uint64_t{5}), true},
        {Value("5"), Value(std::int64_t{5}), false},
        {Value(true), Value(std::int64_t{1}), false},
        {Value(2.0), Value(2.0), true},
        {Value(Value::Array{Value(std::int64_t{1}), Value("x")}),
         Value(Value::Array{Value(std::uint64_t{1}), Value("x")}), true},
        {Value(Value::Array{Value(std::int64_t{1})}), Value(Value::Array{Value("1")}), false},
        {Value(Value::Map{{"a", Value(Value::Map{{"b", Value(std::int64_t{1})}})}}),
         Value(Value::Map{{"a", Value(Value::Map{{"b", Value(std::uint64_t{1})}})}}), true},
        {Value(Value::Map{{"a", Value(std::int64_t{1})}}),
         Value(Value::Map{{"a", Value(std::int64_t{1})}, {"b", Value()}}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isEqual(c.a, c.b), c.equal) << c.a.render() << " vs " << c.b.render();
    }
    EXPECT_FALSE(isEqual(std::optional<Value>(), std::optional<Value>(Value())));
    EXPECT_TRUE(isEqual(std::optional<Value>(), std::optional<Value>()));
}

}  // namespace
}  // namespace sorvel
