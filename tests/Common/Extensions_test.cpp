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

    const Value::Map inf{
        {"x", Value(Value::Array{Value(-std::numeric_limits<double>::infinity())})}};
    const Value::Map bytes{{"x", Value(Value::Map{{"y", Value(Value::Bytes{1})}})}};
    for (const auto& bad : {inf, bytes}) {
        EXPECT_EQ(ext::toJsonFormat(bad), "toJsonFormat Exception");
        EXPECT_EQ(ext::toJsonString(bad), std::nullopt);
    }
    EXPECT_EQ(ext::toJsonFormat(Value::Array{Value(std::nan(""))}), "toJsonFormat Exception");
    EXPECT_EQ(Value::fromJson(ext::toJsonFormat(Value::Array{Value("a")})),
              Value(Value::Array{Value("a")}));
}

TEST(Extensions, SqlInList) {
    EXPECT_EQ(ext::toSqlInList({}), "(  )");
    EXPECT_EQ(ext::toSqlInList({"push", "inapp"}), "( \"push\",\"inapp\" )");
    EXPECT_EQ(ext::toSqlInList({"\") OR 1=1 --"}), "( \"\"\") OR 1=1 --\" )");
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
        {"-5", -5},
        {"+7", 7},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"+-1", std::nullopt},
        {"1.5", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
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
        {"hello", 4, "o"},
        {"hello", 5, ""},
        {"hello", -1, ""},
        {"hello", std::numeric_limits<std::int64_t>::min(), ""},
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
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ext::substringFrom(c.text, c.i), c.want) << c.text << " from " << c.i;
    }
}

TEST(Extensions, DateToMillisRoundsHalfAwayFromZero) {
    const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
        {1'700'000'000'123'499'999LL, 1'700'000'000'123LL},
        {1'700'000'000'123'500'000LL, 1'700'000'000'124LL},
        {-499'999, 0},
        {-500'000, -1},
        {-1'500'000, -2},
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
        {" \n#0000ff\t", {0, 0, 1, 1}},
        {"#80FF0000", {1, 0, 0, 128 / 255.0}},
        {"#FFF", fallback},
        {"##FF0000", fallback},               // only one "#" is removed: seven characters
        {"12ZZ56", {0, 0, 0x12 / 255.0, 1}},  // reading stops at Z
        {"GGGGGGGG", {0, 0, 0, 0}},
        {"0x1234", {0, 0x12 / 255.0, 0x34 / 255.0, 1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ext::initHex(c.hex, fallback), c.want) << c.hex.value_or("<absent>");
    }
}

}  // namespace
}  // namespace sorvel
