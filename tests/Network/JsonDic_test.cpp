#include "Network/JsonDic.h"

#include <gtest/gtest.h>

#include <variant>

namespace sorvel {
namespace {

TEST(JsonDic, JsonObjectsOnly) {
    auto ok = FvnUtil::jsonString2JsonDic(R"({"a": 1, "b": {"c": "d"}})");
    ASSERT_TRUE(std::holds_alternative<Value::Map>(ok));
    EXPECT_EQ(std::get<Value::Map>(ok).at("a"), Value(std::int64_t{1}));
    for (const char* notObject : {"[1,2]", "5", "\"text\"", "null"}) {
        auto r = FvnUtil::jsonString2JsonDic(notObject);
        ASSERT_TRUE(std::holds_alternative<JsonError>(r)) << notObject;
        EXPECT_STREQ(describe(std::get<JsonError>(r)),
                     "Util.jsonString2JsonDic:: can not convert jsonObject to dictionary");
    }
    for (const char* broken : {"{", "\xff\xfe"}) {
        auto r = FvnUtil::jsonString2JsonDic(broken);
        ASSERT_TRUE(std::holds_alternative<JsonError>(r)) << broken;
        EXPECT_EQ(std::get<JsonError>(r), JsonError::invalidJsonError);
    }
}

}  // namespace
}  // namespace sorvel
