#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sorvel/SorvelEnums.h"
#include "sorvel/SorvelKvAttrModel.h"
#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/Value.h"

namespace sorvel {

// One SDK-defined event of the common, commerce or game family, as its facade
// call builds it: the app's attributes underneath, the event's own "svl:" keys
// written over them, all in typed-value form.
struct PredefinedEvent {
    std::string eventName;
    Value::Map eventParam;
    // Present: the paged road, which splits these products into pages of 100
    // and adds "svl:items" and "svl:page" to each; absent: one event as built
    // (a single product already sits under "svl:items").
    std::optional<std::vector<SorvelKvCommerceProductModel>> products;
};

using OptionalAttr = std::optional<SorvelKvAttrModel>;
using ProductList = std::vector<SorvelKvCommerceProductModel>;

// Each builder returns the event, or nothing when the call is refused with a
// log line: an enum value outside the declared ones (a caller that cast an
// integer; warning), a category view without categories (info). No other
// argument is checked: empty texts, negative or non-finite amounts and empty
// product lists are sent as they are.
namespace predefined {

// ---- Common events ----
std::optional<PredefinedEvent> signUp(SorvelKvSignUpChannel channel, const OptionalAttr& attr);
PredefinedEvent appUpdate(const std::string& prevVer, const std::string& currVer,
                          const OptionalAttr& attr);
std::optional<PredefinedEvent> invite(SorvelKvInviteChannel channel, const OptionalAttr& attr);
PredefinedEvent useCredit(const OptionalAttr& attr);
std::optional<PredefinedEvent> purchase(const std::string& orderId, ProductList productInfo,
                                        double orderSales, double discount, double deliveryCharge,
                                        SorvelKvPaymentMethod paymentMethod,
                                        const OptionalAttr& attr);

// ---- Commerce events ----
PredefinedEvent viewHome(const OptionalAttr& attr);
std::optional<PredefinedEvent> categoryView(const SorvelKvCommerceProductCategoryModel& category,
                                            ProductList productInfo, const OptionalAttr& attr);
PredefinedEvent productView(const SorvelKvCommerceProductModel& productInfo,
                            const OptionalAttr& attr);
PredefinedEvent addToCart(ProductList productInfo, const OptionalAttr& attr);
PredefinedEvent addToWishList(const SorvelKvCommerceProductModel& productInfo,
                              const OptionalAttr& attr);
PredefinedEvent reviewOrder(const std::string& orderId, ProductList productInfo, double discount,
                            double deliveryCharge, const OptionalAttr& attr);
PredefinedEvent refund(const std::string& orderId, ProductList productInfo, double penaltyCharge,
                       const OptionalAttr& attr);
PredefinedEvent search(ProductList productInfo, const std::string& keyword,
                       const OptionalAttr& attr);
std::optional<PredefinedEvent> share(SorvelKvSharingChannel channel,
                                     const SorvelKvCommerceProductModel& productInfo,
                                     const OptionalAttr& attr);
PredefinedEvent listView(ProductList productInfo, const OptionalAttr& attr);
PredefinedEvent cartView(ProductList productInfo, const OptionalAttr& attr);
PredefinedEvent paymentInfoAdded(const OptionalAttr& attr);

// ---- Game events ----
PredefinedEvent tutorialCompleted(bool isSkip, const OptionalAttr& attr);
PredefinedEvent characterCreated(const OptionalAttr& attr);
PredefinedEvent stageCleared(const std::string& stageName, const OptionalAttr& attr);
PredefinedEvent levelAchieved(std::int64_t level, const OptionalAttr& attr);

}  // namespace predefined
}  // namespace sorvel
