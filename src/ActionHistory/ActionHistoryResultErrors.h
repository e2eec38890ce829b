#pragma once

#include "Network/ApiConnectionError.h"
#include "Network/JsonDic.h"
#include "sorvel/ActionHistoryResult.h"

namespace sorvel {

// The errors of the connection and JSON layers as a message-history result
// carries them: their domain, case number and fixed description.
ActionHistoryResultError toResultError(ApiConnectionError error);
ActionHistoryResultError toResultError(JsonError error);

}  // namespace sorvel
