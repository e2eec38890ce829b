// Every public call fed its worst inputs. Each call must return at once, log
// a line naming what it refused, crash nothing, and leave what was stored
// before it (user id, properties, unsent events) intact and delivered once.

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "Event/UserPropertyManager.h"
#include "FacadeFixture.h"
#include "Platform/FileSystem.h"
#include "Platform/Host.h"

namespace sorvel::facadetest {
namespace {

using namespace std::chrono_literals;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Text that stores and travels byte-exact: quotes, SQL, non-ASCII.
const std::string kTricky = "it's \"quoted\" '); DROP TABLE x; -- \xC3\xBC\xE2\x82\xAC\\n";

// The worst strings. `line` is what the SDK logs when it refuses or repairs
// the string in an event; `sent` whether the string itself arrives as given.
struct BadString {
    const char* name;
    std::string text;
    const char* line;
    bool sent;
};

const std::vector<BadString>& badStrings() {
    static const std::vector<BadString> list{
        {"empty", "", nullptr, true},
        {"1 MB", std::string(1u << 20, 'm'), "more than 1048576", false},
        {"invalid UTF-8", "bad\xC3\x28\xFF\xFE", "replaced by U+FFFD", false},
        {"NUL bytes", std::string("nul\0in\0side", 12), nullptr, true},
        {"quotes and SQL", kTricky, nullptr, true},
    };
    return list;
}

Value nested(int depth, bool asMap) {
    Value v("bottom");
    for (int i = 0; i < depth; ++i) {
        v = asMap ? Value(Value::Map{{"d", std::move(v)}}) : Value(Value::Array{std::move(v)});
    }
    return v;
}

// The worst attribute models, with the line a refused event logs.
struct BadAttr {
    const char* name;
    std::optional<SorvelKvAttrModel> model;
    const char* line;
};

const std::vector<BadAttr>& badAttrs() {
    static const std::vector<BadAttr> list{
        {"300-deep map", attrs({{"deep", nested(300, true)}}), "nested deeper than 100 levels"},
        {"300-deep array", attrs({{"deep", nested(300, false)}}), nullptr},
        {"NaN and infinities",
         attrs({{"nan", Value(kNaN)}, {"inf", Value(kInf)}, {"ninf", Value(-kInf)}}), nullptr},
        {"1 MB value", attrs({{"big", Value(std::string(1u << 20, 'v'))}}), "more than 1048576"},
        {"invalid UTF-8", attrs({{"k\xFF", Value("v\xC0\xAF")}}), "replaced by U+FFFD"},
        {"quotes and SQL", attrs({{"q", Value(kTricky)}}), nullptr},
        {"absent map",
         [] {
             SorvelKvAttrModel m;
             m.attrData.reset();
             return m;
         }(),
         nullptr},
    };
    return list;
}

std::vector<SorvelKvCommerceProductModel> badProducts() {
    auto& kv = SorvelKV::getInstance();
    SorvelKvAttrModel productAttrs = attrs({{"deep", nested(300, true)}, {"q", Value(kTricky)}});
    return {kv.createCommerceProductDataWithAttr(kTricky, "bad\xFF", kNaN,
                                                 std::numeric_limits<std::int64_t>::min(), -kInf,
                                                 std::string("\0", 1), std::nullopt, productAttrs),
            kv.createCommerceProductDataWithAttr(
                "", "", kInf, 0, kNaN, std::nullopt,
                kv.createCommerceProductCategoryData("", kTricky, "\xFF", "", ""), std::nullopt)};
}

class BadInputTest : public FacadeTest {
  protected:
    // The call runs on a thread of its own and must have returned within the
    // deadline: it may not wait for the network, the disk or the SDK's queue.
    void call(const std::string& what, const std::function<void()>& f) {
        EXPECT_TRUE(testing::endsWithin(5s, f, [] {})) << what << " did not return";
    }

    // Good data stored while the server cannot be reached: a user id, a
    // property and an event, all with quotes and non-ASCII text.
    void storeGoodDataOffline() {
        start();
        SorvelHost::setNetworkAvailable(false);
        kv().login(kTricky);
        kv().setUserPropertiesWithAttr(attrs({{"plan", Value(kTricky)}}));
        kv().eventWithAttr("good_event", attrs({{"text", Value(kTricky)}, {"n", Value(7)}}));
        // The upload this triggers fails; the event stays stored.
        SorvelHost::applicationWillResignActive();
        EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
        SorvelHost::applicationDidBecomeActive();
    }

    // After a relaunch on the same data: the stored identity is the good one
    // and the good event arrives once, byte-exact.
    void expectGoodDataIntact() {
        EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
        relaunch();
        start();
        ASSERT_TRUE(sendAndWait("marker"));
        // The stored packages may go after the marker's.
        ASSERT_TRUE(waitForEvents("good_event"));
        auto good = events("good_event");
        ASSERT_EQ(good.size(), 1u);
        EXPECT_EQ(callParams(good[0]),
                  (Value::Map{{"text", Value("string:" + kTricky)}, {"n", Value("long:7")}}));
        const auto marker = events("marker").at(0);
        const auto& properties = *marker.at("user_properties").getMap();
        EXPECT_EQ(properties.at("svl:user_id"), Value("string:" + kTricky));
        EXPECT_EQ(properties.at("c:plan"), Value("string:" + kTricky));
        // Nothing oversized reached the server.
        for (const auto& r : server_->requests(Endpoint::EVENT_BULK)) {
            EXPECT_LT(r.decodedBody.size(), 1u << 20);
        }
    }

