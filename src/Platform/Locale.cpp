#include "Platform/Locale.h"

#include <cstdlib>

#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"

namespace sorvel::platform {
namespace {

struct LocaleState {
    Mutex mu;
    std::optional<std::vector<std::string>> languages GUARDED_BY(mu);

    LocaleState() {
        registerResetHook([this] {
            MutexLock lock(mu);
            languages.reset();
        });
    }
};

LocaleState& localeState() {
    static NoDestructor<LocaleState> s;
    return s.get();
}

std::string envValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

}  // namespace

std::optional<std::string> Locale::tagFromPosixLocale(const std::string& posix) {
    std::string tag = posix.substr(0, posix.find_first_of(".@"));
    if (tag.empty() || tag == "C" || tag == "POSIX") {
        return std::nullopt;
    }
    for (char& c : tag) {
        if (c == '_') {
            c = '-';
        }
    }
    return tag;
}

std::vector<std::string> Locale::preferredLanguages() {
    {
        auto& s = localeState();
        MutexLock lock(s.mu);
        if (s.languages) {
            return *s.languages;
        }
    }
    std::vector<std::string> out;
    // LANGUAGE lists the user's languages in order of preference.
    std::string list = envValue("LANGUAGE");
    std::size_t start = 0;
    while (start <= list.size() && !list.empty()) {
        std::size_t end = list.find(':', start);
        std::string item = list.substr(start, end == std::string::npos ? end : end - start);
        if (auto tag = tagFromPosixLocale(item)) {
            out.push_back(*tag);
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    if (!out.empty()) {
        return out;
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (auto tag = tagFromPosixLocale(envValue(name))) {
            out.push_back(*tag);
            return out;
        }
    }
    // "C", "C.UTF-8", "POSIX" or nothing set: the C locale, which speaks
    // English. Without it a machine in the C locale (a container, a service,
    // a terminal with LANG=C.UTF-8) would have no language at all, and no
    // text keyed by language would ever apply.
    out.emplace_back("en");
    return out;
}

namespace host {

void setPreferredLanguages(std::optional<std::vector<std::string>> languages) {
    auto& s = localeState();
    MutexLock lock(s.mu);
    s.languages = std::move(languages);
}

}  // namespace host

}  // namespace sorvel::platform
