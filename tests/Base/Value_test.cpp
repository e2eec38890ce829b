#include "sorvel/Value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "Base/ValueCodec.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using Map = Value::Map;
using Array = Value::Array;
using Bytes = Value::Bytes;
using namespace std::string_literals;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Value nested(int depth) {
    Value v = Array{};
    for (int i = 1; i < depth; ++i) {
        v = Array{std::move(v)};
    }
    return v;
}

// A value with every type, nested, and the edge cases of each.
Value everyType() {
    return Map{
        {"null", nullptr},
        {"bools", Array{true, false}},
        {"ints", Array{std::numeric_limits<std::int64_t>::min(), -1, 0,
                       std::numeric_limits<std::int64_t>::max()}},
        {"uints", Array{std::uint64_t{0}, std::numeric_limits<std::uint64_t>::max()}},
        {"doubles", Array{0.1, -0.0, 1e300, 5e-324, -kInf}},
        {"text", "quote \" backslash \\ \xC3\xA9 \xF0\x9F\x98\x80 nul \0 end"s},
        {"bytes", Bytes{0, 1, 2, 0xff}},
        {"", Map{{"deeper", Array{Map{}, Array{}, Bytes{}, std::string()}}}},
    };
}

TEST(ValueRender, RendersEveryType) {
    const std::vector<std::pair<Value, std::string>> table = {
        {nullptr, "null"},
        {true, "true"},
        {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
        {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
        {2.0, "2.0"},
        {-0.0, "-0.0"},
        {1e15, "1000000000000000.0"},
        {1e16, "1e+16"},
        {0.0001, "0.0001"},
        {0.00001, "1e-05"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {kNaN, "nan"},
        {-kInf, "-inf"},
        {"say \"hi\" \\o/", R"("say \"hi\" \\o/")"},
        {Bytes{1, 2, 3}, "<3 bytes>"},
        {Array{1, "a", Array{2.5, nullptr}}, R"([1, "a", [2.5, null]])"},
        {Map{{"b", Map{{"z", 1}, {"a", true}}}, {"a", Array{}}}, "{a: [], b: {a: true, z: 1}}"},
    };
    for (const auto& [value, text] : table) {
        EXPECT_EQ(value.render(), text);
    }
}

TEST(ValueRender, DoublesReadBackExactlyFromTheirText) {
    std::mt19937_64 rng(42);
    for (int i = 0; i < 20000; ++i) {
        double d;
        const std::uint64_t bits = rng();
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) {
            continue;
        }
        const std::string text = Value(d).render();
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), d) << text;
        ASSERT_NE(text.find_first_of(".e"), std::string::npos) << text;
        const auto json = Value::fromJson(Value(d).toJson());
        ASSERT_TRUE(json && json->getDouble() && *json->getDouble() == d) << text;
    }
}

TEST(ValueIsEqual, FollowsTheRenderingRule) {
    // Cases the pool below does not hold.
    EXPECT_TRUE(isEqual(Value(kNaN), Value(-kNaN)));
    EXPECT_FALSE(isEqual(Value(-1), Value(std::numeric_limits<std::uint64_t>::max())));
    EXPECT_TRUE(isEqual(Value(Bytes{1, 2}), Value(Bytes{3, 4})));
    // Keys render bare, so these two maps print, and therefore compare, alike.
    EXPECT_TRUE(isEqual(Value(Map{{"a: 1, b", 2}}), Value(Map{{"a", 1}, {"b", 2}})));
    EXPECT_TRUE(isEqual(Map{{"x", 1}}, Map{{"x", std::uint64_t{1}}}));
    // Two dictionaries compare key by key: a different key count is unequal
    // however alike they print.
    EXPECT_FALSE(isEqual(Map{{"a: 1, b", 2}}, Map{{"a", 1}, {"b", 2}}));
    EXPECT_TRUE(isEqual(Map{{"m", Map{{"a: 1, b", 2}}}}, Map{{"m", Map{{"a", 1}, {"b", 2}}}}));
    EXPECT_FALSE(isEqual(Map{{"x", 1}}, Map{{"x", "1"}}));

    EXPECT_TRUE(isEqual(std::optional<Value>(), std::optional<Value>()));
    EXPECT_FALSE(isEqual(std::optional<Value>(), std::optional<Value>(nullptr)));
    EXPECT_TRUE(isEqual(std::optional<Value>(3), std::optional<Value>(std::uint64_t{3})));

    // The shortcuts agree with comparing the renderings on every pair.
    const std::vector<Value> pool = {
        nullptr,
        true,
        false,
        0,
        std::uint64_t{0},
        1,
        -1,
        1.0,
        0.0,
        -0.0,
        kNaN,
        kInf,
        "",
        "1",
        "null",
        Bytes{},
        Bytes{9},
        Array{},
        Array{1},
        Array{std::uint64_t{1}},
        Array{"1"},
        Array{Array{}},
        Map{},
        Map{{"a", 1}},
        Map{{"a", "1"}},
        Map{{"a", Map{}}},
        everyType(),
    };
    for (const auto& a : pool) {
        for (const auto& b : pool) {
            EXPECT_EQ(isEqual(a, b), a.render() == b.render())
                << a.render() << " vs " << b.render();
        }
    }
}