    // The lines holding the text, among all logged so far. The logging
    // queue keeps order: once a line logged now is written, every line
    // logged before it is too. (Waiting for each line instead would scan
    // the thousands of lines again at every new one.)
    std::size_t linesWith(const std::string& text) {
        const std::string checkpoint = "bad input checkpoint " + std::to_string(++checkpoints_);
        SvlLog::info(checkpoint, false);
        EXPECT_TRUE(waitForLine(checkpoint));
        std::size_t seen = 0;
        for (const auto& line : logs_.lines()) {
            seen += line.find(text) != std::string::npos ? 1 : 0;
        }
        return seen;
    }
    int checkpoints_ = 0;

    // Whether an event of the name arrived with the text as its name or as
    // one of its string parameters.
    bool arrivedWith(const std::string& eventName, const std::string& text) const {
        for (const auto& e : events(eventName)) {
            if (*e.at("event_name").getString() == text) {
                return true;
            }
            for (const auto& [key, value] : paramOf(e)) {
                if (value == Value("string:" + text)) {
                    return true;
                }
            }
        }
        return false;
    }
};

// The event calls that take a string; `sent` is the event they send, empty
// when that is the string itself.
struct StringCall {
    const char* name;
    const char* sent;
    std::function<void(const std::string&)> f;
};

TEST_F(BadInputTest, EventCallsTakeBadStringsAttributesAndNumbers) {
    storeGoodDataOffline();
    SorvelKV& sdk = kv();
    const SorvelKvAttrModel none;
    const std::vector<StringCall> stringCalls{
        {"event", "", [&](const std::string& s) { sdk.event(s); }},
        {"eventWithAttr", "", [&](const std::string& s) { sdk.eventWithAttr(s, none); }},
        {"eventForUnityWithAttr", "",
         [&](const std::string& s) { sdk.eventForUnityWithAttr(s, none); }},
        {"commonAppUpdate", "app_update",
         [&](const std::string& s) { sdk.commonAppUpdate(s, "2.0"); }},
        {"commonPurchase", "purchase",
         [&](const std::string& s) {
             sdk.commonPurchase(s, {}, 1.0, 0.0, 0.0, SorvelKvPaymentMethod::ETC);
         }},
        {"commerceReviewOrder", "review_order",
         [&](const std::string& s) { sdk.commerceReviewOrder(s, {}, 0.0, 0.0); }},
        {"commerceRefund", "refund", [&](const std::string& s) { sdk.commerceRefund(s, {}, 0.0); }},
        {"commerceSearch", "search", [&](const std::string& s) { sdk.commerceSearch({}, s); }},
        {"gameStageCleared", "stage_cleared",
         [&](const std::string& s) { sdk.gameStageCleared(s); }},
    };
    for (const auto& c : stringCalls) {
        for (const auto& in : badStrings()) {
            call(std::string(c.name) + " / " + in.name, [&] { c.f(in.text); });
        }
    }

    using OptAttr = std::optional<SorvelKvAttrModel>;
    const std::vector<std::pair<const char*, std::function<void(const OptAttr&)>>> attrCalls{
        {"eventWithAttr", [&](const OptAttr& a) { sdk.eventWithAttr("attr_event", *a); }},
        {"commonSignUpWithAttr",
         [&](const OptAttr& a) { sdk.commonSignUpWithAttr(SorvelKvSignUpChannel::ETC, a); }},
        {"commonAppUpdateWithAttr",
         [&](const OptAttr& a) { sdk.commonAppUpdateWithAttr("1", "2", a); }},
        {"commonInviteWithAttr",
         [&](const OptAttr& a) { sdk.commonInviteWithAttr(SorvelKvInviteChannel::ETC, a); }},
        {"commonUseCreditWithAttr", [&](const OptAttr& a) { sdk.commonUseCreditWithAttr(a); }},
        {"commonPurchaseWithAttr",
         [&](const OptAttr& a) {
             sdk.commonPurchaseWithAttr("o", products(1), 1, 0, 0, SorvelKvPaymentMethod::ETC, a);
         }},
        {"commerceViewHomeWithAttr", [&](const OptAttr& a) { sdk.commerceViewHomeWithAttr(a); }},
        {"commerceCategoryViewWithAttr",
         [&](const OptAttr& a) {
             sdk.commerceCategoryViewWithAttr(
                 sdk.createCommerceProductCategoryData("c", "", "", "", ""), products(1), a);
         }},
        {"commerceProductViewWithAttr",
         [&](const OptAttr& a) { sdk.commerceProductViewWithAttr(products(1)[0], a); }},
        {"commerceAddToCartWithAttr",
         [&](const OptAttr& a) { sdk.commerceAddToCartWithAttr(products(1), a); }},
        {"commerceAddToWishListWithAttr",
         [&](const OptAttr& a) { sdk.commerceAddToWishListWithAttr(products(1)[0], a); }},
        {"commerceReviewOrderWithAttr",
         [&](const OptAttr& a) { sdk.commerceReviewOrderWithAttr("o", products(1), 0, 0, a); }},
        {"commerceRefundWithAttr",
         [&](const OptAttr& a) { sdk.commerceRefundWithAttr("o", products(1), 0, a); }},
        {"commerceSearchWithAttr",
         [&](const OptAttr& a) { sdk.commerceSearchWithAttr(products(1), "k", a); }},
        {"commerceShareWithAttr",
         [&](const OptAttr& a) {
             sdk.commerceShareWithAttr(SorvelKvSharingChannel::ETC, products(1)[0], a);
         }},
        {"commerceListViewWithAttr",
         [&](const OptAttr& a) { sdk.commerceListViewWithAttr(products(1), a); }},
        {"commerceCartViewWithAttr",
         [&](const OptAttr& a) { sdk.commerceCartViewWithAttr(products(1), a); }},
        {"commercePaymentInfoAddedWithAttr",
         [&](const OptAttr& a) { sdk.commercePaymentInfoAddedWithAttr(a); }},
        {"gameTutorialCompletedWithAttr",
         [&](const OptAttr& a) { sdk.gameTutorialCompletedWithAttr(true, a); }},
        {"gameCharacterCreatedWithAttr",
         [&](const OptAttr& a) { sdk.gameCharacterCreatedWithAttr(a); }},
        {"gameStageClearedWithAttr",
         [&](const OptAttr& a) { sdk.gameStageClearedWithAttr("s", a); }},
        {"gameLevelAchievedWithAttr",
         [&](const OptAttr& a) { sdk.gameLevelAchievedWithAttr(1, a); }},
    };
    for (const auto& row : attrCalls) {
        for (const auto& in : badAttrs()) {
            call(std::string(row.first) + " / " + in.name, [&] { row.second(in.model); });
        }
    }

    // Numbers: NaN, infinities, extreme integers; products made of them.
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    call("commonPurchase / NaN", [&] {
        sdk.commonPurchase("nan_order", badProducts(), kNaN, kInf, -kInf,
                           SorvelKvPaymentMethod::CREDIT_CARD);
    });
    call("commerceRefund / infinity", [&] { sdk.commerceRefund("inf_order", {}, kInf); });
    call("gameLevelAchieved / extremes", [&] {
        sdk.gameLevelAchieved(kMin);
        sdk.gameLevelAchieved(kMax);
    });
    call("commerce products / NaN, 1 MB, deep", [&] {
        auto list = badProducts();
        list.push_back(sdk.createCommerceProductDataWithAttr(
            std::string(1u << 20, 'p'), "big", 1, 1, 0, std::nullopt, std::nullopt, std::nullopt));
        sdk.commerceAddToCart(list);
        sdk.commerceProductView(badProducts()[0]);
        sdk.commerceListView(std::vector<SorvelKvCommerceProductModel>(250, badProducts()[1]));
    });

    // Undeclared enum values refuse the event with a warning.
    const std::vector<std::pair<const char*, std::function<void(std::int64_t)>>> enumCalls{
        {"sign_up :: SorvelKvSignUpChannel value ",
         [&](std::int64_t v) { sdk.commonSignUp(static_cast<SorvelKvSignUpChannel>(v)); }},
        {"invite :: SorvelKvInviteChannel value ",
         [&](std::int64_t v) { sdk.commonInvite(static_cast<SorvelKvInviteChannel>(v)); }},
        {"purchase :: SorvelKvPaymentMethod value ",
         [&](std::int64_t v) {
             sdk.commonPurchase("o", {}, 0, 0, 0, static_cast<SorvelKvPaymentMethod>(v));
         }},
        {"share :: SorvelKvSharingChannel value ",
         [&](std::int64_t v) {
             sdk.commerceShare(static_cast<SorvelKvSharingChannel>(v), products(1)[0]);
         }},
        {"setEventUploadTimeInterval :: ",
         [&](std::int64_t v) {
             sdk.setEventUploadTimeInterval(static_cast<SorvelEventUploadTimeInterval>(v));
         }},
    };
    for (const auto& row : enumCalls) {
        for (std::int64_t v : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{99}, kMin, kMax}) {
            call(row.first + std::to_string(v), [&] { row.second(v); });
        }
    }
    // An upload count is any positive number; the others are refused.
    for (std::int64_t v : {std::int64_t{0}, std::int64_t{-1}, kMin}) {
        call("setEventUploadCountInterval :: " + std::to_string(v), [&] {
            sdk.setEventUploadCountInterval(static_cast<SorvelEventUploadCountInterval>(v));
        });
    }

