#include "Event/UserPropertyRules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sorvel/SorvelKVDelegates.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

TEST(UserPropertyRules, UserIdMatchesOnlyAsText) {
    EXPECT_TRUE(FvnUtil::isSameUserId("u1", {{"svl:user_id", Value("u1")}}));
    EXPECT_FALSE(FvnUtil::isSameUserId("1", {{"svl:user_id", Value(std::int64_t{1})}}));
    EXPECT_FALSE(FvnUtil::isSameUserId("u1", {}));
}

TEST(UserPropertyRules, UserPropertyKeyRules) {
    struct Case {
        std::string key;
        bool usable;
        std::string used;
    };
    const std::string k50(50, 'a');
    const std::vector<Case> cases = {
        {"", false, ""},
        {"abc_1", true, "abc_1"},
        {"a-b-c", true, "a_b_c"},
        {k50, true, k50},
        {k50 + "b", false, k50 + "b"},
        {std::string(25, 'a') + "-" + std::string(25, 'b'), false,
         std::string(25, 'a') + "_" + std::string(25, 'b')},
        {"Abc", false, "Abc"},
        {"a-B", false, "a_B"},
        {"\xED\x95\x9C", false, "\xED\x95\x9C"},
        {"ab\xff", false, "ab\xff"},
    };
    testing::DelegateLog log;
    for (const auto& c : cases) {
        auto [usable, used] = FvnUtil::checkUserPropertyKey(c.key);
        EXPECT_EQ(usable, c.usable) << c.key;
        EXPECT_EQ(used, c.used) << c.key;
    }
    EXPECT_EQ(
        log.count(
            "UserProperty Key 에는 빈값을 사용할 수 없습니다. 호출은 무시됩니다. Input key : "),
        1);
    EXPECT_EQ(
        log.count("UserProperty Key 는 50자를 넘을 수 없습니다. 호출은 무시됩니다. Input key : "),
        2);
    EXPECT_EQ(
        log.count("UserProperty Key는 소문자 알파벳, 숫자, 언더바만 사용할 수 있습니다. 호출은 "
                  "무시됩니다. Input key : "),
        4);
    EXPECT_EQ(log.count("Input key : a-b-c"), 1);
    // Fifty Korean characters are fifty characters, not 150 bytes: refused by
    // the character rule, not the length rule.
    std::string korean;
    for (int i = 0; i < 50; ++i) {
        korean += "\xED\x95\x9C";
    }
    EXPECT_FALSE(FvnUtil::checkUserPropertyKey(korean).first);
    EXPECT_EQ(log.count("50자를 넘을 수 없습니다. 호출은 무시됩니다. Input key : " + korean), 0);
    EXPECT_FALSE(FvnUtil::checkUserPropertyKey(std::string(1 << 20, 'a')).first);
}

}  // namespace
}  // namespace sorvel
