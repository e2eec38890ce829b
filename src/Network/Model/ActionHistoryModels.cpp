#include "Network/Model/ActionHistoryModels.h"

#include "Common/Constants.h"

namespace sorvel {

Value::Map ActionHistoryConditionModel::toDictionary() const {
    Value::Array types;
    types.reserve(actionType.size());
    for (const auto& t : actionType) {
        types.emplace_back(t);
    }
    return Value::Map{
        {"action_type", Value(std::move(types))},
        {"skip", Value(skip)},
        {"limit", Value(limit)},
        {"from_timestamp", Value(fromTimeStamp)},
        {"to_timestamp", Value(toTimeStamp)},
        {"ascending", Value(ascending)},
        {"user_id", Value(id)},
    };
}

std::string ActionHistoryQueryModel::getUrl() const {
    return Constants::WEB_API_BASE_URL() + Constants::ACTION_HISTORY_LIST_PATH;
}

Value::Map ActionHistoryQueryModel::toDictionary() const {
    return Value::Map{{"common", Value(common)}, {"condition", Value(condition)}};
}

std::string ActionHistoryDeleteModel::getUrl() const {
    std::string url = Constants::WEB_API_BASE_URL();
    url += "/api/v6/actionhistory/";
    url += percentEncodePathSegment(appkey);
    url += actionHistoryDeleteType == ActionHistoryIdType::ADID ? "/device/" : "/user/";
    url += percentEncodePathSegment(id);
    if (historyId) {
        url += '/';
        url += percentEncodePathSegment(*historyId);
        url += '/';
        url += std::to_string(timestamp);
    }
    return url;
}

Value::Map ActionHistoryDeleteModel::toDictionary() const {
    return Value::Map{{"common", Value(common)}};
}

// "." is written as %2E too: a segment "." or ".." would otherwise be taken as
// a step up the path.
std::string percentEncodePathSegment(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        const bool unreserved = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                                (b >= '0' && b <= '9') || b == '-' || b == '_' || b == '~';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        }
    }
    return out;
}

}  // namespace sorvel
