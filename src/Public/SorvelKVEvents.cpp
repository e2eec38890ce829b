#include "sorvel/SorvelKV.h"

#include <utility>

#include "Public/FacadeInternal.h"
#include "Public/PredefinedEvents.h"

// The facade's pure calls (enum getters and converters, product factories)
// and the predefined event families.

namespace sorvel {
namespace {

// Every predefined event: the disabled guard first (a refused call logs
// nothing of its own), then the builder, then the single or the paged road.
template <typename Build>
void send(const char* name, Build&& build) noexcept {
    facade::boundary(name, [&] {
        if (facade::isSorvelDisabled()) {
            return;
        }
        std::optional<PredefinedEvent> event = build();
        if (!event) {
            return;
        }
        if (event->products) {
            facade::logSvlEventWithPaging(std::move(*event->products), event->eventName,
                                          std::move(event->eventParam));
        } else {
            facade::logSvlEvent(event->eventName, std::move(event->eventParam));
        }
    });
}

}  // namespace

// ---- Enum getters and converters ------------------------------------------------

SorvelEventUploadCountInterval SorvelKV::convertCountInterval(std::int64_t value) const noexcept {
    return ::sorvel::convertCountInterval(value);
}

SorvelEventUploadTimeInterval SorvelKV::convertTimeInterval(std::int64_t value) const noexcept {
    return ::sorvel::convertTimeInterval(value);
}

SorvelGenderType SorvelKV::convertGender(std::int64_t value) const noexcept {
    return ::sorvel::convertGender(value);
}

std::string SorvelKV::getSignUpChannelBySorvelKvSignUpChannel(
    SorvelKvSignUpChannel channel) const noexcept {
    return ::sorvel::getSignUpChannelBySorvelKvSignUpChannel(channel);
}

std::string SorvelKV::getSignUpChannel(std::int64_t value) const noexcept {
    return ::sorvel::getSignUpChannel(value);
}

SorvelKvSignUpChannel SorvelKV::convertSignUpChannel(std::int64_t value) const noexcept {
    return ::sorvel::convertSignUpChannel(value);
}

std::string SorvelKV::getInviteChannelBySorvelKvSignUpChannel(
    SorvelKvInviteChannel channel) const noexcept {
    return ::sorvel::getInviteChannelBySorvelKvSignUpChannel(channel);
}

std::string SorvelKV::getInviteChannel(std::int64_t value) const noexcept {
    return ::sorvel::getInviteChannel(value);
}

SorvelKvInviteChannel SorvelKV::convertInviteChannel(std::int64_t value) const noexcept {
    return ::sorvel::convertInviteChannel(value);
}

std::string SorvelKV::getPaymentMethodBySorvelKvPaymentMethod(
    SorvelKvPaymentMethod method) const noexcept {
    return ::sorvel::getPaymentMethodBySorvelKvPaymentMethod(method);
}

std::string SorvelKV::getPaymentMethod(std::int64_t value) const noexcept {
    return ::sorvel::getPaymentMethod(value);
}

SorvelKvPaymentMethod SorvelKV::convertPayment(std::int64_t value) const noexcept {
    return ::sorvel::convertPayment(value);
}

std::string SorvelKV::getSharingChannelBySorvelKvSharingChannel(
    SorvelKvSharingChannel channel) const noexcept {
    return ::sorvel::getSharingChannelBySorvelKvSharingChannel(channel);
}

std::string SorvelKV::getSharingChannel(std::int64_t value) const noexcept {
    return ::sorvel::getSharingChannel(value);
}

SorvelKvSharingChannel SorvelKV::convertChannel(std::int64_t value) const noexcept {
    return ::sorvel::convertChannel(value);
}

std::string SorvelKV::getCurrencyStringBySorvelCurrencyType(
    SorvelKvCurrencyType type) const noexcept {
    return ::sorvel::getCurrencyStringBySorvelCurrencyType(type);
}

std::string SorvelKV::getCurrencyString(std::int64_t value) const noexcept {
    return ::sorvel::getCurrencyString(value);
}

// ---- Product factories -------------------------------------------------------------

SorvelKvCommerceProductModel SorvelKV::createCommerceProductDataWithAttr(
    const std::string& productId, const std::string& productName, double price,
    std::int64_t quantity, double discount, const std::optional<std::string>& currencyString,
    const std::optional<SorvelKvCommerceProductCategoryModel>& category,
    const std::optional<SorvelKvAttrModel>& productAttrsMap) const noexcept {
    return facade::boundary("createCommerceProductDataWithAttr", SorvelKvCommerceProductModel{},
                            [&] {
                                SorvelKvCommerceProductModel model;
                                model.setModel(productId, productName, price, quantity, discount,
                                               currencyString, category, productAttrsMap);
                                return model;
                            });
}

SorvelKvCommerceProductCategoryModel SorvelKV::createCommerceProductCategoryData(
    const std::string& category, const std::string& category2, const std::string& category3,
    const std::string& category4, const std::string& category5) const noexcept {
    return facade::boundary("createCommerceProductCategoryData",
                            SorvelKvCommerceProductCategoryModel{}, [&] {
                                std::vector<std::string> strings;
                                for (const std::string* s :
                                     {&category, &category2, &category3, &category4, &category5}) {
                                    if (!s->empty()) {
                                        strings.push_back(*s);
                                    }
                                }
                                SorvelKvCommerceProductCategoryModel model;
                                model.setModel(std::move(strings));
                                return model;
                            });
}

// ---- Common events -----------------------------------------------------------------

void SorvelKV::commonSignUp(SorvelKvSignUpChannel channel) noexcept {
    commonSignUpWithAttr(channel, std::nullopt);
}

void SorvelKV::commonSignUpWithAttr(SorvelKvSignUpChannel channel,
                                    const std::optional<SorvelKvAttrModel>& commonAttr) noexcept {
    send("commonSignUp", [&] { return predefined::signUp(channel, commonAttr); });
}

void SorvelKV::commonAppUpdate(const std::string& prev_ver, const std::string& curr_ver) noexcept {
    commonAppUpdateWithAttr(prev_ver, curr_ver, std::nullopt);
}

void SorvelKV::commonAppUpdateWithAttr(
    const std::string& prev_ver, const std::string& curr_ver,
    const std::optional<SorvelKvAttrModel>& commonAttr) noexcept {
    send("commonAppUpdate",
         [&] { return std::optional(predefined::appUpdate(prev_ver, curr_ver, commonAttr)); });
}

void SorvelKV::commonInvite(SorvelKvInviteChannel channel) noexcept {
    commonInviteWithAttr(channel, std::nullopt);
}

void SorvelKV::commonInviteWithAttr(SorvelKvInviteChannel channel,
                                    const std::optional<SorvelKvAttrModel>& commonAttr) noexcept {
    send("commonInvite", [&] { return predefined::invite(channel, commonAttr); });
}

void SorvelKV::commonUseCredit() noexcept {
    commonUseCreditWithAttr(std::nullopt);
}

void SorvelKV::commonUseCreditWithAttr(
    const std::optional<SorvelKvAttrModel>& commonAttr) noexcept {
    send("commonUseCredit", [&] { return std::optional(predefined::useCredit(commonAttr)); });
}

void SorvelKV::commonPurchase(const std::string& orderId,
                              std::vector<SorvelKvCommerceProductModel> productInfo,
                              double orderSales, double discount, double deliveryCharge,
                              SorvelKvPaymentMethod paymentMethod) noexcept {
    commonPurchaseWithAttr(orderId, std::move(productInfo), orderSales, discount, deliveryCharge,
                           paymentMethod, std::nullopt);
}

void SorvelKV::commonPurchaseWithAttr(const std::string& orderId,
                                      std::vector<SorvelKvCommerceProductModel> productInfo,
                                      double orderSales, double discount, double deliveryCharge,
                                      SorvelKvPaymentMethod paymentMethod,
                                      const std::optional<SorvelKvAttrModel>& orderAttr) noexcept {
    send("commonPurchase", [&] {
        return predefined::purchase(orderId, std::move(productInfo), orderSales, discount,
                                    deliveryCharge, paymentMethod, orderAttr);
    });
}

// ---- Commerce events ---------------------------------------------------------------

void SorvelKV::commerceViewHome() noexcept {
    commerceViewHomeWithAttr(std::nullopt);
}

void SorvelKV::commerceViewHomeWithAttr(
    const std::optional<SorvelKvAttrModel>& orderAttr) noexcept {
    send("commerceViewHome", [&] { return std::optional(predefined::viewHome(orderAttr)); });
}

void SorvelKV::commerceCategoryView(
    const SorvelKvCommerceProductCategoryModel& category,
    std::vector<SorvelKvCommerceProductModel> productInfo) noexcept {
    commerceCategoryViewWithAttr(category, std::move(productInfo), std::nullopt);
}

void SorvelKV::commerceCategoryViewWithAttr(
    const SorvelKvCommerceProductCategoryModel& category,
    std::vector<SorvelKvCommerceProductModel> productInfo,
    const std::optional<SorvelKvAttrModel>& orderAttr) noexcept {
    send("commerceCategoryView",
         [&] { return predefined::categoryView(category, std::move(productInfo), orderAttr); });
}

void SorvelKV::commerceProductView(const SorvelKvCommerceProductModel& productInfo) noexcept {
    commerceProductViewWithAttr(productInfo, std::nullopt);
}

void SorvelKV::commerceProductViewWithAttr(
    const SorvelKvCommerceProductModel& productInfo,
    const std::optional<SorvelKvAttrModel>& orderAttr) noexcept {
    send("commerceProductView",
         [&] { return std::optional(predefined::productView(productInfo, orderAttr)); });
}

void SorvelKV::commerceAddToCart(std::vector<SorvelKvCommerceProductModel> productInfo) noexcept {
    commerceAddToCartWithAttr(std::move(productInfo), std::nullopt);
}

void SorvelKV::commerceAddToCartWithAttr(
    std::vector<SorvelKvCommerceProductModel> productInfo,
    const std::optional<SorvelKvAttrModel>& orderAttr) noexcept {
    send("commerceAddToCart",
         [&] { return std::optional(predefined::addToCart(std::move(productInfo), orderAttr)); });
}

void SorvelKV::commerceAddToWishList(const SorvelKvCommerceProductModel& productInfo) noexcept {
    commerceAddToWishListWithAttr(productInfo, std::nullopt);
}

void SorvelKV::commerceAddToWishListWithAttr(
    const SorvelKvCommerceProductModel& productInfo,
    const std::optional<SorvelKvAttrModel>& orderAttr) noexcept {
    send("commerceAddToWishList",
         [&] { return std::optional(predefined::addToWishList(productInfo, orderAttr)); });
}

void SorvelKV::commerceReviewOrder(const std::string& orderId,
                                   std::vector<SorvelKvCommerceProductModel> productInfo,
                                   double discount, double deliveryCharge) noexcept {
    commerceReviewOrderWithAttr(orderId, std::move(productInfo), discount, deliveryCharge,
                                std::nullopt);
}

void SorvelKV::commerceReviewOrderWithAttr(
    const std::string& orderId, std::vector<SorvelKvCommerceProductModel> productInfo,
    double discount, double deliveryCharge,
    const std::optional<SorvelKvAttrModel>& orderAttr) noexcept {
    send("commerceReviewOrder", [&] {
        return std::optional(predefined::reviewOrder(orderId, std::move(productInfo), discount,
                                                     deliveryCharge, orderAttr));
    });
}

void SorvelKV::commerceRefund(const std::string& orderId,
                              std::vector<SorvelKvCommerceProductModel> productInfo,
                              double penaltyCharge) noexcept {
    commerceRefundWithAttr(orderId, std::move(productInfo), penaltyCharge, std::nullopt);
}

void SorvelKV::commerceRefundWithAttr(const std::string& orderId,
                                      std::vector<SorvelKvCommerceProductModel> productInfo,
                                      double penaltyCharge,
                                      const std::optional<SorvelKvAttrModel>& orderAttr) noexcept {
    send("commerceRefund", [&] {
        return std::optional(
            predefined::refund(orderId, std::move(productInfo), penaltyCharge, orderAttr));
    });
}

void SorvelKV::commerceSearch(std::vector<SorvelKvCommerceProductModel> productInfo,
                              const std::string& keyword) noexcept {
    commerceSearchWithAttr(std::move(productInfo), keyword, std::nullopt);
}

void SorvelKV::commerceSearchWithAttr(std::vector<SorvelKvCommerceProductModel> productInfo,
                                      const std::string& keyword,
                                      const std::optional<SorvelKvAttrModel>& orderAttr) noexcept {
    send("commerceSearch", [&] {
        return std::optional(predefined::search(std::move(productInfo), keyword, orderAttr));
    });
}

void SorvelKV::commerceShare(SorvelKvSharingChannel channel,
                             const SorvelKvCommerceProductModel& productInfo) noexcept {
    commerceShareWithAttr(channel, productInfo, std::nullopt);
}

void SorvelKV::commerceShareWithAttr(SorvelKvSharingChannel channel,
                                     const SorvelKvCommerceProductModel& productInfo,
                                     const std::optional<SorvelKvAttrModel>& orderAttr) noexcept {
    send("commerceShare", [&] { return predefined::share(channel, productInfo, orderAttr); });
}

void SorvelKV::commerceListView(std::vector<SorvelKvCommerceProductModel> productInfo) noexcept {
    commerceListViewWithAttr(std::move(productInfo), std::nullopt);
}

void SorvelKV::commerceListViewWithAttr(
    std::vector<SorvelKvCommerceProductModel> productInfo,
    const std::optional<SorvelKvAttrModel>& orderAttr) noexcept {
    send("commerceListView",
         [&] { return std::optional(predefined::listView(std::move(productInfo), orderAttr)); });
}

void SorvelKV::commerceCartView(std::vector<SorvelKvCommerceProductModel> productInfo) noexcept {
    commerceCartViewWithAttr(std::move(productInfo), std::nullopt);
}

void SorvelKV::commerceCartViewWithAttr(
    std::vector<SorvelKvCommerceProductModel> productInfo,
    const std::optional<SorvelKvAttrModel>& orderAttr) noexcept {
    send("commerceCartView",
         [&] { return std::optional(predefined::cartView(std::move(productInfo), orderAttr)); });
}

void SorvelKV::commercePaymentInfoAdded() noexcept {
    commercePaymentInfoAddedWithAttr(std::nullopt);
}

void SorvelKV::commercePaymentInfoAddedWithAttr(
    const std::optional<SorvelKvAttrModel>& paymentInfoAttr) noexcept {
    send("commercePaymentInfoAdded",
         [&] { return std::optional(predefined::paymentInfoAdded(paymentInfoAttr)); });
}

// ---- Game events -------------------------------------------------------------------

void SorvelKV::gameTutorialCompleted(bool isSkip) noexcept {
    gameTutorialCompletedWithAttr(isSkip, std::nullopt);
}

void SorvelKV::gameTutorialCompletedWithAttr(
    bool isSkip, const std::optional<SorvelKvAttrModel>& gameInfoAttr) noexcept {
    send("gameTutorialCompleted",
         [&] { return std::optional(predefined::tutorialCompleted(isSkip, gameInfoAttr)); });
}

void SorvelKV::gameCharacterCreated() noexcept {
    gameCharacterCreatedWithAttr(std::nullopt);
}

void SorvelKV::gameCharacterCreatedWithAttr(
    const std::optional<SorvelKvAttrModel>& gameInfoAttr) noexcept {
    send("gameCharacterCreated",
         [&] { return std::optional(predefined::characterCreated(gameInfoAttr)); });
}

void SorvelKV::gameStageCleared(const std::string& stageName) noexcept {
    gameStageClearedWithAttr(stageName, std::nullopt);
}

void SorvelKV::gameStageClearedWithAttr(
    const std::string& stageName, const std::optional<SorvelKvAttrModel>& gameInfoAttr) noexcept {
    send("gameStageCleared",
         [&] { return std::optional(predefined::stageCleared(stageName, gameInfoAttr)); });
}

void SorvelKV::gameLevelAchieved(std::int64_t level) noexcept {
    gameLevelAchievedWithAttr(level, std::nullopt);
}

void SorvelKV::gameLevelAchievedWithAttr(
    std::int64_t level, const std::optional<SorvelKvAttrModel>& gameInfoAttr) noexcept {
    send("gameLevelAchieved",
         [&] { return std::optional(predefined::levelAchieved(level, gameInfoAttr)); });
}

}  // namespace sorvel