    expectGoodDataIntact();
    for (const auto& [line, f] : enumCalls) {
        for (std::int64_t v : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{99}, kMin, kMax}) {
            EXPECT_EQ(linesWith(line + std::to_string(v) + " is not"), 1u) << line << v;
        }
    }
    for (std::int64_t v : {std::int64_t{0}, std::int64_t{-1}, kMin}) {
        EXPECT_EQ(linesWith("setEventUploadCountInterval :: " + std::to_string(v) + " is not"), 1u)
            << v;
    }
    // A line for every refused or repaired event, naming the reason even
    // when the event's name is 1 MB long.
    std::map<std::string, std::size_t> expected;
    for (const auto& in : badStrings()) {
        if (in.line != nullptr) {
            expected[in.line] += stringCalls.size();
        }
    }
    for (const auto& in : badAttrs()) {
        if (in.line != nullptr) {
            expected[in.line] += attrCalls.size();
        }
    }
    for (const auto& [line, count] : expected) {
        EXPECT_GE(linesWith(line), count) << line;
    }
    // What was accepted arrived as given: names and texts byte-exact, the
    // repaired text once per call, the non-finite numbers as their names.
    for (const auto& c : stringCalls) {
        for (const auto& in : badStrings()) {
            if (in.sent) {
                EXPECT_TRUE(arrivedWith(*c.sent ? c.sent : in.text, in.text))
                    << c.name << " / " << in.name;
            }
        }
    }
    EXPECT_EQ(events("bad\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD").size(), 3u);
    EXPECT_TRUE(events(std::string(1u << 20, 'm')).empty());
    const auto attrEvents = events("attr_event");
    // Each model but the refused ones once: deep array, non-finite, repaired,
    // quotes, absent.
    ASSERT_EQ(attrEvents.size(), 5u);
    bool sawNonFinite = false;
    for (const auto& e : attrEvents) {
        const auto params = callParams(e);
        if (params.count("nan")) {
            sawNonFinite = true;
            EXPECT_EQ(params, (Value::Map{{"nan", Value("double:nan")},
                                          {"inf", Value("double:inf")},
                                          {"ninf", Value("double:-inf")}}));
        }
    }
    EXPECT_TRUE(sawNonFinite);
    EXPECT_EQ(events("sign_up").size(), badAttrs().size() - 2);
    EXPECT_TRUE(events("share").size() == badAttrs().size() - 2);
    EXPECT_TRUE(events("invite").size() == badAttrs().size() - 2);
}

