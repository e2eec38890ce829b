#pragma once

#include <cstdint>

namespace sorvel {

/// Level of a log line handed to the app's log delegate. The enumerators carry
/// a prefix because apps often define DEBUG or ERROR as macros.
enum class SorvelLogLevel : std::int64_t {
    LEVEL_NONE = 0,
    LEVEL_TRACE = 1,
    LEVEL_DEBUG = 2,
    LEVEL_INFO = 3,
    LEVEL_WARNING = 4,
    LEVEL_ERROR = 5,
};

}  // namespace sorvel
