#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <thread>

#include "AutoEventFixture.h"
#include "Event/DeeplinkAutoEventGenerator.h"
#include "Event/DeeplinkParameterSet.h"
#include "Event/DeeplinkPostingObservable.h"
#include "Event/DeeplinkUrl.h"

namespace sorvel::autotest {
namespace {

constexpr std::int64_t kHour = 60 * 60 * 1000;

Value::Map adKeyParams(const std::string& adKey) {
    return {{Constants::PARAM_KEY_DEEPLINK_ADKEY, Value(adKey)},
            {Constants::PARAM_KEY_DEEPLINK_PAYLOAD, Value("app://x?svl_tid=" + adKey)}};
}

Value::Map payloadParams(const std::string& url) {
    return {{Constants::PARAM_KEY_DEEPLINK_PAYLOAD, Value(url)}};
}

class DeeplinkTest : public AutoEventTest {
  protected:
    void SetUp() override {
        AutoEventTest::SetUp();
        set = std::make_shared<DeeplinkParameterSet>(registry);
    }
    std::optional<std::string> storedKey() {
        return registry->getStringOrNil(DataRegistryKey::STRING_LAST_SVL_TID, std::nullopt);
    }
    std::string ncpi(std::int64_t ageMs) { return "ncpi:" + std::to_string(nowMs() - ageMs); }

