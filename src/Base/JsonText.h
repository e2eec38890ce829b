#pragma once

#include <string>
#include <string_view>

#include "sorvel/Value.h"

namespace sorvel::json {

// Compact JSON appended to a text being built, byte for byte as
// Value::toJson() writes the same value, so a body can be put together from
// pieces (some written once and kept) without first building one Value of it.
void appendValue(std::string& out, const Value& value);
void appendMap(std::string& out, const Value::Map& map);
// A JSON string: quoted, escaped, ill-formed UTF-8 replaced.
void appendString(std::string& out, std::string_view text);

}  // namespace sorvel::json
