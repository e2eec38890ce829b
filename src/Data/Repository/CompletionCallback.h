#pragma once

#include <functional>

#include "sorvel/Completion.h"

namespace sorvel {

// The completion of initialise, delete-user-data and restart.
using CompletionCallback = std::function<void(Completion)>;

}  // namespace sorvel
