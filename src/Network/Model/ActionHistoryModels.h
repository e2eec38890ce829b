#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Network/ApiModel.h"
#include "sorvel/ActionHistoryResult.h"

namespace sorvel {

// The condition of a message-history list query. "ascending" is always true.
struct ActionHistoryConditionModel : IDataModel {
    std::vector<std::string> actionType;  // "action_type"
    std::int64_t skip = 0;                // "skip"
    std::int64_t limit = 0;               // "limit"
    std::int64_t fromTimeStamp = 0;       // "from_timestamp"
    std::int64_t toTimeStamp = 0;         // "to_timestamp"
    static constexpr bool ascending = true;
    std::string id;  // "user_id", for both id types

    Value::Map toDictionary() const override;
};

// POST {web-api}/api/v6/actionhistory/List with {"common", "condition"}.
struct ActionHistoryQueryModel : IApiModel {
    Value::Map common;
    Value::Map condition;

    std::string getUrl() const override;
    Value::Map toDictionary() const override;
};

// DELETE {web-api}/api/v6/actionhistory/{appkey}/{user|device}/{id}, and for
// one entry /{historyId}/{timestamp}; the body holds only "common". Every
// path segment is percent-encoded, so an id holding "/", "?", "#" or a blank
// still names its own path.
struct ActionHistoryDeleteModel : IApiModel {
    Value::Map common;
    std::string appkey;
    std::string id;
    std::optional<std::string> historyId;
    std::int64_t timestamp = 0;
    ActionHistoryIdType actionHistoryDeleteType = ActionHistoryIdType::USER_ID;

    std::string getUrl() const override;
    Value::Map toDictionary() const override;
};

// The text as one URL path segment: every byte but letters, digits, "-", "_"
// and "~" written as %XX.
std::string percentEncodePathSegment(std::string_view text);

}  // namespace sorvel