    std::shared_ptr<DeeplinkParameterSet> set;
    testing::LogCapture logs;
};

TEST_F(DeeplinkTest, AdKeyAgeIsMeasuredInWholeHoursUpTo168) {
    const std::string at168 = ncpi(168 * kHour);
    EXPECT_FALSE(set->isUsedOrExpiredDeeplink(adKeyParams(at168)));
    EXPECT_EQ(storedKey(), at168);

    // 168 h and 59 min still count as 168 whole hours.
    EXPECT_FALSE(set->isUsedOrExpiredDeeplink(adKeyParams(ncpi(169 * kHour - 60000))));
    const std::string at169 = ncpi(169 * kHour);
    EXPECT_TRUE(set->isUsedOrExpiredDeeplink(adKeyParams(at169)));
    EXPECT_TRUE(logs.contains("deeplink_adkey : " + at169 + " is expired!"));

    // The plain form carries its time before the first ":".
    const std::string plain = std::to_string(nowMs() - 2 * kHour) + ":campaign:7";
    EXPECT_FALSE(set->isUsedOrExpiredDeeplink(adKeyParams(plain)));
    EXPECT_TRUE(set->isUsedOrExpiredDeeplink(adKeyParams(plain)));
    EXPECT_TRUE(logs.contains("deeplink_adkey : " + plain + " is already used!"));

    // No ":" means no time, so always expired; a time in the future is young.
    EXPECT_TRUE(set->isUsedOrExpiredDeeplink(adKeyParams("abcdef")));
    EXPECT_FALSE(set->isUsedOrExpiredDeeplink(adKeyParams(ncpi(-1000 * kHour))));

    EXPECT_EQ(DeeplinkParameterSet::parseNcpiParameter("ncpi:1700000000000:x"), 1700000000000);
    EXPECT_EQ(DeeplinkParameterSet::parseNcpiParameter("1700000000000:ncpi"), 1700000000000);
    EXPECT_EQ(DeeplinkParameterSet::parseNcpiParameter("ncpi:"), 0);
    EXPECT_EQ(DeeplinkParameterSet::parseNcpiParameter("ncpi:12x"), 0);
    EXPECT_EQ(DeeplinkParameterSet::parseNcpiParameter("99999999999999999999:x"), 0);
}

TEST_F(DeeplinkTest, AdKeyTimesAtTheEndsOfTheRangeDoNotOverflow) {
    const auto min = std::numeric_limits<std::int64_t>::min();
    const auto max = std::numeric_limits<std::int64_t>::max();
    // Now minus the earliest time would wrap to a negative age; it is expired.
    EXPECT_TRUE(set->isUsedOrExpiredDeeplink(adKeyParams("ncpi:" + std::to_string(min))));
    EXPECT_TRUE(set->isUsedOrExpiredDeeplink(adKeyParams(std::to_string(min) + ":a")));
    EXPECT_FALSE(set->isUsedOrExpiredDeeplink(adKeyParams("ncpi:" + std::to_string(max))));
    clock().setWall(platform::WallTime{});  // the epoch itself
    EXPECT_FALSE(set->isUsedOrExpiredDeeplink(adKeyParams(std::to_string(max) + ":b")));
}

TEST_F(DeeplinkTest, UsedKeysSurviveARestartThroughTheStoredLastKey) {
    const std::string older = ncpi(3 * kHour);
    const std::string last = ncpi(2 * kHour);
    ASSERT_FALSE(set->isUsedOrExpiredDeeplink(adKeyParams(older)));
    ASSERT_FALSE(set->isUsedOrExpiredDeeplink(adKeyParams(last)));
    EXPECT_EQ(set->successParameterSet(), (std::vector<std::string>{older, last}));

    // A new process: the set is empty, the stored key still rejects.
    DeeplinkParameterSet relaunched(makeRegistry());
    EXPECT_TRUE(relaunched.isUsedOrExpiredDeeplink(adKeyParams(last)));

    // The reset of a disable forgets the older key but not the stored one.
    set->clearSuccessParameterSet();
    EXPECT_TRUE(set->successParameterSet().empty());
    EXPECT_TRUE(set->isUsedOrExpiredDeeplink(adKeyParams(last)));
    EXPECT_FALSE(set->isUsedOrExpiredDeeplink(adKeyParams(older)));
    EXPECT_EQ(storedKey(), older);
}

TEST_F(DeeplinkTest, UniversialLinksAreRejectedOnlyWhenMarkedTrue) {
    const std::string marked = "https://go.example.com/p?a=1&is_used_svl_universial_link=true";
    EXPECT_TRUE(set->isUsedOrExpiredDeeplink(payloadParams(marked)));
    EXPECT_TRUE(logs.contains("UniversialLink : " + marked + " is already used!"));
    // A later duplicate wins.
    EXPECT_TRUE(set->isUsedOrExpiredDeeplink(payloadParams(
        "https://e.com/?is_used_svl_universial_link=false&is_used_svl_universial_link=true")));

    for (const std::string url :
         {"https://e.com/?is_used_svl_universial_link=false",
          "https://e.com/?is_used_svl_universial_link=1",
          "https://e.com/?is_used_svl_universial_link=TRUE",
          "https://e.com/?is_used_svl_universial_link", "https://e.com/p", "not a url at all",
          "https://e.com/?is_used_svl_universial_link=true&is_used_svl_universial_link=no"}) {
        // Accepted every time, and nothing is recorded.
        EXPECT_FALSE(set->isUsedOrExpiredDeeplink(payloadParams(url))) << url;
        EXPECT_FALSE(set->isUsedOrExpiredDeeplink(payloadParams(url))) << url;
    }
    // An ad-key that is not text counts as none: the universal-link rule applies.
    Value::Map numericKey = payloadParams(marked);
    numericKey[Constants::PARAM_KEY_DEEPLINK_ADKEY] = Value(std::int64_t{5});
    EXPECT_TRUE(set->isUsedOrExpiredDeeplink(numericKey));
    EXPECT_FALSE(set->isUsedOrExpiredDeeplink({}));
    EXPECT_FALSE(set->isUsedOrExpiredDeeplink(
        {{Constants::PARAM_KEY_DEEPLINK_PAYLOAD, Value(std::int64_t{1})}}));
    EXPECT_TRUE(set->successParameterSet().empty());
    EXPECT_FALSE(storedKey());
}

TEST_F(DeeplinkTest, OneAdKeyIsAcceptedOnceAcrossThreads) {
    const std::string key = ncpi(kHour);
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < 50; ++j) {
                if (!set->isUsedOrExpiredDeeplink(adKeyParams(key))) {
                    ++accepted;
                }
                if (j % 10 == 0) {
                    set->clearSuccessParameterSet();
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    // Cleared sets do not bring it back: the stored key still rejects it.
    EXPECT_EQ(accepted.load(), 1);
}

TEST_F(DeeplinkTest, OddDeeplinksNeverCrashTheParsers) {
    std::vector<std::string> urls = {
        "",
        "?",
        "app://x?svl_tid=&svl_tid=ncpi:1",
        "app://x?svl_tid=ncpi:1&svl_tid=ncpi:2&svl_tracker_id=%ZZ",
        "app://x?svl_tid=%6E%63%70%69%3A1",
        "app://x?svl_tid==::::&svl_tracker_id",
        "app://x?svl_tid=ncpi:-9223372036854775808",
        "app://x?svl_tid=ncpi:9223372036854775808",
        "app://x?svl_tid=ncpi:" + std::string(5000, '9'),
        "app://x#a#b",
        "app://\xff\xfe?svl_tid=1:2",
        std::string("app://x?svl_tid=1\0:2", 20),
        "app://x?" + std::string(1 << 20, '&'),
        "app://x?svl_tid=" + std::string(1 << 20, 'k') + ":1",
    };
    std::mt19937 rng(7);
    const std::string alphabet = "ncpi:%&=?#/svl_tid01239-+ \x01\x80";
    for (int i = 0; i < 300; ++i) {
        std::string s = "app://h?svl_tid=";
        const int n = static_cast<int>(rng() % 40);
        for (int k = 0; k < n; ++k) {
            s.push_back(alphabet[rng() % alphabet.size()]);
        }
        urls.push_back(s);
    }
    const std::string accepted = ncpi(kHour);
    ASSERT_FALSE(set->isUsedOrExpiredDeeplink(adKeyParams(accepted)));
    for (const auto& url : urls) {
        const Value::Map params = FvnUtil::getDeeplinkParameters(url);
        set->isUsedOrExpiredDeeplink(params);
        if (auto it = params.find(Constants::PARAM_KEY_DEEPLINK_ADKEY); it != params.end()) {
            DeeplinkParameterSet::parseNcpiParameter(*it->second.getString());
        }
    }
    // What was accepted before is still known.
    EXPECT_TRUE(set->isUsedOrExpiredDeeplink(adKeyParams(accepted)));
}

TEST_F(DeeplinkTest, DeeplinkOpenIsRaisedOncePerStoredTrackingLink) {
    EventRecorder events;
    auto sink = std::make_shared<StringSink>();
    DeeplinkPostingObservable::shared().addObserver(sink);
    DeeplinkAutoEventGenerator generator(registry, set, events.action());

    generator.handleDeeplink();  // nothing stored
    EXPECT_EQ(events.count(), 0u);

    const std::string url = "app://shop/item?svl_tid=" + ncpi(kHour) + "&svl_tracker_id=tr9";
    registry->putString(url, DataRegistryKey::STRING_DEEPLINK_URL);
    generator.handleDeeplink();
    ASSERT_EQ(events.count(), 1u);
    const LogEventParameter e = events.events()[0];
    EXPECT_EQ(e.group, "svl");
    EXPECT_EQ(e.eventName, "deeplink_open");
    EXPECT_FALSE(e.prevId);
    EXPECT_EQ(e.sessionInterval, 0);
    EXPECT_EQ(e.sessionLength, 0);
    EXPECT_EQ(stringParam(e, "svl:deeplink_payload"), "string:" + url);
    EXPECT_EQ(stringParam(e, "svl:svl_tracker_id"), "string:tr9");
    EXPECT_EQ(registry->getStringOrNil(DataRegistryKey::STRING_LAST_DEEPLINK_ID, std::nullopt),
              e.eventId);
    EXPECT_EQ(registry->getStringOrNil(DataRegistryKey::STRING_LAST_OPEN_ID, std::nullopt),
              e.eventId);
    EXPECT_EQ(sink->values(), std::vector<std::string>{url});
    EXPECT_FALSE(registry->getStringOrNil(DataRegistryKey::STRING_DEEPLINK_URL, std::nullopt));

    // The same link again: already used, nothing raised or posted.
    registry->putString(url, DataRegistryKey::STRING_DEEPLINK_URL);
    generator.handleDeeplink();
    // A link without the SDK's query items: an error line, nothing else.
    registry->putString(std::string("app://shop/item?x=1"), DataRegistryKey::STRING_DEEPLINK_URL);
    generator.handleDeeplink();
    EXPECT_TRUE(logs.contains("There is no sorvel deeplink parameter in Activity!"));
    EXPECT_EQ(events.count(), 1u);
    EXPECT_EQ(sink->count(), 1u);
}

}  // namespace
}  // namespace sorvel::autotest
