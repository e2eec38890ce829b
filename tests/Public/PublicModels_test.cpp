#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <set>
#include <vector>

#include "Common/SvlLog.h"
#include "sorvel/SorvelEnums.h"
#include "sorvel/SorvelKVDelegates.h"
#include "sorvel/SorvelKvAttrModel.h"
#include "sorvel/SorvelKvCommerceProductModel.h"

namespace sorvel {
namespace {

class LogLines {
  public:
    LogLines() {
        SvlLog::flush();  // lines of earlier tests are not ours
        auto d = makeLogDelegate([this](SorvelLogLevel level, const std::string& line) {
            std::lock_guard<std::mutex> lock(mu_);
            lines_.push_back({level, line});
        });
        SvlLog::setLogDelegate(d);
    }
    ~LogLines() { SvlLog::setLogDelegate(nullptr); }
    int count(SorvelLogLevel level, const std::string& needle) {
        SvlLog::flush();
        std::lock_guard<std::mutex> lock(mu_);
        int n = 0;
        for (const auto& [l, text] : lines_) {
            n += l == level && text.find(needle) != std::string::npos ? 1 : 0;
        }
        return n;
    }

  private:
    std::mutex mu_;
    std::vector<std::pair<SorvelLogLevel, std::string>> lines_;
};

TEST(PublicEnums, UnknownNumbersFallBack) {
    // The numbering has gaps and ETC sits between other values: only an exact
    // match converts, anything else is the fallback.
    struct Case {
        std::string (*get)(std::int64_t) noexcept;
        std::int64_t value;
        const char* want;
    };
    const std::vector<Case> cases = {
        {getSignUpChannel, 0, "ETC"},
        {getSignUpChannel, 13, "AppleId"},
        {getSignUpChannel, 14, "ETC"},
        {getInviteChannel, 10, "ETC"},
        {getSharingChannel, 12, "ETC"},
        {getPaymentMethod, 0, "ETC"},
        {getCurrencyString, 15, "KRW"},
        {getCurrencyString, std::numeric_limits<std::int64_t>::min(), "KRW"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.get(c.value), c.want) << c.value;
    }
    EXPECT_EQ(convertSignUpChannel(0), SorvelKvSignUpChannel::ETC);
    EXPECT_EQ(convertCountInterval(45), SorvelEventUploadCountInterval::COUNT_30);
    EXPECT_EQ(convertTimeInterval(119), SorvelEventUploadTimeInterval::SECONDS_60);
    EXPECT_EQ(convertGender(3), SorvelGenderType::UNKNOWN);
    EXPECT_EQ(getSignUpChannelBySorvelKvSignUpChannel(static_cast<SorvelKvSignUpChannel>(99)),
              "ETC");
    EXPECT_EQ(getCurrencyStringBySorvelCurrencyType(static_cast<SorvelKvCurrencyType>(0)), "KRW");
    EXPECT_STREQ(sorvelLogLevelName(static_cast<SorvelLogLevel>(42)), "none");
}

TEST(PublicModels, AttributeModelLimits) {
    SorvelKvAttrModel m;
    EXPECT_TRUE(m.getAttrData().empty());

    m.setAttrDataString("first-name", "Kim");
    m.setAttrDataString("Upper", "x");
    m.setAttrDataString("with space", "x");
    m.setAttrDataInt64(std::string(51, 'k'), 1);
    m.setAttrDataInt64(std::string(50, 'k'), 50);
    m.setAttrDataInt("n", 5);
    m.setAttrDataString("n", "five");  // a later set replaces, whatever the type
    m.setAttrDataUInt64("u", std::numeric_limits<std::uint64_t>::max());
    m.setAttrDataDouble("d", 0.25);
    m.setAttrDataBool("b", true);
    m.setAttrDataString("", "empty key");
    const Value::Map want{
        {"first_name", Value("Kim")}, {std::string(50, 'k'), Value(std::int64_t{50})},
        {"n", Value("five")},         {"u", Value(std::numeric_limits<std::uint64_t>::max())},
        {"d", Value(0.25)},           {"b", Value(true)},
    };
    EXPECT_EQ(m.getAttrData(), want);

    // Strings keep their first 1024 user-perceived characters.
    const std::string flag = "\xF0\x9F\x87\xB0\xF0\x9F\x87\xB7";  // one flag, two code points
    std::string flags;
    for (int i = 0; i < 1030; ++i) {
        flags += flag;
    }
    m.setAttrDataString("flags", flags);
    EXPECT_EQ(*m.getAttrData().at("flags").getString(), flags.substr(0, 1024 * flag.size()));
    m.setAttrDataString("long", std::string(2000, 'x'));
    EXPECT_EQ(m.getAttrData().at("long").getString()->size(), 1024u);
    m.setAttrDataString("exact", std::string(1024, 'y'));
    EXPECT_EQ(m.getAttrData().at("exact").getString()->size(), 1024u);
    m.setAttrDataString("over", std::string(1025, 'y'));
    EXPECT_EQ(m.getAttrData().at("over").getString()->size(), 1024u);
    // Past 1024 bytes, characters are counted: multi-byte text of 1024
    // characters or fewer is kept whole, and a mark joins the character
    // before it, even the 1024th.
    const std::string hangul = "\xED\x95\x9C";  // 3 bytes
    std::string threeByte;
    for (int i = 0; i < 1024; ++i) {
        threeByte += hangul;
    }
    m.setAttrDataString("multi", threeByte);
    EXPECT_EQ(*m.getAttrData().at("multi").getString(), threeByte);
    m.setAttrDataString("multi_over", threeByte + hangul);
    EXPECT_EQ(*m.getAttrData().at("multi_over").getString(), threeByte);
    const std::string acute = "\xCC\x81";  // a combining mark
    m.setAttrDataString("marked", std::string(1024, 'e') + acute);
    EXPECT_EQ(*m.getAttrData().at("marked").getString(), std::string(1024, 'e') + acute);
    m.setAttrDataString("marked_over", std::string(1024, 'e') + acute + "f");
    EXPECT_EQ(*m.getAttrData().at("marked_over").getString(), std::string(1024, 'e') + acute);
    // A CR LF pair is one character, a lone CR another.
    m.setAttrDataString("crlf", std::string(1023, 'a') + "\r\n");
    EXPECT_EQ(m.getAttrData().at("crlf").getString()->size(), 1025u);
    m.setAttrDataString("crlf_over", std::string(1023, 'a') + "\r\rb");
    EXPECT_EQ(*m.getAttrData().at("crlf_over").getString(), std::string(1023, 'a') + "\r");

    // Copies are independent; an absent map takes nothing.
    SorvelKvAttrModel copy = m;
    copy.setAttrDataBool("only_in_copy", true);
    EXPECT_EQ(m.getAttrData().count("only_in_copy"), 0u);
    copy.attrData.reset();
    copy.setAttrDataBool("x", true);
    EXPECT_TRUE(copy.getAttrData().empty());
    EXPECT_FALSE(copy.attrData.has_value());
}

TEST(PublicModels, ACutValueIsLoggedOncePerModel) {
    LogLines log;
    SorvelKvAttrModel m;
    m.setAttrDataString("exact", std::string(1024, 'y'));
    m.setAttrDataString("Bad Key", std::string(1u << 20, 'x'));  // refused, not cut
    EXPECT_EQ(log.count(SorvelLogLevel::LEVEL_WARNING, "was cut"), 0);
    m.setAttrDataString("big", std::string(1u << 20, 'x'));
    m.setAttrDataString("bigger", std::string(2u << 20, 'x'));
    EXPECT_EQ(m.getAttrData().at("big").getString()->size(), 1024u);
    EXPECT_EQ(log.count(SorvelLogLevel::LEVEL_WARNING,
                        "the value of \"big\" (1048576 bytes) was cut to "
                        "its first 1024 characters"),
              1);
    EXPECT_EQ(log.count(SorvelLogLevel::LEVEL_WARNING, "was cut"), 1);
    // The next event's model says so again.
    SorvelKvAttrModel next;
    next.setAttrDataString("big", std::string(1025, 'x'));
    EXPECT_EQ(log.count(SorvelLogLevel::LEVEL_WARNING, "was cut"), 2);
}

TEST(PublicModels, ProductDictionary) {
    SorvelKvCommerceProductModel fresh;
    const Value::Map d = fresh.getProductDicForPurchase();
    EXPECT_EQ(d.count("svl:currency"), 0u);
    EXPECT_EQ(d.at("svl:item_id").getString()->size(), 36u);

    struct SalesCase {
        double price, discount;
        std::int64_t quantity;
        double sales;
    };
    for (const auto& c :
         std::vector<SalesCase>{{1000, 100, 3, 2700}, {10, 20, 1, -10}, {5, 0, 0, 0}}) {
        SorvelKvCommerceProductModel p;
        p.setModel("id", "name", c.price, c.quantity, c.discount, std::string(""), std::nullopt,
                   std::nullopt);
        const Value::Map dic = p.getProductDicForPurchase();
        EXPECT_EQ(dic.at("svl:sales"), Value(c.sales));
        EXPECT_EQ(dic.count("svl:currency"), 0u) << "an empty currency is left out";
    }
    SorvelKvCommerceProductModel odd;
    odd.setModel("id", "n", std::nan(""), 1, 0, std::nullopt, std::nullopt, std::nullopt);
    EXPECT_TRUE(std::isnan(*odd.getProductDicForPurchase().at("svl:sales").getDouble()));

    SorvelKvAttrModel attrs;
    attrs.setAttrDataString("color", "red");
    attrs.setAttrDataBool("gift", true);
    SorvelKvCommerceProductModel p;
    p.setModel("sku-1", "Runner", 99.5, 2, 9.5, std::string("KRW"), std::nullopt, attrs);
    const Value::Map a = p.getProductDicForPurchase();
    const Value::Map b = p.getProductDicForPurchase();
    EXPECT_NE(a.at("svl:item_id"), b.at("svl:item_id"));
    Value::Map aRest = a;
    Value::Map bRest = b;
    aRest.erase("svl:item_id");
    bRest.erase("svl:item_id");
    EXPECT_EQ(aRest, bRest);
    EXPECT_EQ(a.at("svl:currency"), Value("KRW"));
    EXPECT_EQ(a.at("svl:sales"), Value(180.0));
    EXPECT_EQ(a.at("color"), Value("red"));
    EXPECT_EQ(a.at("gift"), Value(true));
}

TEST(PublicModels, ProductAttributeRules) {
    LogLines log;
    auto walk = [](const Value::Map& data) {
        SorvelKvAttrModel attrs;
        attrs.attrData = data;  // set directly, bypassing the setter checks
        SorvelKvCommerceProductModel p;
        p.setModel("id", "n", 1, 1, 0, std::nullopt, std::nullopt, attrs);
        Value::Map dic = p.getProductDicForPurchase();
        for (const char* k : {"svl:item_id", "svl:product_id", "svl:product_name", "svl:price",
                              "svl:quantity", "svl:discount", "svl:sales"}) {
            dic.erase(k);
        }
        return dic;
    };
    const std::string k49(49, 'a');
    const std::string k50(50, 'b');
    const Value::Map mixed{
        {k49, Value(std::int64_t{1})},
        {k50, Value(std::int64_t{2})},
        {"a-b", Value("hy")},
        {"Bad", Value("x")},
        {"u", Value(std::uint64_t{7})},
        {"d", Value(1.5)},
        {"arr", Value(Value::Array{Value(std::int64_t{1})})},
        {"map", Value(Value::Map{})},
        {"nul", Value()},
        {"long", Value(std::string(3000, 'z'))},
    };
    const Value::Map kept = walk(mixed);
    const Value::Map want{{k49, Value(std::int64_t{1})},
                          {"a_b", Value("hy")},
                          {"u", Value(std::uint64_t{7})},
                          {"d", Value(1.5)},
                          {"long", Value(std::string(1024, 'z'))}};
    EXPECT_EQ(kept, want);

    const std::string warning = "Key length is over 100 count. Stop storing productAttrsMap Data";
    auto numbered = [](int n) {
        Value::Map m;
        for (int i = 0; i < n; ++i) {
            m["k" + std::to_string(1000 + i)] = Value(std::int64_t{i});
        }
        return m;
    };
    EXPECT_EQ(walk(numbered(100)).size(), 100u);
    EXPECT_EQ(log.count(SorvelLogLevel::LEVEL_WARNING, warning), 0);
    const Value::Map capped = walk(numbered(150));
    EXPECT_EQ(capped.size(), 100u);
    EXPECT_EQ(capped.count("k1099"), 1u);
    EXPECT_EQ(capped.count("k1100"), 0u);
    EXPECT_EQ(log.count(SorvelLogLevel::LEVEL_WARNING, warning), 1);

    // Refused keys count towards the 100 too.
    Value::Map withBad = numbered(100);
    withBad["K_first"] = Value(true);  // sorts before "k..." and is refused
    EXPECT_EQ(walk(withBad).size(), 99u);

    // Refilling without attribute data keeps the earlier attributes.
    SorvelKvAttrModel one;
    one.setAttrDataString("color", "red");
    SorvelKvCommerceProductModel p;
    p.setModel("id", "n", 1, 1, 0, std::nullopt, std::nullopt, one);
    SorvelKvAttrModel none;
    none.attrData.reset();
    p.setModel("id", "n", 1, 1, 0, std::nullopt, std::nullopt, none);
    EXPECT_EQ(p.getProductDicForPurchase().at("color"), Value("red"));
    p.setModel("id", "n", 1, 1, 0, std::nullopt, std::nullopt, SorvelKvAttrModel{});
    EXPECT_EQ(p.getProductDicForPurchase().count("color"), 0u) << "an empty model replaces them";
}

TEST(PublicModels, CategoryNumbering) {
    SorvelKvCommerceProductCategoryModel seven;
    seven.setModel({"a", "b", "c", "d", "e", "f", "g"});
    SorvelKvCommerceProductModel p;
    p.setModel("id", "n", 1, 1, 0, std::nullopt, seven, std::nullopt);
    Value::Map d = p.getProductDicForPurchase();
    for (int i = 1; i <= 7; ++i) {
        EXPECT_EQ(d.at("svl:category" + std::to_string(i)),
                  Value(std::string(1, static_cast<char>('a' + i - 1))));
    }
    EXPECT_EQ(d.count("svl:category8"), 0u);

    // A shorter list rewrites its numbers and leaves the higher ones.
    SorvelKvCommerceProductCategoryModel two;
    two.setModel({"shoes", ""});
    p.setModel("id", "n", 1, 1, 0, std::nullopt, two, std::nullopt);
    d = p.getProductDicForPurchase();
    EXPECT_EQ(d.at("svl:category1"), Value("shoes"));
    EXPECT_EQ(d.at("svl:category2"), Value(""));
    EXPECT_EQ(d.at("svl:category3"), Value("c"));

    // Absent categories leave the earlier ones.
    SorvelKvCommerceProductCategoryModel empty;
    empty.categoryStringArr.reset();
    p.setModel("id", "n", 1, 1, 0, std::nullopt, empty, std::nullopt);
    EXPECT_EQ(p.getProductDicForPurchase().at("svl:category7"), Value("g"));
}

TEST(PublicDelegates, EmptyFunctionsMakeDelegatesThatDoNothing) {
    // A wrapper that called its empty function would throw std::bad_function_call.
    makeDeferredDeeplinkDelegate(nullptr)->didReceiveDeferredDeeplink("app://a");
    makeDeeplinkDelegate(nullptr)->didReceiveDeeplink("app://b");
    makePushLocalDelegate(nullptr)->pushLocalCallback({}, SorvelKvApplicationState::ACTIVE);
    makePushRemoteDelegate(nullptr)->pushRemoteCallback({}, SorvelKvApplicationState::ACTIVE);
    makeLogDelegate(nullptr)->didPrintLog(SorvelLogLevel::LEVEL_ERROR, "boom");
    makeInAppMessageClickDelegate(nullptr)->onReceiveInAppMessageClick("a", "b", "c", true);
    makePushNoticePopupLinkClickDelegate(nullptr)->noticePopupLinkClickCallback("s", {});
    makePushNoticePopupCloseDelegate(nullptr)->noticePopupCloseCallback("s", {});
}

}  // namespace
}  // namespace sorvel
