#include "Public/PredefinedEvents.h"

#include <utility>

#include "Common/Constants.h"
#include "Common/SvlLog.h"
#include "Event/TypedValueDictionary.h"

namespace sorvel::predefined {
namespace {

// The app's attributes, underneath the event's own keys.
Value::Map startWith(const OptionalAttr& attr) {
    return attr ? attr->getAttrData() : Value::Map{};
}

PredefinedEvent single(const char* eventName, const Value::Map& params) {
    return PredefinedEvent{eventName, FvnUtil::toTypedValueDictionary(params), std::nullopt};
}

PredefinedEvent paged(const char* eventName, const Value::Map& params, ProductList products) {
    return PredefinedEvent{eventName, FvnUtil::toTypedValueDictionary(params), std::move(products)};
}

// A single-product event: "svl:items" holds that one product, written over
// any attribute of that name.
PredefinedEvent oneProduct(const char* eventName, const Value::Map& params,
                           const SorvelKvCommerceProductModel& product) {
    return PredefinedEvent{
        eventName,
        FvnUtil::makeItemsParam(ProductList{product}, FvnUtil::toTypedValueDictionary(params)),
        std::nullopt};
}

// An enum value is declared exactly when converting its number gives it back:
// an undeclared number converts to the table's fallback, itself declared.
template <typename E>
bool declared(E value, E converted, const char* eventName, const char* enumName) {
    if (value == converted) {
        return true;
    }
    SvlLog::warning(std::string(eventName) + " :: " + enumName + " value " +
                        std::to_string(static_cast<std::int64_t>(value)) +
                        " is not declared; the event is not sent",
                    true);
    return false;
}

}  // namespace

// ---- Common events ----

std::optional<PredefinedEvent> signUp(SorvelKvSignUpChannel channel, const OptionalAttr& attr) {
    const auto raw = static_cast<std::int64_t>(channel);
    if (!declared(channel, convertSignUpChannel(raw), Constants::EVENT_NAME_SIGN_UP,
                  "SorvelKvSignUpChannel")) {
        return std::nullopt;
    }
    Value::Map params = startWith(attr);
    params["svl:sign_channel"] = getSignUpChannel(raw);
    return single(Constants::EVENT_NAME_SIGN_UP, params);
}

PredefinedEvent appUpdate(const std::string& prevVer, const std::string& currVer,
                          const OptionalAttr& attr) {
    Value::Map params = startWith(attr);
    params["svl:prev_ver"] = prevVer;
    params["svl:curr_ver"] = currVer;
    return single(Constants::EVENT_NAME_APP_UPDATE, params);
}

std::optional<PredefinedEvent> invite(SorvelKvInviteChannel channel, const OptionalAttr& attr) {
    const auto raw = static_cast<std::int64_t>(channel);
    if (!declared(channel, convertInviteChannel(raw), Constants::EVENT_NAME_INVITE,
                  "SorvelKvInviteChannel")) {
        return std::nullopt;
    }
    Value::Map params = startWith(attr);
    params["svl:invite_channel"] = getInviteChannel(raw);
    return single(Constants::EVENT_NAME_INVITE, params);
}

PredefinedEvent useCredit(const OptionalAttr& attr) {
    return single(Constants::EVENT_NAME_USE_CREDIT, startWith(attr));
}

std::optional<PredefinedEvent> purchase(const std::string& orderId, ProductList productInfo,
                                        double orderSales, double discount, double deliveryCharge,
                                        SorvelKvPaymentMethod paymentMethod,
                                        const OptionalAttr& attr) {
    const auto raw = static_cast<std::int64_t>(paymentMethod);
    if (!declared(paymentMethod, convertPayment(raw), Constants::EVENT_NAME_PURCHASE,
                  "SorvelKvPaymentMethod")) {
        return std::nullopt;
    }
    Value::Map params = startWith(attr);
    params["svl:order_id"] = orderId;
    params["svl:discount"] = discount;
    params["svl:delivery_charge"] = deliveryCharge;
    params["svl:payment_method"] = getPaymentMethod(raw);
    params["svl:order_sales"] = orderSales;
    return paged(Constants::EVENT_NAME_PURCHASE, params, std::move(productInfo));
}

// ---- Commerce events ----

PredefinedEvent viewHome(const OptionalAttr& attr) {
    return single(Constants::EVENT_NAME_VIEW_HOME, startWith(attr));
}

std::optional<PredefinedEvent> categoryView(const SorvelKvCommerceProductCategoryModel& category,
                                            ProductList productInfo, const OptionalAttr& attr) {
    const auto& strings = category.categoryStringArr;
    if (!strings || strings->empty()) {
        SvlLog::info("categoryView: categoryModel is null or Empty", true);
        return std::nullopt;
    }
    Value::Map params = startWith(attr);
    // Strings beyond the fifth are left out; empty ones are sent as they are.
    for (std::size_t i = 0; i < strings->size() && i < Constants::MAX_CATEGORY_COUNT; ++i) {
        params[Constants::PRODUCT_KEY_CATEGORY_PREFIX + std::to_string(i + 1)] = (*strings)[i];
    }
    return paged(Constants::EVENT_NAME_CATEGORY_VIEW, params, std::move(productInfo));
}

PredefinedEvent productView(const SorvelKvCommerceProductModel& productInfo,
                            const OptionalAttr& attr) {
    return oneProduct(Constants::EVENT_NAME_PRODUCT_VIEW, startWith(attr), productInfo);
}

PredefinedEvent addToCart(ProductList productInfo, const OptionalAttr& attr) {
    return paged(Constants::EVENT_NAME_ADD_TO_CART, startWith(attr), std::move(productInfo));
}

PredefinedEvent addToWishList(const SorvelKvCommerceProductModel& productInfo,
                              const OptionalAttr& attr) {
    return oneProduct(Constants::EVENT_NAME_ADD_TO_WISHLIST, startWith(attr), productInfo);
}

PredefinedEvent reviewOrder(const std::string& orderId, ProductList productInfo, double discount,
                            double deliveryCharge, const OptionalAttr& attr) {
    Value::Map params = startWith(attr);
    params["svl:order_id"] = orderId;
    params["svl:discount"] = discount;
    params["svl:delivery_charge"] = deliveryCharge;
    return paged(Constants::EVENT_NAME_REVIEW_ORDER, params, std::move(productInfo));
}

PredefinedEvent refund(const std::string& orderId, ProductList productInfo, double penaltyCharge,
                       const OptionalAttr& attr) {
    Value::Map params = startWith(attr);
    params["svl:order_id"] = orderId;
    params["svl:penalty_charge"] = penaltyCharge;
    return paged(Constants::EVENT_NAME_REFUND, params, std::move(productInfo));
}

PredefinedEvent search(ProductList productInfo, const std::string& keyword,
                       const OptionalAttr& attr) {
    Value::Map params = startWith(attr);
    params["svl:keyword"] = keyword;
    return paged(Constants::EVENT_NAME_SEARCH, params, std::move(productInfo));
}

std::optional<PredefinedEvent> share(SorvelKvSharingChannel channel,
                                     const SorvelKvCommerceProductModel& productInfo,
                                     const OptionalAttr& attr) {
    const auto raw = static_cast<std::int64_t>(channel);
    if (!declared(channel, convertChannel(raw), Constants::EVENT_NAME_SHARE,
                  "SorvelKvSharingChannel")) {
        return std::nullopt;
    }
    Value::Map params = startWith(attr);
    params["svl:sharing_channel"] = getSharingChannel(raw);
    return oneProduct(Constants::EVENT_NAME_SHARE, params, productInfo);
}

PredefinedEvent listView(ProductList productInfo, const OptionalAttr& attr) {
    return paged(Constants::EVENT_NAME_LIST_VIEW, startWith(attr), std::move(productInfo));
}

PredefinedEvent cartView(ProductList productInfo, const OptionalAttr& attr) {
    return paged(Constants::EVENT_NAME_CART_VIEW, startWith(attr), std::move(productInfo));
}

PredefinedEvent paymentInfoAdded(const OptionalAttr& attr) {
    return single(Constants::EVENT_NAME_PAYMENT_INFO_ADDED, startWith(attr));
}

// ---- Game events ----

PredefinedEvent tutorialCompleted(bool isSkip, const OptionalAttr& attr) {
    Value::Map params = startWith(attr);
    params["svl:is_skip"] = isSkip;
    return single(Constants::EVENT_NAME_TUTORIAL_COMPLETED, params);
}

PredefinedEvent characterCreated(const OptionalAttr& attr) {
    return single(Constants::EVENT_NAME_CHARACTER_CREATED, startWith(attr));
}

PredefinedEvent stageCleared(const std::string& stageName, const OptionalAttr& attr) {
    Value::Map params = startWith(attr);
    params["svl:stage"] = stageName;
    return single(Constants::EVENT_NAME_STAGE_CLEARED, params);
}

PredefinedEvent levelAchieved(std::int64_t level, const OptionalAttr& attr) {
    Value::Map params = startWith(attr);
    params["svl:level"] = level;
    return single(Constants::EVENT_NAME_LEVEL_ACHIEVED, params);
}

}  // namespace sorvel::predefined
