#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Base/Url.h"
#include "Platform/Clock.h"
#include "Platform/UI/Color.h"
#include "sorvel/Value.h"

// Helpers over values, text, dates and URLs, as free functions.
namespace sorvel::ext {

// ---- Dictionary / Array -------------------------------------------------

// Failure texts returned in place of JSON; callers use the result only in log lines.
inline constexpr const char* TO_JSON_FORMAT_EXCEPTION = "toJsonFormat Exception";
inline constexpr const char* TO_JSON_FORMAT_DATA_EMPTY = "toJsonFormat jsonData empty";
inline constexpr const char* TO_JSON_FORMAT_STRING_NIL = "toJsonFormat jsonString nil";

// Pretty-printed JSON text of the map, or a failure text when the map holds
// something JSON cannot carry (a non-finite number, raw bytes). Never logs.
std::string toJsonFormat(const Value::Map& map);
std::string toJsonFormat(const Value::Array& array);
// The same JSON text, absent on any failure.
std::optional<std::string> toJsonString(const Value::Map& map);

// ( "a","b" ) for an IN clause; an embedded double quote is doubled so an
// item can never close its literal early. An empty list gives "(  )".
std::string toSqlInList(const std::vector<std::string>& items);

// The element at the index, absent when the index is out of range (negative
// indexes included).
template <typename T>
std::optional<T> safeGet(const std::vector<T>& array, std::int64_t index) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= array.size()) {
        return std::nullopt;
    }
    return array[static_cast<std::size_t>(index)];
}

// ---- String -------------------------------------------------------------

// The JSON object of the text, absent when it is not JSON or not an object.
std::optional<Value::Map> toDictionary(std::string_view text);
// The JSON array of the text, absent when it is not JSON or not an array.
std::optional<Value::Array> toArray(std::string_view text);
// The text as a signed 64-bit decimal integer (optional sign, digits only);
// absent, with an error line, when it is not one or out of range.
std::optional<std::int64_t> toInt64(std::string_view text);
// The characters (code points) from index i to the end. An empty text, a
// negative i or an i not below the length give "" and a QA-only warning.
std::string substringFrom(std::string_view text, std::int64_t i);

// ---- Date / Data / URL --------------------------------------------------

// Epoch milliseconds, rounded to the nearest millisecond, halves away from zero.
std::int64_t toMillis(platform::WallTime date);

// The URL's query items, names and values percent-decoded; an item without
// "=" has no value. In order of appearance.
struct QueryItem {
    std::string name;
    std::optional<std::string> value;
};
std::vector<QueryItem> queryItems(const text::UrlParts& url);

// The URL's query split on "&" and each part at its first "=" (no decoding);
// a part without "=" is left out; a later duplicate wins.
std::map<std::string, std::string> queryParameters(std::string_view url);

// ---- Colour and text alignment -----------------------------------------

// The platform's colour, so a parsed colour goes straight onto a view.
using Color = platform::Color;

// "#RRGGBB" or "#AARRGGBB" (the "#" optional, blanks around ignored, any
// case); any other length, or an absent text, gives the default. Hex reading
// stops at the first non-hex character, keeping what it read.
Color initHex(const std::optional<std::string>& hex, const Color& defaultColor);

using TextAlignment = platform::TextAlignment;
// "center", "right", "left" exactly; anything else is centred.
TextAlignment toTextAlignment(const std::optional<std::string>& text);

}  // namespace sorvel::ext
