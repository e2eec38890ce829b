#pragma once

#include <string>
#include <utility>

#include "sorvel/Value.h"

// The rules a user property's key and the user id follow.
namespace sorvel::FvnUtil {

// Whether the user properties hold the id as a string under "svl:user_id".
bool isSameUserId(const std::string& userId, const Value::Map& userProperties);
// (usable, key to use): empty keys refused; "-" becomes "_"; more than 50
// characters refused; anything but [a-z0-9_] refused. Each case logs.
std::pair<bool, std::string> checkUserPropertyKey(const std::string& key);

}  // namespace sorvel::FvnUtil
