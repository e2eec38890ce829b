#include "Network/JsonDic.h"

#include <gtest/gtest.h>

#include <variant>

namespace sorvel {
namespace {

TEST(JsonDic, JsonObjectsOnly) {
    auto ok = FvnUtil::jsonString2JsonDic(R"({"a": 1, "b": {"c": "d"}})");
    ASSERT_TRUE(ok.isOk());
    EXPECT_EQ(ok.value().at("a"), Value(std::int64_t{1}));
    for (const char* notObject : {"[1,2]", "5", "\"text\"", "null"}) {
        auto r = FvnUtil::jsonString2JsonDic(notObject);
        ASSERT_FALSE(r.isOk()) << notObject;
        EXPECT_STREQ(describe(r.error()),
                     "Util.jsonString2JsonDic:: can not convert jsonObject to dictionary");
    }
    for (const char* broken : {"{", "\xff\xfe"}) {
        auto r = FvnUtil::jsonString2JsonDic(broken);
        ASSERT_FALSE(r.isOk()) << broken;
        EXPECT_EQ(r.error(), JsonError::invalidJsonError);
    }
}

}  // namespace
}  // namespace sorvel
