#include "Event/TypedValueDictionary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

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

}  // namespace
}  // namespace sorvel
