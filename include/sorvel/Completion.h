#pragma once

#include <cstdint>

namespace sorvel {

/// Outcome handed to the initialisation, delete-user-data and restart completions.
enum class Completion : std::int64_t {
    SUCCESS = 0,
    FAILURE = 1,
};

}  // namespace sorvel