TEST(ValueIntegers, ConvertOnlyWhenTheNumberFits) {
    EXPECT_EQ(Value(std::uint64_t{7}).toInt64(), 7);
    EXPECT_EQ(Value(std::numeric_limits<std::uint64_t>::max()).toInt64(), std::nullopt);
    EXPECT_EQ(Value(-3).toUInt64(), std::nullopt);
    EXPECT_EQ(Value(std::numeric_limits<std::int64_t>::max()).toUInt64(),
              std::uint64_t{std::numeric_limits<std::int64_t>::max()});
    EXPECT_EQ(Value(2.0).toInt64(), std::nullopt);
    EXPECT_EQ(Value("2").toUInt64(), std::nullopt);
}

TEST(ValueJson, WritesAndReadsBack) {
    EXPECT_EQ(Value(Map{{"b", Array{1, 2.0, nullptr}}, {"a", "x"}}).toJson(),
              R"({"a":"x","b":[1,2.0,null]})");
    EXPECT_EQ(Value(Map{{"a", Array{1, Map{}}}, {"b", Array{}}}).toJson(true),
              "{\n  \"a\": [\n    1,\n    {}\n  ],\n  \"b\": []\n}");
    EXPECT_EQ(Value(Array{kNaN, kInf, -kInf, 1e300, 0.1}).toJson(), "[null,null,null,1e+300,0.1]");
    EXPECT_EQ(Value(Bytes{0, 1, 2, 0xff}).toJson(), R"("AAEC/w==")");
    EXPECT_EQ(Value("tab\t nl\n \x01 \"q\" \\").toJson(), R"("tab\t nl\n \u0001 \"q\" \\")");

    // Every ill-formed sequence becomes U+FFFD and the text stays valid JSON.
    const std::string bad =
        "a\xff b\xC3 c\xE0\x80\x80 d\xED\xA0\x80 e\xF4\x90\x80\x80 f\xF0\x9F\x98";
    const std::string json = Value(Map{{bad, bad}}).toJson();
    EXPECT_EQ(json.find('\xff'), std::string::npos);
    const auto parsed = Value::fromJson(json);
    ASSERT_TRUE(parsed.has_value());
    const std::string r = "\xEF\xBF\xBD";
    const std::string repaired =
        "a" + r + " b" + r + " c" + r + r + r + " d" + r + r + r + " e" + r + r + r + r + " f" + r;
    EXPECT_EQ(*parsed, Value(Map{{repaired, repaired}}));

    // Everything but bytes and non-finite doubles survives a round trip.
    Value v = everyType();
    v.getMap()->erase("bytes");
    (*v.getMap())["doubles"] = Array{0.1, -0.0, 1e300, 5e-324};
    (*v.getMap())["uints"] = Array{std::numeric_limits<std::uint64_t>::max()};
    (*v.getMap())[""] = Map{{"deeper", Array{Map{}, Array{}, std::string()}}};
    EXPECT_EQ(Value::fromJson(v.toJson()), v);
    EXPECT_EQ(Value::fromJson(v.toJson(true)), v);
}

TEST(ValueJson, PicksTheNarrowestNumberType) {
    EXPECT_EQ(Value::fromJson("9223372036854775807"),
              Value(std::numeric_limits<std::int64_t>::max()));
    EXPECT_EQ(Value::fromJson("-9223372036854775808"),
              Value(std::numeric_limits<std::int64_t>::min()));
    EXPECT_EQ(Value::fromJson("9223372036854775808"), Value(std::uint64_t{1} << 63));
    EXPECT_EQ(Value::fromJson("18446744073709551616"), Value(18446744073709551616.0));
    EXPECT_EQ(Value::fromJson("-9223372036854775809"), Value(-9223372036854775809.0));
    EXPECT_EQ(Value::fromJson("12"), Value(12));
    EXPECT_EQ(Value::fromJson("12.0"), Value(12.0));
    EXPECT_EQ(Value::fromJson(R"({"k": [true, null, "s"], "k2": {}})"),
              Value(Map{{"k", Array{true, nullptr, "s"}}, {"k2", Map{}}}));
}