std::shared_ptr<UserPropertyManager> properties() {
    return DiContainer::shared().userPropertyManager();
}

TEST_F(BadInputTest, IdentityCallsStoreWhatTheyAcceptAndRefuseWhatWouldHarm) {
    start();
    SorvelKV& sdk = kv();
    auto registry = DiContainer::shared().dataRegistry();
    // Accepted: stored byte-exact, as given.
    for (const auto& in : badStrings()) {
        if (!in.sent && in.line == nullptr) {
            continue;
        }
        if (in.text.size() > 1000) {
            continue;
        }
        call(std::string("identity / ") + in.name, [&] {
            sdk.login(in.text);
            sdk.setKakaoId(in.text);
            sdk.setDeviceId(in.text);
            sdk.setUserPropertiesWithAttr(attrs({{"note", Value(in.text)}}));
            sdk.setUserCiWithAttr(attrs({{"note", Value(in.text)}}));
        });
        EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
        EXPECT_EQ(properties()->userPropertyDic()["svl:user_id"], Value(in.text)) << in.name;
        EXPECT_EQ(properties()->userPropertyDic()["c:note"], Value(in.text)) << in.name;
        EXPECT_EQ(properties()->ciPropertyDic()["svl:kakao_id"], Value(in.text)) << in.name;
        EXPECT_EQ(properties()->ciPropertyDic()["c:note"], Value(in.text)) << in.name;
        EXPECT_EQ(registry->getString(DataRegistryKey::STRING_DEVICE_ID, "-"), in.text) << in.name;
    }
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    call("setAge / extremes", [&] { sdk.setAge(kMin); });
    EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
    EXPECT_EQ(properties()->userPropertyDic()["svl:age"], Value(kMin));

    // The good identity, then what would harm it.
    storeGoodDataOffline();
    sdk.setKakaoId(kTricky);
    sdk.setLocation(37.5, 127.25);
    sdk.setGender(SorvelGenderType::FEMALE);
    sdk.deepLinkOpen("app://good?q=it%27s");
    EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
    const Value::Map goodUser = properties()->userPropertyDic();
    const Value::Map goodCi = properties()->ciPropertyDic();
    const std::string goodDeeplink = registry->getString(DataRegistryKey::STRING_DEEPLINK_URL, "-");
    const std::string big(1u << 20, 'u');
    struct Refused {
        const char* line;
        std::function<void()> f;
    };
    const std::vector<Refused> refused{
        {"userProperty svl:user_id dropped : value of about", [&] { sdk.login(big); }},
        {"ciProperty svl:kakao_id dropped : value of about", [&] { sdk.setKakaoId(big); }},
        {"userProperty c:big dropped : value of about",
         [&] {
             sdk.setUserPropertiesWithAttr(attrs({{"big", Value(big)}}));
         }},
        {"ciProperty c:big dropped : value of about",
         [&] {
             sdk.setUserCiWithAttr(attrs({{"big", Value(big)}}));
         }},
        {"userProperty c:deep dropped : value nested deeper than 100 levels",
         [&] {
             sdk.setUserPropertiesWithAttr(attrs({{"deep", nested(300, true)}}));
         }},
        {"ciProperty c:deep dropped : value nested deeper than 100 levels",
         [&] {
             sdk.setUserCiWithAttr(attrs({{"deep", nested(300, false)}}));
         }},
        {"user_id is not string value!",
         [&] {
             sdk.setUserPropertiesWithAttr(attrs({{"user_id", Value(kNaN)}}));
         }},
        {"setLocation :: latitude nan, longitude 1.0", [&] { sdk.setLocation(kNaN, 1.0); }},
        {"setLocation :: latitude inf, longitude -inf", [&] { sdk.setLocation(kInf, -kInf); }},
        {"setGender :: 99 is not a declared SorvelGenderType",
         [&] { sdk.setGender(static_cast<SorvelGenderType>(99)); }},
        {"setGender :: -1 is not a declared SorvelGenderType",
         [&] { sdk.setGender(static_cast<SorvelGenderType>(-1)); }},
    };
    for (const auto& r : refused) {
        call(r.line, r.f);
    }
    for (const auto& in : badStrings()) {
        if (in.text.size() < 1000) {
            call(std::string("deepLinkOpen / ") + in.name, [&] { sdk.deepLinkOpen(in.text); });
        }
    }
    EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
    for (const auto& r : refused) {
        EXPECT_TRUE(waitForLine(r.line)) << r.line;
    }
    EXPECT_TRUE(waitForLine("Deeplink :: urlString cannot be casted to URL Type."));
    // Compared whole, never printed: a refused value may be 1 MB long.
    EXPECT_TRUE(properties()->userPropertyDic() == goodUser);
    EXPECT_TRUE(properties()->ciPropertyDic() == goodCi);
    EXPECT_EQ(registry->getString(DataRegistryKey::STRING_DEEPLINK_URL, "-"), goodDeeplink);

    expectGoodDataIntact();
    const auto marker = events("marker").at(0);
    EXPECT_EQ(marker.at("ci").getMap()->at("svl:kakao_id"), Value("string:" + kTricky));
    EXPECT_EQ(marker.at("user_properties").getMap()->at("svl:gender"), Value("long:2"));
    const auto& location = *marker.at("location").getMap();
    EXPECT_EQ(location.at("lat"), Value(37.5));
    EXPECT_EQ(location.at("lng"), Value(127.25));
}

