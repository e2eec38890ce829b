#include "Common/Language.h"

#include <vector>

#include "Platform/Locale.h"

namespace sorvel {

std::string FvnUtil::getLanguage() {
    const std::vector<std::string> languages = platform::Locale::preferredLanguages();
    if (languages.empty()) {
        return "";
    }
    std::string tag = languages.front();
    if (auto last = tag.rfind('-'); last != std::string::npos) {
        tag.erase(last);
    }
    // ASCII only: std::toupper follows the C locale the app may have set
    // (in a Turkish 8-bit locale "i" would become a non-ASCII byte).
    for (char& c : tag) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return tag;
}

}  // namespace sorvel
