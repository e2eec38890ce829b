#include "Event/UserPropertyRules.h"

#include <algorithm>

#include "Base/TextUnits.h"
#include "Common/Constants.h"
#include "Common/SvlLog.h"

namespace sorvel {

bool FvnUtil::isSameUserId(const std::string& userId, const Value::Map& userProperties) {
    auto it = userProperties.find(Constants::PARAM_KEY_USER_ID);
    if (it == userProperties.end()) {
        return false;
    }
    const std::string* stored = it->second.getString();
    return stored != nullptr && *stored == userId;
}

std::pair<bool, std::string> FvnUtil::checkUserPropertyKey(const std::string& key) {
    // The common key passes every rule below untouched: check it in one pass.
    if (!key.empty() &&
        key.size() <= static_cast<std::size_t>(Constants::MAX_USER_PROPERTY_KEY_LENGTH) &&
        std::all_of(key.begin(), key.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        })) {
        return {true, key};
    }
    if (key.empty()) {
        SvlLog::debug(
            "UserProperty Key 에는 빈값을 사용할 수 없습니다. 호출은 무시됩니다. Input key : " +
                key,
            true);
        return {false, key};
    }
    std::string usable = key;
    if (usable.find('-') != std::string::npos) {
        for (char& c : usable) {
            if (c == '-') {
                c = '_';
            }
        }
        SvlLog::debug(
            "UserProperty Key 에는 '-' 를 사용할 수 없어 '_' 로 바꿔 사용합니다. Input key : " +
                key,
            true);
    }
    if (text::codePointCount(usable) >
        static_cast<std::size_t>(Constants::MAX_USER_PROPERTY_KEY_LENGTH)) {
        SvlLog::debug(
            "UserProperty Key 는 50자를 넘을 수 없습니다. 호출은 무시됩니다. Input key : " + key,
            true);
        return {false, usable};
    }
    for (char c : usable) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) {
            SvlLog::debug(
                "UserProperty Key는 소문자 알파벳, 숫자, 언더바만 사용할 수 있습니다. 호출은 "
                "무시됩니다. Input key : " +
                    key,
                true);
            return {false, usable};
        }
    }
    return {true, usable};
}

}  // namespace sorvel