// Every call that acts on the SDK, once with refused inputs and once with
// accepted ones.
void everyActingCall(const std::string& text, const SorvelKvAttrModel& attr, double number) {
    SorvelKV& sdk = SorvelKV::getInstance();
    const auto product = sdk.createCommerceProductDataWithAttr(text, text, number, 1, number, text,
                                                               std::nullopt, attr);
    const auto category = sdk.createCommerceProductCategoryData(text, text, "", "", "");
    sdk.event(text);
    sdk.eventWithAttr(text, attr);
    sdk.eventForUnityWithAttr(text, attr);
    sdk.login(text);
    sdk.setAge(std::numeric_limits<std::int64_t>::min());
    sdk.setGender(static_cast<SorvelGenderType>(7));
    sdk.setUserPropertiesWithAttr(attr);
    sdk.setKakaoId(text);
    sdk.setUserCiWithAttr(attr);
    sdk.setLocation(number, number);
    sdk.deepLinkOpen(text);
    sdk.setEventUploadCountInterval(static_cast<SorvelEventUploadCountInterval>(7));
    sdk.setEventUploadTimeInterval(static_cast<SorvelEventUploadTimeInterval>(7));
    sdk.stopGettingIDFA();
    sdk.startGettingIDFA();
    sdk.printSdkState();
    sdk.commonSignUpWithAttr(static_cast<SorvelKvSignUpChannel>(0), attr);
    sdk.commonAppUpdateWithAttr(text, text, attr);
    sdk.commonInviteWithAttr(SorvelKvInviteChannel::ETC, attr);
    sdk.commonUseCreditWithAttr(attr);
    sdk.commonPurchaseWithAttr(text, {product}, number, number, number, SorvelKvPaymentMethod::ETC,
                               attr);
    sdk.commerceViewHomeWithAttr(attr);
    sdk.commerceCategoryViewWithAttr(category, {product}, attr);
    sdk.commerceProductViewWithAttr(product, attr);
    sdk.commerceAddToCartWithAttr({product}, attr);
    sdk.commerceAddToWishListWithAttr(product, attr);
    sdk.commerceReviewOrderWithAttr(text, {product}, number, number, attr);
    sdk.commerceRefundWithAttr(text, {product}, number, attr);
    sdk.commerceSearchWithAttr({product}, text, attr);
    sdk.commerceShareWithAttr(SorvelKvSharingChannel::ETC, product, attr);
    sdk.commerceListViewWithAttr({product}, attr);
    sdk.commerceCartViewWithAttr({product}, attr);
    sdk.commercePaymentInfoAddedWithAttr(attr);
    sdk.gameTutorialCompletedWithAttr(true, attr);
    sdk.gameCharacterCreatedWithAttr(attr);
    sdk.gameStageClearedWithAttr(text, attr);
    sdk.gameLevelAchievedWithAttr(std::numeric_limits<std::int64_t>::max(), attr);
    sdk.logout();
    sdk.clearUserProperties();
}

// A refused event is refused before it is numbered: it takes no order number
// and does not become the previous event of the next, on any thread.
TEST_F(BadInputTest, ARefusedEventTakesNoOrderNumberNorBecomesThePreviousEvent) {
    start();
    kv().event("before_refused");
    const auto deep = attrs({{"deep", nested(300, true)}});
    const auto large = attrs({{"big", Value(std::string(1u << 20, 'v'))}});
    std::thread other([&] { kv().eventWithAttr("refused_deep", deep); });
    other.join();
    kv().eventWithAttr("refused_large", large);
    // An SDK event refused for the size of its parameters.
    kv().commonAppUpdateWithAttr("1.0", "2.0", large);
    kv().eventWithAttr("after_refused", attrs({{"ok", Value(1)}}));
    ASSERT_TRUE(sendAndWait("marker"));
    EXPECT_EQ(linesWith("EventBuffer :: event refused_deep dropped : values nested deeper than "
                        "100 levels"),
              1u);
    EXPECT_EQ(linesWith("EventBuffer :: event refused_large dropped : about "), 1u);
    EXPECT_EQ(linesWith("EventBuffer :: event app_update dropped : about "), 1u);
    EXPECT_TRUE(events("refused_deep").empty());
    EXPECT_TRUE(events("refused_large").empty());
    EXPECT_TRUE(events("app_update").empty());
    const auto before = events("before_refused");
    const auto after = events("after_refused");
    ASSERT_EQ(before.size(), 1u);
    ASSERT_EQ(after.size(), 1u);
    const auto orderNo = [](const Value::Map& e) {
        const std::string text = *paramOf(e).at("svl:event_order_no").getString();
        return std::stoull(text.substr(text.find(':') + 1));
    };
    EXPECT_EQ(orderNo(after[0]), orderNo(before[0]) + 1);
    EXPECT_EQ(after[0].at("prev_id"), before[0].at("log_id"));
}

