#include "Event/TypedValueDictionary.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

#include "Base/JsonText.h"
#include "Base/ValueText.h"
#include "Common/Constants.h"

namespace sorvel::typedtext {
namespace {

constexpr std::string_view kString = "string:";

// The typed text of a value that is neither text, a list nor a map, which
// always fits a small buffer: a prefix, then at most 24 characters.
class ScalarText {
  public:
    explicit ScalarText(const Value& v) {
        if (const bool* b = v.getBool()) {
            put(*b ? "boolean:true" : "boolean:false");
        } else if (const std::int64_t* i = v.getInt64()) {
            number("long:", *i);
        } else if (const std::uint64_t* u = v.getUInt64()) {
            number("long:", *u);
        } else if (const double* d = v.getDouble()) {
            detail::DoubleText digits;
            put("double:");
            put(detail::formatDouble(*d, digits));
        } else if (const Value::Bytes* bytes = v.getBytes()) {
            number("string:", bytes->size());
            put(" bytes");
        } else {
            put("string:<null>");
        }
    }
    std::string_view view() const { return {buf_.data(), size_}; }

  private:
    void put(std::string_view s) {
        s.copy(buf_.data() + size_, s.size());
        size_ += s.size();
    }
    template <typename N>
    void number(std::string_view prefix, N n) {
        put(prefix);
        const auto res = std::to_chars(buf_.data() + size_, buf_.data() + buf_.size(), n);
        size_ = static_cast<std::size_t>(res.ptr - buf_.data());
    }

    std::array<char, 72> buf_{};
    std::size_t size_ = 0;
};

void appendValue(std::string& out, const Value& v) {
    if (const Value::Map* m = v.getMap()) {
        appendJson(out, *m);
    } else if (const std::string* s = v.getString()) {
        json::appendString(out, kString, *s);
    } else if (v.isArray()) {
        json::appendString(out, kString, v.render());
    } else {
        // Plain ASCII, nothing to escape.
        out += '"';
        out += ScalarText(v).view();
        out += '"';
    }
}

}  // namespace

std::string text(const Value& value) {
    if (const std::string* s = value.getString()) {
        std::string out;
        out.reserve(kString.size() + s->size());
        out.append(kString).append(*s);
        return out;
    }
    if (value.isArray() || value.isMap()) {
        return std::string(kString) + value.render();
    }
    return std::string(ScalarText(value).view());
}

std::size_t textSize(const Value& value) {
    if (const std::string* s = value.getString()) {
        return kString.size() + s->size();
    }
    if (value.isArray() || value.isMap()) {
        return kString.size() + value.render().size();
    }
    return ScalarText(value).view().size();
}

void appendJson(std::string& out, const Value::Map& map) {
    appendJson(out, map, {});
}

namespace {

// Both kinds of parameters iterate their entries in key order.
template <typename Entries>
void appendEntries(std::string& out, const Entries& entries, std::span<const AddedNumber> added) {
    out += '{';
    bool first = true;
    auto member = [&](std::string_view key) {
        if (!first) {
            out += ',';
        }
        first = false;
        json::appendString(out, key);
        out += ':';
    };
    auto next = added.begin();
    // Writes the added numbers up to the key (all when null); true when one
    // of them had that key.
    auto addUpTo = [&](const std::string* key) {
        bool same = false;
        for (; next != added.end() && (key == nullptr || next->key <= *key); ++next) {
            same = same || (key != nullptr && next->key == *key);
            member(next->key);
            out += '"';
            out += ScalarText(Value(next->value)).view();
            out += '"';
        }
        return same;
    };
    for (const auto& [key, value] : entries) {
        if (!addUpTo(&key)) {
            member(key);
            appendValue(out, value);
        }
    }
    addUpTo(nullptr);
    out += '}';
}

template <typename Entries>
Value::Map typedMapOf(const Entries& entries) {
    Value::Map out;
    for (const auto& [key, value] : entries) {
        const Value::Map* nested = value.getMap();
        out.emplace_hint(out.end(), key,
                         nested != nullptr ? Value(toTypedMap(*nested)) : Value(text(value)));
    }
    return out;
}

}  // namespace

void appendJson(std::string& out, const Value::Map& map, std::span<const AddedNumber> added) {
    appendEntries(out, map, added);
}

void appendListJson(std::string& out, const ParamList& list, std::span<const AddedNumber> added) {
    appendEntries(out, list, added);
}

Value::Map toTypedMap(const Value::Map& map) {
    return typedMapOf(map);
}

Value::Map toTypedListMap(const ParamList& list) {
    return typedMapOf(list);
}

}  // namespace sorvel::typedtext

namespace sorvel {

ParamList toParamList(const Value::Map& map) {
    ParamList list;
    list.reserve(map.size());
    for (const auto& [key, value] : map) {
        list.emplace_back(key, value);
    }
    return list;
}

ParamList toParamList(Value::Map&& map) {
    ParamList list;
    list.reserve(map.size());
    while (!map.empty()) {
        auto node = map.extract(map.begin());
        list.emplace_back(std::move(node.key()), std::move(node.mapped()));
    }
    return list;
}

const Value* findParam(const ParamList& list, std::string_view key) {
    const auto it = std::lower_bound(list.begin(), list.end(), key,
                                     [](const std::pair<std::string, Value>& entry,
                                        std::string_view k) { return entry.first < k; });
    return it != list.end() && it->first == key ? &it->second : nullptr;
}

Value::Map FvnUtil::toTypedValueDictionary(const std::optional<Value::Map>& dictionary) {
    return dictionary ? typedtext::toTypedMap(*dictionary) : Value::Map{};
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
