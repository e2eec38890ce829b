#include "Event/TypedValueDictionary.h"

#include "Base/ValueText.h"
#include "Common/Constants.h"

namespace sorvel {
namespace {

void appendTyped(Value::Map& out, const std::string& key, const Value& v);

Value typed(const Value& v) {
    if (const std::string* s = v.getString()) {
        return Value("string:" + *s);
    }
    if (const bool* b = v.getBool()) {
        return Value(std::string(*b ? "boolean:true" : "boolean:false"));
    }
    if (const std::int64_t* i = v.getInt64()) {
        return Value("long:" + std::to_string(*i));
    }
    if (const std::uint64_t* u = v.getUInt64()) {
        return Value("long:" + std::to_string(*u));
    }
    if (const double* d = v.getDouble()) {
        detail::DoubleText buf;
        return Value("double:" + std::string(detail::formatDouble(*d, buf)));
    }
    if (const Value::Map* m = v.getMap()) {
        Value::Map nested;
        for (const auto& [k, e] : *m) {
            appendTyped(nested, k, e);
        }
        return Value(std::move(nested));
    }
    // Other kinds are sent as a text describing them.
    if (v.isNull()) {
        return Value(std::string("string:<null>"));
    }
    if (const Value::Bytes* bytes = v.getBytes()) {
        return Value("string:" + std::to_string(bytes->size()) + " bytes");
    }
    return Value("string:" + v.render());
}

void appendTyped(Value::Map& out, const std::string& key, const Value& v) {
    out.emplace_hint(out.end(), key, typed(v));
}

}  // namespace

Value::Map FvnUtil::toTypedValueDictionary(const std::optional<Value::Map>& dictionary) {
    Value::Map out;
    if (!dictionary) {
        return out;
    }
    for (const auto& [key, value] : *dictionary) {
        appendTyped(out, key, value);
    }
    return out;
}

Value::Map FvnUtil::makeItemsParam(
    const std::optional<std::vector<SorvelKvCommerceProductModel>>& products,
    const std::optional<Value::Map>& parameters) {
    Value::Map out = parameters.value_or(Value::Map{});
    Value::Array items;
    if (products) {
        items.reserve(products->size());
        for (const auto& product : *products) {
            items.emplace_back(toTypedValueDictionary(product.getProductDicForPurchase()));
        }
    }
    out[Constants::PARAM_KEY_ITEMS] = Value(std::move(items));
    return out;
}

}  // namespace sorvel