TEST_F(BadInputTest, CallsBeforeInitSorvelAreHeldAndJudgedOnceItStarts) {
    // What the first getInstance of a process does; the instance of this
    // test program was built by an earlier test.
    SvlLog::initQaMode(nullptr);
    const std::string big(1u << 20, 'b');
    call("every call before initSorvel, refused inputs", [&] {
        everyActingCall(big, attrs({{"deep", nested(300, true)}}), kNaN);
    });
    call("every call before initSorvel, accepted inputs", [&] {
        everyActingCall(kTricky, attrs({{"q", Value(kTricky)}}), kInf);
    });
    call("isGdprForgetMe before initSorvel", [&] { EXPECT_FALSE(kv().isGdprForgetMe()); });
    start();
    ASSERT_TRUE(sendAndWait("marker"));
    // The custom events of the 1 MB name; the twenty deep ones.
    EXPECT_EQ(linesWith("more than 1048576"), 1u);
    // The twenty deep events, the two of the 1 MB name, and the two deep
    // properties.
    EXPECT_EQ(linesWith("nested deeper than 100 levels"), 24u);
    EXPECT_TRUE(waitForLine("setGender :: 7 is not a declared SorvelGenderType"));
    // The accepted custom event arrived byte-exact; nothing oversized did.
    // event, eventWithAttr, eventForUnityWithAttr.
    const auto tricky = events(kTricky);
    ASSERT_EQ(tricky.size(), 3u);
    EXPECT_TRUE(callParams(tricky[0]).empty());
    EXPECT_EQ(callParams(tricky[1]), (Value::Map{{"q", Value("string:" + kTricky)}}));
    EXPECT_EQ(callParams(tricky[2]), callParams(tricky[1]));
    for (const auto& r : server_->requests(Endpoint::EVENT_BULK)) {
        EXPECT_LT(r.decodedBody.size(), 1u << 20);
    }
}

TEST_F(BadInputTest, CallsAfterForgetMeOnlyLogAndAnswerAtOnce) {
    start();
    kv().login(kTricky);
    kv().setUserPropertiesWithAttr(attrs({{"plan", Value(kTricky)}}));
    ASSERT_TRUE(sendAndWait("before"));
    kv().gdprForgetMe();
    ASSERT_TRUE(waitForLine("이유는 = GDPR FORGET ME"));
    ASSERT_TRUE(testing::waitUntil([&] { return server_->requests(Endpoint::GDPR).size() == 1; }));
    EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
    const Value::Map user = properties()->userPropertyDic();
    const std::size_t eventRequests = server_->requests(Endpoint::EVENT_BULK).size();
    logs_.clear();

    const std::string big(1u << 20, 'b');
    call("every call after forget-me, refused inputs", [&] {
        everyActingCall(big, attrs({{"deep", nested(300, true)}}), kNaN);
    });
    call("every call after forget-me, accepted inputs", [&] {
        everyActingCall(kTricky, attrs({{"q", Value(kTricky)}}), -kInf);
    });
    for (const std::string& id : {std::string(), big, std::string("\xFF\0", 2)}) {
        int answers = 0;
        call("deleteUserDataAndStopSDK and restartSDK after forget-me", [&] {
            kv().deleteUserDataAndStopSDK(id, [&](Completion c) {
                EXPECT_EQ(c, Completion::FAILURE);
                ++answers;
            });
            kv().restartSDK(id, [&](Completion c) {
                EXPECT_EQ(c, Completion::FAILURE);
                ++answers;
            });
            kv().deleteUserDataAndStopSDK(id, nullptr);
            kv().restartSDK(id, nullptr);
        });
        EXPECT_EQ(answers, 2);
    }
    call("gdprForgetMe again", [&] { kv().gdprForgetMe(); });
    EXPECT_TRUE(waitForLine("Sorvel Disabled : true"));
    EXPECT_TRUE(waitForLine("deleteUserDataAndStopSDK is failed due to (gdpr || pause || stop)"));
    EXPECT_TRUE(waitForLine("restartSDK is failed due to (gdpr || pause || stop)"));
    SorvelHost::applicationWillResignActive();
    EXPECT_TRUE(DiContainer::shared().waitForDurableWrites());
    EXPECT_EQ(server_->requests(Endpoint::EVENT_BULK).size(), eventRequests);
    EXPECT_EQ(server_->requests(Endpoint::DRWORKS).size(), 0u);
    EXPECT_TRUE(properties()->userPropertyDic() == user);
    EXPECT_TRUE(kv().isGdprForgetMe());
}

TEST_F(BadInputTest, DeleteAndRestartWithBadUserIdsAnswerOnceEach) {
    start();
    ASSERT_TRUE(sendAndWait("first"));
    for (const auto& in : badStrings()) {
        std::atomic<int> deleted{0};
        std::atomic<int> restarted{0};
        auto counter = [](std::atomic<int>& n) {
            return [&n](Completion) {
                n.fetch_add(1);
                testing::notifyWaiters();
            };
        };
        call(std::string("deleteUserDataAndStopSDK / ") + in.name,
             [&] { kv().deleteUserDataAndStopSDK(in.text, counter(deleted)); });
        ASSERT_TRUE(testing::waitUntil([&] { return deleted.load() > 0; })) << in.name;
        call(std::string("restartSDK / ") + in.name,
             [&] { kv().restartSDK(in.text, counter(restarted)); });
        ASSERT_TRUE(testing::waitUntil([&] { return restarted.load() > 0; })) << in.name;
        ASSERT_TRUE(sendAndWait(std::string("after_") + in.name)) << in.name;
        EXPECT_EQ(deleted.load(), 1) << in.name;
        EXPECT_EQ(restarted.load(), 1) << in.name;
    }
}

