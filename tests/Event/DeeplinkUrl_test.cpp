#include "Event/DeeplinkUrl.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "sorvel/SorvelKVDelegates.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using testing::DelegateLog;

using DeeplinkUrlTest = testing::RegistryTest;

TEST_F(DeeplinkUrlTest, StoredUrlIsHandedOutOnce) {
    registry.putString(std::string("app://x?svl_tid=1"), DataRegistryKey::STRING_DEEPLINK_URL);
    EXPECT_EQ(FvnUtil::popStoredDeeplinkUrl(registry), "app://x?svl_tid=1");
    EXPECT_EQ(FvnUtil::popStoredDeeplinkUrl(registry), std::nullopt);
}

TEST_F(DeeplinkUrlTest, DeeplinkParameters) {
    struct Case {
        std::string url;
        std::optional<std::string> adkey;
        std::optional<std::string> tracker;
        bool parsable;
    };
    const std::vector<Case> cases = {
        {"myapp://open?svl_tid=1700000000000:abc&svl_tracker_id=t1", "1700000000000:abc", "t1",
         true},
        {"https://ex.example/p?svl_tid=ab%20c", "ab c", std::nullopt, true},
        {"https://ex.example/p?x=1&svl_tracker_id=t%2B2#frag", std::nullopt, "t+2", true},
        {"https://ex.example/p?svl_tid=&x=1", "", std::nullopt, true},
        {"https://ex.example/p?svl_tid=first&svl_tid=second", "first", std::nullopt, true},
        // The first item of a name decides, even when it has no value.
        {"https://ex.example/p?svl_tid&svl_tid=late&svl_tracker_id&svl_tracker_id=t", std::nullopt,
         std::nullopt, true},
        {"https://ex.example/p#svl_tid=inFragment", std::nullopt, std::nullopt, true},
        {"plain", std::nullopt, std::nullopt, true},
        {"my app://x?svl_tid=1", std::nullopt, std::nullopt, false},
        {"https://ex.example/?svl_tid=%zz", std::nullopt, std::nullopt, false},
    };
    DelegateLog log;
    int unparsable = 0;
    for (const auto& c : cases) {
        const Value::Map p = FvnUtil::getDeeplinkParameters(c.url);
        if (!c.parsable) {
            ++unparsable;
            EXPECT_TRUE(p.empty()) << c.url;
            EXPECT_FALSE(FvnUtil::isSorvelDeeplink(p, c.url, registry));
            continue;
        }
        EXPECT_EQ(p.at("svl:deeplink_payload"), Value(c.url));
        auto get = [&p](const char* k) -> std::optional<std::string> {
            auto it = p.find(k);
            return it == p.end() ? std::nullopt
                                 : std::optional<std::string>(*it->second.getString());
        };
        EXPECT_EQ(get("svl:deeplink_adkey"), c.adkey) << c.url;
        EXPECT_EQ(get("svl:svl_tracker_id"), c.tracker) << c.url;
        EXPECT_EQ(FvnUtil::isSorvelDeeplink(p, c.url, registry),
                  c.adkey.has_value() || c.tracker.has_value())
            << c.url;
    }
    EXPECT_EQ(log.count("ERROR :: Uri is null or parameter doesn't exist in "), unparsable);
    EXPECT_GT(log.count("tracking-link URL form check is not applied"), 0);
    // A huge URL is only text.
    const std::string huge = "app://x?svl_tid=" + std::string(1 << 20, 'a');
    EXPECT_EQ(FvnUtil::getDeeplinkParameters(huge).at("svl:deeplink_adkey").getString()->size(),
              std::size_t{1} << 20);
}

}  // namespace
}  // namespace sorvel
