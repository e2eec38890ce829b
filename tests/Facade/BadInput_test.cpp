// Every public call fed its worst inputs. Each call must return at once, log
// a line naming what it refused, crash nothing, and leave what was stored
// before it (user id, properties, unsent events) intact and delivered once.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "Common/DataRegistry.h"
#include "FacadeFixture.h"

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
        DiContainer::shared().defaultSVLContextController()->waitForDispatched();
        SorvelHost::applicationDidBecomeActive();
    }

    // After a relaunch on the same data: the stored identity is the good one
    // and the good event arrives once, byte-exact.
    void expectGoodDataIntact() {
        DiContainer::shared().defaultSVLContextController()->waitForDispatched();
        relaunch();
        start();
        ASSERT_TRUE(sendAndWait("marker"));
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
    for (const auto& [name, f] : attrCalls) {
        for (const auto& in : badAttrs()) {
            call(std::string(name) + " / " + in.name, [&] { f(in.model); });
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
        {"setEventUploadCountInterval :: ",
         [&](std::int64_t v) {
             sdk.setEventUploadCountInterval(static_cast<SorvelEventUploadCountInterval>(v));
         }},
        {"setEventUploadTimeInterval :: ",
         [&](std::int64_t v) {
             sdk.setEventUploadTimeInterval(static_cast<SorvelEventUploadTimeInterval>(v));
         }},
    };
    for (const auto& [line, f] : enumCalls) {
        for (std::int64_t v : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{99}, kMin, kMax}) {
            call(line + std::to_string(v), [&] { f(v); });
        }
    }

    DiContainer::shared().defaultSVLContextController()->waitForDispatched();
    // The lines, while the bad events are still held offline.
    for (const auto& in : badStrings()) {
        if (in.line != nullptr) {
            EXPECT_TRUE(waitForLine(in.line)) << in.name;
        }
    }
    for (const auto& in : badAttrs()) {
        if (in.line != nullptr) {
            EXPECT_TRUE(waitForLine(in.line)) << in.name;
        }
    }
    for (const auto& [line, f] : enumCalls) {
        for (std::int64_t v : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{99}, kMin, kMax}) {
            EXPECT_TRUE(waitForLine(line + std::to_string(v))) << line << v;
        }
    }

    expectGoodDataIntact();
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

}  // namespace
}  // namespace sorvel::facadetest