TEST_F(BadInputTest, PureCallsGiveTheirFallbacksAndHostCallsTakeAnyValue) {
    SorvelKV& sdk = kv();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    call("converters and getters / undeclared values", [&] {
        for (std::int64_t v : {kMin, std::int64_t{-1}, std::int64_t{99}, kMax}) {
            SCOPED_TRACE(v);
            EXPECT_EQ(sdk.convertCountInterval(v), SorvelEventUploadCountInterval::COUNT_30);
            EXPECT_EQ(sdk.convertTimeInterval(v), SorvelEventUploadTimeInterval::SECONDS_60);
            EXPECT_EQ(sdk.convertGender(v), SorvelGenderType::UNKNOWN);
            EXPECT_EQ(sdk.convertSignUpChannel(v), SorvelKvSignUpChannel::ETC);
            EXPECT_EQ(sdk.convertInviteChannel(v), SorvelKvInviteChannel::ETC);
            EXPECT_EQ(sdk.convertPayment(v), SorvelKvPaymentMethod::ETC);
            EXPECT_EQ(sdk.convertChannel(v), SorvelKvSharingChannel::ETC);
            EXPECT_EQ(sdk.getSignUpChannel(v), sdk.getSignUpChannel(11));
            EXPECT_EQ(sdk.getInviteChannel(v), sdk.getInviteChannel(10));
            EXPECT_EQ(sdk.getPaymentMethod(v), sdk.getPaymentMethod(4));
            EXPECT_EQ(sdk.getSharingChannel(v), sdk.getSharingChannel(11));
            EXPECT_EQ(sdk.getCurrencyString(v), "KRW");
            EXPECT_EQ(
                sdk.getSignUpChannelBySorvelKvSignUpChannel(static_cast<SorvelKvSignUpChannel>(v)),
                sdk.getSignUpChannel(11));
            EXPECT_EQ(
                sdk.getInviteChannelBySorvelKvSignUpChannel(static_cast<SorvelKvInviteChannel>(v)),
                sdk.getInviteChannel(10));
            EXPECT_EQ(
                sdk.getPaymentMethodBySorvelKvPaymentMethod(static_cast<SorvelKvPaymentMethod>(v)),
                sdk.getPaymentMethod(4));
            EXPECT_EQ(sdk.getSharingChannelBySorvelKvSharingChannel(
                          static_cast<SorvelKvSharingChannel>(v)),
                      sdk.getSharingChannel(11));
            EXPECT_EQ(
                sdk.getCurrencyStringBySorvelCurrencyType(static_cast<SorvelKvCurrencyType>(v)),
                "KRW");
            EXPECT_STREQ(sorvelLogLevelName(static_cast<SorvelLogLevel>(v)), "none");
        }
    });

    call("attribute model / bad keys and values", [&] {
        SorvelKvAttrModel model;
        for (const auto& in : badStrings()) {
            model.setAttrDataString(in.text, "refused key");
            model.setAttrDataBool(in.text, true);
        }
        model.setAttrDataString("Upper'Case", "refused key");
        EXPECT_TRUE(model.getAttrData().empty());
        model.setAttrDataString("long", std::string(1u << 20, 'x'));
        model.setAttrDataString("ill_formed", "v\xC0\xAF");
        model.setAttrDataString("nul", std::string("a\0b", 3));
        model.setAttrDataDouble("nan", kNaN);
        model.setAttrDataDouble("ninf", -kInf);
        model.setAttrDataInt64("min", kMin);
        model.setAttrDataUInt64("umax", std::numeric_limits<std::uint64_t>::max());
        model.setAttrDataInt("int", std::numeric_limits<long>::min());
        const auto data = model.getAttrData();
        EXPECT_EQ(data.at("long").getString()->size(), 1024u);
        EXPECT_EQ(data.at("nul"), Value(std::string("a\0b", 3)));
        EXPECT_TRUE(std::isnan(*data.at("nan").getDouble()));
        EXPECT_EQ(data.at("ninf"), Value(-kInf));
        EXPECT_EQ(data.at("min"), Value(kMin));
        EXPECT_EQ(data.at("umax"), Value(std::numeric_limits<std::uint64_t>::max()));
        EXPECT_TRUE(data.count("ill_formed"));
        model.attrData.reset();
        model.setAttrDataString("after_reset", "x");
        EXPECT_FALSE(model.attrData.has_value());
    });

    call("product factories / bad values", [&] {
        Value::Map many;
        for (int i = 0; i < 150; ++i) {
            many["k" + std::to_string(1000 + i)] = Value(i);
        }
        many["deep"] = nested(300, true);
        many[std::string(60, 'a')] = Value("too long a key");
        SorvelKvAttrModel manyAttrs;
        manyAttrs.attrData = many;
        const auto category = sdk.createCommerceProductCategoryData("", kTricky, "", "\xFF", "");
        EXPECT_EQ(category.categoryStringArr, (std::vector<std::string>{kTricky, "\xFF"}));
        const auto product =
            sdk.createCommerceProductDataWithAttr(std::string(1u << 20, 'p'), kTricky, kNaN, kMin,
                                                  kInf, std::string("\0", 1), category, manyAttrs);
        const auto dic = product.getProductDicForPurchase();
        EXPECT_TRUE(std::isnan(*dic.at("svl:price").getDouble()));
        EXPECT_EQ(dic.at("svl:product_name"), Value(kTricky));
        EXPECT_EQ(dic.at("svl:category2"), Value("\xFF"));
        EXPECT_FALSE(dic.count("deep"));
        EXPECT_FALSE(dic.count(std::string(60, 'a')));
        std::size_t attributes = 0;
        for (const auto& [key, value] : dic) {
            attributes += key.rfind("k1", 0) == 0 ? 1 : 0;
        }
        // The first 100 keys in map order are considered: "aaa..." and
        // "deep" among them.
        EXPECT_EQ(attributes, 98u);
    });

    // The host calls, before the SDK starts.
    const std::string home = platform::homeFolder();
    const std::string keychain = platform::keychainFolder();
    testing::TempDir files;
    const std::string garbage = files.path() + "/garbage.json";
    std::ofstream(garbage, std::ios::binary) << std::string(1u << 20, '\xFF');
    const std::string deep = files.path() + "/deep.json";
    std::ofstream(deep, std::ios::binary) << "{\"info\":" << nested(300, true).toJson() << "}";
    const std::string wrongTypes = files.path() + "/types.json";
    std::ofstream(wrongTypes, std::ios::binary)
        << R"({"bundleId":5,"version":["1"],"build":null,"info":"SorvelQaMode"})";
    call("SorvelHost / bad values", [&] {
        for (const auto& in : badStrings()) {
            SorvelHost::setBundleId(in.text);
            SorvelHost::setAppVersion(in.text, in.text);
            SorvelHost::setInfoValue(in.text, Value(kNaN));
            SorvelHost::setInfoValue("FvnRegion", Value(in.text));
            EXPECT_FALSE(SorvelHost::loadInfoFile(in.text)) << in.name;
            if (!in.text.empty()) {
                // An empty base URL would end the mapping to the server double.
                SorvelHost::setServerBaseUrl(in.text);
            }
        }
        SorvelHost::setInfoValue("SorvelServerMode", Value("1"));
        SorvelHost::setInfoValue("SorvelServerMode", Value(kMax));
        SorvelHost::setInfoValue("SorvelQaMode", nested(300, false));
        SorvelHost::setInfoValue(std::string(1u << 20, 'k'), std::nullopt);
        EXPECT_FALSE(SorvelHost::loadInfoFile(garbage));
        EXPECT_FALSE(SorvelHost::loadInfoFile(files.path() + "/missing.json"));
        EXPECT_FALSE(SorvelHost::loadInfoFile(garbage + std::string("\0.json", 6)));
        SorvelHost::loadInfoFile(deep);
        SorvelHost::loadInfoFile(wrongTypes);
        // A path with a NUL byte would name another folder: refused.
        SorvelHost::setDataFolder(home + std::string("\0/elsewhere", 11));
        EXPECT_EQ(platform::homeFolder(), home);
        SorvelHost::setNetworkAvailable(std::nullopt);
        SorvelHost::stopMainLoop();
        SorvelHost::runMainLoopOnce();
    });
    EXPECT_TRUE(waitForLine("setDataFolder :: the path holds a NUL byte; ignored"));
    EXPECT_TRUE(waitForLine("loadInfoFile :: the path holds a NUL byte; ignored"));
    SorvelHost::setDataFolder(std::string(1u << 20, '/'));
    platform::host::setHomeFolder(home);
    platform::host::setKeychainFolder(keychain);
    // The last values given stand: quotes as the app version, quotes as the
    // region (unknown: the default one is used).
    hostSetUp();
    start();
    ASSERT_TRUE(sendAndWait("marker"));
    EXPECT_TRUE(waitForLine("unknown Region"));
    const auto bodies = server_->requests(Endpoint::EVENT_BULK);
    ASSERT_FALSE(bodies.empty());
    const auto body = Value::fromJson(bodies.back().decodedBody);
    ASSERT_TRUE(body && body->getMap());
    const auto& common = *body->getMap()->at("common").getMap();
    EXPECT_EQ(common.at("app_version"), Value(kTricky));
}

