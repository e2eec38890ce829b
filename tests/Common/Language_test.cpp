#include "Common/Language.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Host.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

class LanguageTest : public ::testing::Test {
  protected:
    testing::FreshSdk sdk{true};
};

TEST_F(LanguageTest, LanguageFromPreferredLanguages) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"en-US"}, "EN"}, {{"zh-Hant-TW"}, "ZH-HANT"}, {{"ko"}, "KO"}, {{"fr-CA", "en"}, "FR"},
        {{}, ""},
    };
    for (const auto& [langs, want] : cases) {
        platform::host::setPreferredLanguages(langs);
        EXPECT_EQ(FvnUtil::getLanguage(), want);
    }
    platform::host::setPreferredLanguages(std::nullopt);

    struct EnvCase {
        const char* language;
        const char* lcAll;
        const char* lang;
        const char* want;
    };
    const std::vector<EnvCase> envCases = {
        {"", "", "ko_KR.UTF-8", "KO"},
        {"pt_BR:en", "", "ko_KR.UTF-8", "PT"},
        {"", "de_DE.UTF-8@euro", "ko_KR.UTF-8", "DE"},
        {"", "C", "ja_JP.UTF-8", "JA"},
        // The C locale's language is English.
        {"", "", "C", "EN"},
        {"", "", "C.UTF-8", "EN"},
        {"C", "POSIX", "", "EN"},
    };
    std::map<std::string, std::optional<std::string>> saved;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        saved[name] = v ? std::optional<std::string>(v) : std::nullopt;
    }
    for (const auto& c : envCases) {
        setenv("LANGUAGE", c.language, 1);
        setenv("LC_ALL", c.lcAll, 1);
        unsetenv("LC_MESSAGES");
        setenv("LANG", c.lang, 1);
        EXPECT_EQ(FvnUtil::getLanguage(), c.want) << c.language << "|" << c.lcAll << "|" << c.lang;
    }
    for (const auto& [name, v] : saved) {
        if (v) {
            setenv(name.c_str(), v->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
}

}  // namespace
}  // namespace sorvel
