#include "Public/PredefinedEvents.h"

#include <gtest/gtest.h>

#include "Common/SvlLog.h"
#include "Platform/Host.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using testing::FreshSdk;
using testing::LogCapture;

// Quality-assurance mode sends every facade line to the system log, where the
// capture sees it.
class PredefinedEventsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
        SvlLog::initQaMode(nullptr);
    }
    bool logged(const std::string& text) { return capture_.contains(text); }

    FreshSdk sdk_;
    LogCapture capture_;
};

SorvelKvAttrModel attrs(std::initializer_list<std::pair<std::string, Value>> entries) {
    SorvelKvAttrModel model;
    model.attrData = Value::Map(entries.begin(), entries.end());
    return model;
}

std::vector<SorvelKvCommerceProductModel> products(int n) {
    std::vector<SorvelKvCommerceProductModel> list(n);
    for (int i = 0; i < n; ++i) {
        list[i].setModel("p" + std::to_string(i), "name", 10.0, 1, 0.0, "KRW", std::nullopt,
                         std::nullopt);
    }
    return list;
}

TEST_F(PredefinedEventsTest, CommonPurchaseWritesItsKeysOverTheAttributesAndKeepsTheProducts) {
    auto event = predefined::purchase(
        "order-1", products(250), 2700.5, 100.0, 2.5, SorvelKvPaymentMethod::MOBILE_PAYMENT,
        attrs({{"coupon", Value("spring")}, {"svl:order_id", Value("app's own")}}));
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->eventName, "purchase");
    EXPECT_EQ(event->eventParam, (Value::Map{
                                     {"coupon", Value("string:spring")},
                                     {"svl:order_id", Value("string:order-1")},
                                     {"svl:discount", Value("double:100.0")},
                                     {"svl:delivery_charge", Value("double:2.5")},
                                     {"svl:payment_method", Value("string:MobilePayment")},
                                     {"svl:order_sales", Value("double:2700.5")},
                                 }));
    // The paged road gets the whole list, in order; it builds the pages.
    ASSERT_TRUE(event->products.has_value());
    ASSERT_EQ(event->products->size(), 250u);
    EXPECT_EQ(event->products->back().getProductDicForPurchase().at("svl:product_id"),
              Value("p249"));
    auto empty = predefined::purchase("o", {}, 0, 0, 0, SorvelKvPaymentMethod::ETC, std::nullopt);
    ASSERT_TRUE(empty && empty->products);
    EXPECT_TRUE(empty->products->empty());

    // Channels travel as their strings; an undeclared value refuses the call.
    auto signUp = predefined::signUp(SorvelKvSignUpChannel::APPLE_ID, std::nullopt);
    ASSERT_TRUE(signUp.has_value());
    EXPECT_EQ(signUp->eventParam, (Value::Map{{"svl:sign_channel", Value("string:AppleId")}}));
    EXPECT_FALSE(signUp->products.has_value());
    EXPECT_FALSE(predefined::signUp(static_cast<SorvelKvSignUpChannel>(99), std::nullopt));
    EXPECT_FALSE(predefined::invite(static_cast<SorvelKvInviteChannel>(11), std::nullopt));
    EXPECT_FALSE(predefined::purchase("o", {}, 0, 0, 0, static_cast<SorvelKvPaymentMethod>(0),
                                      std::nullopt));
    EXPECT_TRUE(logged("sign_up :: SorvelKvSignUpChannel value 99 is not declared"));
    EXPECT_TRUE(logged("invite :: SorvelKvInviteChannel value 11 is not declared"));
    EXPECT_TRUE(logged("purchase :: SorvelKvPaymentMethod value 0 is not declared"));
}

