#include "sorvel/SorvelKvCommerceProductModel.h"

#include "Base/TextUnits.h"
#include "Common/Constants.h"
#include "Common/SvlLog.h"
#include "Event/UserPropertyRules.h"
#include "Platform/Crypto.h"

namespace sorvel {

SorvelKvCommerceProductCategoryModel& SorvelKvCommerceProductCategoryModel::setModel(
    std::vector<std::string> categoryArr) noexcept {
    categoryStringArr = std::move(categoryArr);
    return *this;
}

SorvelKvCommerceProductModel& SorvelKvCommerceProductModel::setModel(
    const std::string& productId, const std::string& productName, double price,
    std::int64_t quantity, double discount, const std::optional<std::string>& currencyString,
    const std::optional<SorvelKvCommerceProductCategoryModel>& categories,
    const std::optional<SorvelKvAttrModel>& productAttrsMap) noexcept {
    try {
        productId_ = productId;
        productName_ = productName;
        quantity_ = quantity;
        price_ = price;
        discount_ = discount;
        sales_ = (price - discount) * static_cast<double>(quantity);
        currencyString_ = currencyString.value_or("");

        if (productAttrsMap && productAttrsMap->attrData) {
            SorvelKvAttrModel cleaned;
            std::size_t index = 0;
            for (const auto& [key, value] : *productAttrsMap->attrData) {
                if (index >= static_cast<std::size_t>(Constants::MAX_PRODUCT_ATTR_COUNT)) {
                    SvlLog::warning("Key length is over " +
                                        std::to_string(Constants::MAX_PRODUCT_ATTR_COUNT) +
                                        " count. Stop storing productAttrsMap Data",
                                    true);
                    break;
                }
                ++index;
                auto [usable, usableKey] = FvnUtil::checkUserPropertyKey(key);
                if (key.empty() ||
                    text::codePointCount(key) >=
                        static_cast<std::size_t>(Constants::MAX_PRODUCT_ATTR_KEY_LENGTH) ||
                    !usable) {
                    continue;
                }
                if (const std::string* s = value.getString()) {
                    cleaned.setAttrDataString(usableKey, *s);
                } else if (const bool* b = value.getBool()) {
                    cleaned.setAttrDataBool(usableKey, *b);
                } else if (const std::int64_t* i = value.getInt64()) {
                    cleaned.setAttrDataInt64(usableKey, *i);
                } else if (const std::uint64_t* u = value.getUInt64()) {
                    cleaned.setAttrDataUInt64(usableKey, *u);
                } else if (const double* d = value.getDouble()) {
                    cleaned.setAttrDataDouble(usableKey, *d);
                }
            }
            productAttrsMap_ = std::move(cleaned);
        }

        if (categories && categories->categoryStringArr) {
            const auto& list = *categories->categoryStringArr;
            for (std::size_t i = 0; i < list.size(); ++i) {
                categories_[Constants::PRODUCT_KEY_CATEGORY_PREFIX + std::to_string(i + 1)] =
                    list[i];
            }
        }
    } catch (...) {
        SvlLog::error("SorvelKvCommerceProductModel.setModel :: out of memory", true);
    }
    return *this;
}

Value::Map SorvelKvCommerceProductModel::getProductDicForPurchase() const noexcept {
    Value::Map dic;
    try {
        dic[Constants::PRODUCT_KEY_ITEM_ID] = Value(platform::crypto::uuidString());
        dic[Constants::PRODUCT_KEY_PRODUCT_ID] = Value(productId_);
        dic[Constants::PRODUCT_KEY_PRODUCT_NAME] = Value(productName_);
        dic[Constants::PRODUCT_KEY_PRICE] = Value(price_);
        dic[Constants::PRODUCT_KEY_QUANTITY] = Value(quantity_);
        dic[Constants::PRODUCT_KEY_DISCOUNT] = Value(discount_);
        dic[Constants::PRODUCT_KEY_SALES] = Value(sales_);
        if (!currencyString_.empty()) {
            dic[Constants::PRODUCT_KEY_CURRENCY] = Value(currencyString_);
        }
        for (const auto& [key, value] : productAttrsMap_.getAttrData()) {
            dic[key] = value;
        }
        for (const auto& [key, category] : categories_) {
            dic[key] = Value(category);
        }
    } catch (...) {
        SvlLog::error("SorvelKvCommerceProductModel.getProductDicForPurchase :: out of memory",
                      true);
    }
    return dic;
}

}  // namespace sorvel
