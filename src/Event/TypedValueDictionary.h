#pragma once

#include <optional>
#include <vector>

#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/Value.h"

// The typed-text form in which event parameters and properties travel.
namespace sorvel::FvnUtil {

// Every value in typed-text form: "string:", "boolean:", "long:",
// "double:" (shortest round-trip text), nested maps converted likewise,
// anything else "string:" and its description. Absent gives an empty map.
Value::Map toTypedValueDictionary(const std::optional<Value::Map>& dictionary);
// The parameters (empty when absent) with "svl:items" = each product's
// dictionary in typed form, in list order.
Value::Map makeItemsParam(const std::optional<std::vector<SorvelKvCommerceProductModel>>& products,
                          const std::optional<Value::Map>& parameters);

}  // namespace sorvel::FvnUtil
