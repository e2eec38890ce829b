#include "Common/Constants.h"

#include <gtest/gtest.h>

#include <limits>
#include <mutex>
#include <set>
#include <vector>

#include "Common/SvlLog.h"
#include "sorvel/SorvelKVDelegates.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string hostOf(const std::string& url) {
    auto start = url.find("://");
    if (start == std::string::npos) {
        return "";
    }
    start += 3;
    return url.substr(start, url.find('/', start) - start);
}

struct Endpoints {
    std::string eventBulk, deferred, drworks, gdpr, config, campaigns, webApi;
    std::vector<std::string> hosts() const {
        return {hostOf(eventBulk), hostOf(gdpr), hostOf(config), hostOf(campaigns), hostOf(webApi)};
    }
};

Endpoints current() {
    return {Constants::EVENT_BULK_URL(),  Constants::DEFERRED_DEEPLINK_URL(),
            Constants::DRWORKS_URL(),     Constants::GDPR_URL(),
            Constants::CONFIG_URL(),      Constants::IAM_CAMPAIGNS_URL(),
            Constants::WEB_API_BASE_URL()};
}

TEST(Constants, EndpointsByRegionAndServerMode) {
    testing::FreshSdk sdk;
    std::mutex mu;
    std::vector<std::string> lines;
    SvlLog::flush();
    auto delegate = makeLogDelegate([&](SorvelLogLevel level, const std::string& line) {
        std::lock_guard<std::mutex> lock(mu);
        if (level == SorvelLogLevel::LEVEL_WARNING) {
            lines.push_back(line);
        }
    });
    SvlLog::setDelegateProvider([delegate] { return delegate; });

    const Endpoints before = current();
    enum class Tier { LIVE, STAGING, DEV };
    struct Case {
        std::int64_t mode;
        std::string region;
        std::string servedRegion;
        Tier tier;
    };
    const std::vector<Case> cases = {
        {0, "ap2", "ap2", Tier::LIVE},
        {0, "ap1", "ap1", Tier::LIVE},
        {1, "ap1", "ap1", Tier::DEV},
        {1, "ap2", "ap2", Tier::DEV},
        {2, "ap1", "ap1", Tier::STAGING},
        {2, "ap2", "ap2", Tier::STAGING},
        {3, "ap1", "ap1", Tier::LIVE},
        {-1, "ap1", "ap1", Tier::LIVE},
        {std::numeric_limits<std::int64_t>::max(), "ap2", "ap2", Tier::LIVE},
        {2, "eu1", "ap2", Tier::STAGING},
        {0, "AP1", "ap2", Tier::LIVE},
        {1, "", "ap2", Tier::DEV},
    };
    std::set<std::string> distinctEventUrls;
    std::map<std::pair<std::string, Tier>, std::string> byChoice;
    for (const auto& c : cases) {
        Constants::configureEndpoints(c.mode, c.region);
        const Endpoints e = current();
        const std::string where = "mode " + std::to_string(c.mode) + " region '" + c.region + "'";
        EXPECT_TRUE(endsWith(e.eventBulk, "/api/v6/event/bulk/%@")) << where;
        EXPECT_TRUE(endsWith(e.deferred, "/api/v6/deferred-deeplink/%@")) << where;
        EXPECT_TRUE(endsWith(e.drworks, "/api/v6/drworks/%@")) << where;
        EXPECT_TRUE(endsWith(e.gdpr, "/api/opengdpr_requests")) << where;
        EXPECT_TRUE(endsWith(e.campaigns, "/api/v1/inappmessage/campaigns/get")) << where;
        EXPECT_TRUE(endsWith(e.config, c.tier == Tier::DEV ? "/dev/sdk.config/%@/config.json"
                                                           : "/prod/sdk.config/%@/config.json"))
            << where;
        EXPECT_EQ(hostOf(e.eventBulk), hostOf(e.deferred)) << where;
        EXPECT_EQ(hostOf(e.eventBulk), hostOf(e.drworks)) << where;
        for (const auto& host : e.hosts()) {
            EXPECT_NE(host.find(c.servedRegion), std::string::npos) << where << " " << host;
            EXPECT_EQ(host.find(c.servedRegion == "ap1" ? "ap2" : "ap1"), std::string::npos)
                << host;
            EXPECT_EQ(host.find(".staging.") != std::string::npos, c.tier == Tier::STAGING) << host;
            EXPECT_EQ(host.find(".dev.") != std::string::npos, c.tier == Tier::DEV) << host;
        }
        EXPECT_EQ(e.webApi.rfind("https://", 0), 0u) << where;
        auto [it, fresh] = byChoice.emplace(std::make_pair(c.servedRegion, c.tier), e.eventBulk);
        if (!fresh) {
            EXPECT_EQ(it->second, e.eventBulk) << "same choice, same endpoints: " << where;
        }
        distinctEventUrls.insert(e.eventBulk);
    }
    EXPECT_EQ(distinctEventUrls.size(), 6u) << "two regions times three modes";
    // Before any selection the SDK talks to live ap2.
    EXPECT_EQ(before.eventBulk, byChoice.at({"ap2", Tier::LIVE}));

    SvlLog::flush();
    SvlLog::setDelegateProvider(nullptr);
    std::lock_guard<std::mutex> lock(mu);
    const std::vector<std::string> want = {"unknown Region, region = 'eu1'",
                                           "unknown Region, region = 'AP1'",
                                           "unknown Region, region = ''"};
    EXPECT_EQ(lines, want);
}

TEST(Constants, Fill) {
    EXPECT_EQ(Constants::fill("/api/v6/actionhistory/%@/user/%@", {"KEY", "u 1"}),
              "/api/v6/actionhistory/KEY/user/u 1");
    EXPECT_EQ(Constants::fill("/a/%@/b/%@", {"x"}), "/a/x/b/%@");
    EXPECT_EQ(Constants::fill("/a", {"x"}), "/a");
    EXPECT_EQ(Constants::fill("%@%@", {"%@", "y"}), "%@y");
}

}  // namespace
}  // namespace sorvel
