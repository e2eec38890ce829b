#pragma once

#include <string_view>
#include <variant>

#include "sorvel/Value.h"

namespace sorvel {

enum class JsonError {
    // Valid JSON whose top level is not an object.
    dictionaryConvertingError,
    // Not JSON at all.
    invalidJsonError,
};
const char* describe(JsonError error) noexcept;
using JsonDicResult = std::variant<Value::Map, JsonError>;

namespace FvnUtil {

// The text as a JSON object, or why it is none.
JsonDicResult jsonString2JsonDic(std::string_view text);

}  // namespace FvnUtil

}  // namespace sorvel