TEST_F(PredefinedEventsTest, CommerceCategoryCapShareChannelAndSingleProduct) {
    SorvelKvCommerceProductCategoryModel seven;
    seven.setModel({"a", "b", "", "d", "e", "f", "g"});
    auto view = predefined::categoryView(seven, products(1), attrs({{"page", Value(2)}}));
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->eventName, "category_view");
    EXPECT_EQ(view->eventParam, (Value::Map{
                                    {"page", Value("long:2")},
                                    {"svl:category1", Value("string:a")},
                                    {"svl:category2", Value("string:b")},
                                    {"svl:category3", Value("string:")},
                                    {"svl:category4", Value("string:d")},
                                    {"svl:category5", Value("string:e")},
                                }));
    ASSERT_TRUE(view->products && view->products->size() == 1u);

    // Without categories nothing is sent, even with products.
    EXPECT_FALSE(predefined::categoryView(SorvelKvCommerceProductCategoryModel{}, products(3),
                                          std::nullopt));
    SorvelKvCommerceProductCategoryModel absent;
    absent.categoryStringArr.reset();
    EXPECT_FALSE(predefined::categoryView(absent, {}, std::nullopt));
    EXPECT_TRUE(logged("categoryView: categoryModel is null or Empty"));

    // A single product goes straight into "svl:items", over any attribute of
    // that name, in typed form; no paged road.
    const auto product = products(1)[0];
    auto share = predefined::share(SorvelKvSharingChannel::COPY_URL, product,
                                   attrs({{"svl:items", Value("mine")}, {"ref", Value(true)}}));
    ASSERT_TRUE(share.has_value());
    EXPECT_EQ(share->eventName, "share");
    EXPECT_FALSE(share->products.has_value());
    EXPECT_EQ(share->eventParam.at("svl:sharing_channel"), Value("string:copyUrl"));
    EXPECT_EQ(share->eventParam.at("ref"), Value("boolean:true"));
    const Value::Array* items = share->eventParam.at("svl:items").getArray();
    ASSERT_NE(items, nullptr);
    ASSERT_EQ(items->size(), 1u);
    const Value::Map& item = *(*items)[0].getMap();
    EXPECT_EQ(item.at("svl:product_id"), Value("string:p0"));
    EXPECT_EQ(item.at("svl:quantity"), Value("long:1"));
    EXPECT_EQ(item.at("svl:currency"), Value("string:KRW"));
    EXPECT_EQ(item.at("svl:item_id").getString()->rfind("string:", 0), 0u);
    EXPECT_FALSE(predefined::share(static_cast<SorvelKvSharingChannel>(12), product, std::nullopt));
    EXPECT_TRUE(logged("share :: SorvelKvSharingChannel value 12 is not declared"));

    // Plain events without SDK keys send an empty map.
    EXPECT_TRUE(predefined::paymentInfoAdded(std::nullopt).eventParam.empty());
    auto cart = predefined::addToCart({}, std::nullopt);
    EXPECT_TRUE(cart.eventParam.empty());
    EXPECT_TRUE(cart.products && cart.products->empty());
}

TEST_F(PredefinedEventsTest, GameEventsTypeTheirOneKey) {
    auto level = predefined::levelAchieved(-3, attrs({{"world", Value("w1")}}));
    EXPECT_EQ(level.eventName, "level_achieved");
    EXPECT_EQ(level.eventParam,
              (Value::Map{{"world", Value("string:w1")}, {"svl:level", Value("long:-3")}}));
    EXPECT_EQ(predefined::tutorialCompleted(true, std::nullopt).eventParam,
              (Value::Map{{"svl:is_skip", Value("boolean:true")}}));
    EXPECT_EQ(predefined::stageCleared("", std::nullopt).eventParam,
              (Value::Map{{"svl:stage", Value("string:")}}));
    // An absent model and one without data give the plain event.
    SorvelKvAttrModel noData;
    noData.attrData.reset();
    EXPECT_TRUE(predefined::characterCreated(noData).eventParam.empty());
    EXPECT_FALSE(predefined::characterCreated(std::nullopt).products.has_value());
}

}  // namespace
}  // namespace sorvel
