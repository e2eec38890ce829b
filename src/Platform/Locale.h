#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sorvel::platform {

// The user's preferred languages, most preferred first, as language tags
// ("en-US", "zh-Hant-TW"). They come from the environment the way a Linux
// desktop states them: LANGUAGE (a colon-separated list), else the first of
// LC_ALL, LC_MESSAGES and LANG that names a language ("ko_KR.UTF-8" gives
// "ko-KR"; "C" and "POSIX" name none). When nothing names a language the
// process runs in the C locale, whose messages are English: the list is
// "en", as a device always has a language. A host may set the list instead
// (host::setPreferredLanguages).
class Locale {
  public:
    static std::vector<std::string> preferredLanguages();

    // "en_US.UTF-8@euro" -> "en-US"; absent for "C", "POSIX" and empty text.
    static std::optional<std::string> tagFromPosixLocale(const std::string& posix);
};

}  // namespace sorvel::platform
