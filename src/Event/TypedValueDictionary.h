#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sorvel/SorvelKvCommerceProductModel.h"
#include "sorvel/Value.h"

namespace sorvel {

// How an event's parameters are held on their way to the package text.
enum class ParamForm : std::uint8_t {
    // Already in typed-text form: every value a "string:", "boolean:",
    // "long:" or "double:" text or a map of such; what stored events and the
    // SDK's own events carry. Written as they are.
    prefixed,
    // As the caller gave them: each value gets its type prefix only when the
    // event is written as JSON, so no second map of texts is built for it.
    native,
};

// An app's own parameters as one run of entries, sorted by key, each key
// once: what the record call copies of an attribute map, in one allocation
// where the map takes one per entry (keys and short texts stay inline). Read,
// checked and written exactly as the map of the same entries would be.
using ParamList = std::vector<std::pair<std::string, Value>>;

// The map's entries, in its order.
ParamList toParamList(const Value::Map& map);
// The same, taking the keys and values out of the map.
ParamList toParamList(Value::Map&& map);
// The value under the key, or null.
const Value* findParam(const ParamList& list, std::string_view key);

// The typed-text form of values: the type and the value in one text
// ("string:abc", "boolean:true", "long:-5", "double:0.5"), nested maps
// converted likewise. Null, bytes and lists, which the form has no type for,
// become "string:" and a description of them.
namespace typedtext {

// The typed text of a value that is not a map.
std::string text(const Value& value);

// The size of text(value), built only for a list.
std::size_t textSize(const Value& value);

// Appends the compact JSON of the map's typed form, byte for byte as the
// typed map would be written, without building it.
void appendJson(std::string& out, const Value::Map& map);

// A number the SDK adds to a native map when it is written, under a key of
// its own (over the map's entry with that key, if any).
struct AddedNumber {
    std::string_view key;
    std::uint64_t value;
};
// appendJson() of the map with the numbers added, given in key order.
void appendJson(std::string& out, const Value::Map& map, std::span<const AddedNumber> added);
// The same for the entries of a list, byte for byte as their map.
void appendListJson(std::string& out, const ParamList& list, std::span<const AddedNumber> added);

// The map's typed form.
Value::Map toTypedMap(const Value::Map& map);
// The typed form of the list's entries.
Value::Map toTypedListMap(const ParamList& list);

}  // namespace typedtext

// The typed-text form in which event parameters and properties travel.
namespace FvnUtil {

// Every value in typed-text form: "string:", "boolean:", "long:",
// "double:" (shortest round-trip text), nested maps converted likewise,
// anything else "string:" and its description. Absent gives an empty map.
Value::Map toTypedValueDictionary(const std::optional<Value::Map>& dictionary);
// The parameters (empty when absent) with "svl:items" = each product's
// dictionary in typed form, in list order.
Value::Map makeItemsParam(const std::optional<std::vector<SorvelKvCommerceProductModel>>& products,
                          const std::optional<Value::Map>& parameters);

}  // namespace FvnUtil
}  // namespace sorvel
