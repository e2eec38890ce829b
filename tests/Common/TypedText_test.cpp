#include "Common/TypedText.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "Base/JsonText.h"
#include "Common/FvnUtil.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

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
    EXPECT_EQ(Value(typedtext::toTypedMap(input)), Value(typed));

    std::string direct;
    typedtext::appendJson(direct, input);
    EXPECT_EQ(direct, Value(typed).toJson());
    // Appends, leaving what came before.
    std::string after = "x";
    typedtext::appendJson(after, {});
    EXPECT_EQ(after, "x{}");

    // Each value's text and its size, as the typed map holds it.
    for (const auto& [key, value] : input) {
        if (value.isMap()) {
            continue;
        }
        const std::string* expected = typed.at(key).getString();
        ASSERT_NE(expected, nullptr) << key;
        EXPECT_EQ(typedtext::text(value), *expected) << key;
        EXPECT_EQ(typedtext::textSize(value), expected->size()) << key;
    }
    EXPECT_EQ(typedtext::text(Value(42)), "long:42");
    EXPECT_EQ(typedtext::text(Value(2.0)), "double:2.0");
    EXPECT_EQ(typedtext::text(Value(Value::Bytes(3))), "string:3 bytes");
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
