#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sorvel/Export.h"
#include "sorvel/SorvelKvAttrModel.h"
#include "sorvel/Value.h"

namespace sorvel {

/// A product's category path, top level first.
class SORVEL_API SorvelKvCommerceProductCategoryModel {
  public:
    SorvelKvCommerceProductCategoryModel() = default;

    /// The category strings, top level first; absent or empty: no category.
    std::optional<std::vector<std::string>> categoryStringArr = std::vector<std::string>{};

    /// Replaces the list as given (no trimming, no limit); returns the model.
    SorvelKvCommerceProductCategoryModel& setModel(std::vector<std::string> categoryArr) noexcept;
};

/// One product of a commerce or purchase event. A plain value: copy it freely;
/// it has no lock. A paged event reads its copy later on the SDK's queue.
class SORVEL_API SorvelKvCommerceProductModel {
  public:
    SorvelKvCommerceProductModel() = default;

    /// Fills the model and returns it:
    ///  - the scalars as given; sales = (price - discount) * quantity, unchecked;
    ///  - the currency string, or "" when absent;
    ///  - attributes (when given and holding data): the first 100 keys in map
    ///    order are considered, each kept when it is shorter than 50 characters
    ///    and passes the user-property key rules, with its value when that is a
    ///    string, Boolean, integer or double; a 101st key ends the walk with a
    ///    QA-only warning. The result replaces the product's attributes;
    ///  - categories (when given and not empty): "svl:category<i>" = the i-th
    ///    string, from 1; entries under other numbers stay.
    SorvelKvCommerceProductModel& setModel(
        const std::string& productId, const std::string& productName, double price,
        std::int64_t quantity, double discount, const std::optional<std::string>& currencyString,
        const std::optional<SorvelKvCommerceProductCategoryModel>& categories,
        const std::optional<SorvelKvAttrModel>& productAttrsMap) noexcept;

    /// The product dictionary, built fresh on every call with a new
    /// "svl:item_id": product id, name, price, quantity, discount, sales,
    /// "svl:currency" when not empty, then the attributes, then the categories.
    Value::Map getProductDicForPurchase() const noexcept;

  private:
    std::string productId_;
    std::string productName_;
    std::int64_t quantity_ = 1;
    double price_ = 0;
    double discount_ = 0;
    double sales_ = 0;
    std::string currencyString_;
    SorvelKvAttrModel productAttrsMap_;
    std::map<std::string, std::string> categories_;
};

}  // namespace sorvel
