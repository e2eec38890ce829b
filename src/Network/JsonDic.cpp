#include "Network/JsonDic.h"

namespace sorvel {

const char* describe(JsonError error) noexcept {
    switch (error) {
        case JsonError::dictionaryConvertingError:
            return "Util.jsonString2JsonDic:: can not convert jsonObject to dictionary";
        case JsonError::invalidJsonError:
            return "Util.jsonString2JsonDic:: text is not valid JSON";
    }
    return "Util.jsonString2JsonDic:: unknown error";
}

JsonDicResult FvnUtil::jsonString2JsonDic(std::string_view text) {
    std::optional<Value> v = Value::fromJson(text);
    if (!v) {
        return JsonError::invalidJsonError;
    }
    if (Value::Map* m = v->getMap()) {
        return std::move(*m);
    }
    return JsonError::dictionaryConvertingError;
}

}  // namespace sorvel
