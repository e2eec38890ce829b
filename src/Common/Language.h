#pragma once

#include <string>

namespace sorvel::FvnUtil {

// The first preferred language without its last subtag, upper-cased
// ("en-US" -> "EN", "zh-Hant-TW" -> "ZH-HANT"); "" when none is listed.
std::string getLanguage();

}  // namespace sorvel::FvnUtil