// Outside quality-assurance mode the lines go to the app's log delegate.
class BadInputDelegateTest : public BadInputTest {
  protected:
    BadInputDelegateTest() { qaMode_ = false; }
};

class ThrowingLog : public SorvelKVLogDelegate {
  public:
    void didPrintLog(SorvelLogLevel, const std::string&) override {
        throw std::runtime_error("app fault");
    }
};

TEST_F(BadInputDelegateTest, NullAndThrowingDelegatesBreakNothing) {
    call("delegate setters / null", [&] {
        kv().setLogDelegate(nullptr);
        kv().setDeeplinkDelegate(nullptr);
        kv().setDeferredDeeplinkDelegate(nullptr);
        kv().setInAppMessageClickDelegate(nullptr);
        kv().setSorvelKvPushLocalDelegate(nullptr);
        kv().setSorvelKvPushRemoteDelegate(nullptr);
        EXPECT_EQ(kv().getLogDelegate(), nullptr);
        EXPECT_EQ(kv().getDeeplinkDelegate(), nullptr);
        EXPECT_EQ(kv().getDeferredDeeplinkDelegate(), nullptr);
        EXPECT_EQ(kv().getInAppMessageClickDelegate(), nullptr);
        EXPECT_EQ(kv().getSorvelKvPushLocalDelegate(), nullptr);
        EXPECT_EQ(kv().getSorvelKvPushRemoteDelegate(), nullptr);
    });
    std::atomic<int> deeplinks{0};
    kv().setLogDelegate(std::make_shared<ThrowingLog>());
    kv().setDeeplinkDelegate(makeDeeplinkDelegate([&](const std::string&) {
        deeplinks.fetch_add(1);
        testing::notifyWaiters();
        throw std::runtime_error("app fault");
    }));
    start();
    ASSERT_TRUE(sendAndWait("first"));
    call("deepLinkOpen / a delegate that throws", [&] {
        kv().deepLinkOpen("app://promo?svl_tid=" +
                          std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count()) +
                          ":t&svl_tracker_id=tr");
    });
    ASSERT_TRUE(testing::waitUntil([&] { return deeplinks.load() == 1; }));
    ASSERT_TRUE(sendAndWait("second"));
    EXPECT_EQ(events("deeplink_open").size(), 1u);
    EXPECT_TRUE(waitForLine("SvlLog :: log delegate threw"));
    EXPECT_TRUE(waitForLine("DeeplinkObserver.update :: failed: app fault"));
}
}  // namespace
}  // namespace sorvel::facadetest
