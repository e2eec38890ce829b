#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

// The map's typed form.
Value::Map toTypedMap(const Value::Map& map);

}  // namespace typedtext
}  // namespace sorvel