TEST(ValueJson, RejectsMalformedAndTooDeepText) {
    for (const char* text : {"", "   ", "{", "[1,]", R"({"a":})", "nul", "1 2", "\"\xff\"", "1e400",
                             "NaN", "{'a':1}", "[1] x", "\"\\ud800\""}) {
        EXPECT_EQ(Value::fromJson(text), std::nullopt) << text;
    }
    const auto brackets = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
    EXPECT_EQ(Value::fromJson(brackets(ValueCodec::kMaxDepth)), nested(ValueCodec::kMaxDepth));
    EXPECT_EQ(Value::fromJson(brackets(ValueCodec::kMaxDepth + 1)), std::nullopt);
    EXPECT_EQ(Value::fromJson(brackets(512)), std::nullopt);
    EXPECT_EQ(Value::fromJson(std::string(1'000'000, '[')), std::nullopt);
}

TEST(ValueCodec, RoundTripsEveryType) {
    const Value v = everyType();
    const auto bytes = ValueCodec::encode(v);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(bytes->front(), ValueCodec::kVersion);
    const auto back = ValueCodec::decode(*bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, v);
    EXPECT_TRUE(std::signbit(*(*back->getMap()).at("doubles").getArray()->at(1).getDouble()));

    const auto nan = ValueCodec::decode(*ValueCodec::encode(kNaN));
    ASSERT_TRUE(nan && nan->getDouble());
    EXPECT_TRUE(std::isnan(*nan->getDouble()));

    const auto deepest = ValueCodec::encode(nested(ValueCodec::kMaxDepth));
    ASSERT_TRUE(deepest.has_value());
    EXPECT_EQ(ValueCodec::decode(*deepest), nested(ValueCodec::kMaxDepth));
    EXPECT_EQ(ValueCodec::encode(nested(ValueCodec::kMaxDepth + 1)), std::nullopt);
}

TEST(ValueCodec, RejectsMalformedBytes) {
    const Bytes good = *ValueCodec::encode(everyType());
    for (std::size_t n = 0; n < good.size(); ++n) {
        ASSERT_EQ(ValueCodec::decode({good.data(), n}), std::nullopt) << "prefix " << n;
    }
    auto withTrailer = good;
    withTrailer.push_back(0);
    EXPECT_EQ(ValueCodec::decode(withTrailer), std::nullopt);

    const std::vector<Bytes> bad = {
        {2, 0},                                                              // unknown version
        {1, 10},                                                             // unknown tag
        {1, 6, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x3f, 'a'},   // length beyond input
        {1, 8, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},        // count beyond input
        {1, 4, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02},  // over 64 bits
        {1, 4, 0x80, 0x00},                                                  // padded varint
        {1, 9, 2, 1, 'b', 0, 1, 'a', 0},                                     // keys out of order
        {1, 9, 2, 1, 'a', 0, 1, 'a', 0},                                     // repeated key
        {1, 5, 0, 0, 0, 0, 0, 0, 0},                                         // short double
    };
    for (const auto& b : bad) {
        EXPECT_EQ(ValueCodec::decode(b), std::nullopt);
    }
    Bytes deep(1, ValueCodec::kVersion);
    for (int i = 0; i <= ValueCodec::kMaxDepth; ++i) {
        deep.insert(deep.end(), {8, 1});
    }
    deep.push_back(0);
    EXPECT_EQ(ValueCodec::decode(deep), std::nullopt);

    // Only canonical encodings are accepted, so whatever random bytes happen
    // to decode encode back to exactly those bytes.
    std::mt19937 rng(7);
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        Bytes junk(1 + rng() % 24);
        for (auto& b : junk) {
            b = static_cast<std::uint8_t>(rng() % 12);
        }
        junk[0] = ValueCodec::kVersion;
        if (const auto v = ValueCodec::decode(junk)) {
            ++accepted;
            ASSERT_EQ(ValueCodec::encode(*v), junk);
        }
    }
    EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace sorvel
