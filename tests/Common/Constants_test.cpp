#include "Common/Constants.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <set>
#include <vector>

#include "Platform/Host.h"
#include "Platform/Http.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

std::string hostOf(const std::string& url) {
    const auto start = url.find("://") + 3;
    return url.substr(start, url.find('/', start) - start);
}

TEST(Constants, EndpointsByRegionAndServerMode) {
    testing::FreshSdk sdk;
    testing::DelegateLog log;
    const std::string before = Constants::EVENT_BULK_URL();
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
        // An unknown mode is live; an unknown region is ap2, with a warning.
        {-1, "ap1", "ap1", Tier::LIVE},
        {std::numeric_limits<std::int64_t>::max(), "ap2", "ap2", Tier::LIVE},
        {2, "eu1", "ap2", Tier::STAGING},
        {0, "AP1", "ap2", Tier::LIVE},
        {1, "", "ap2", Tier::DEV},
    };
    std::map<std::pair<std::string, Tier>, std::string> byChoice;
    for (const auto& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " region '" + c.region + "'");
        Constants::configureEndpoints(c.mode, c.region);
        const std::string bulk = Constants::EVENT_BULK_URL();
        EXPECT_EQ(Constants::eventBulkUrl("KEY-1"), Constants::fill(bulk, {"KEY-1"}));
        EXPECT_EQ(hostOf(bulk), hostOf(Constants::DEFERRED_DEEPLINK_URL()));
        EXPECT_EQ(hostOf(bulk), hostOf(Constants::DRWORKS_URL()));
        for (const std::string& url :
             {bulk, Constants::GDPR_URL(), Constants::CONFIG_URL(), Constants::IAM_CAMPAIGNS_URL(),
              Constants::WEB_API_BASE_URL()}) {
            const std::string host = hostOf(url);
            EXPECT_EQ(url.rfind("https://", 0), 0u) << url;
            EXPECT_NE(host.find(c.servedRegion), std::string::npos) << host;
            EXPECT_EQ(host.find(c.servedRegion == "ap1" ? "ap2" : "ap1"), std::string::npos)
                << host;
            EXPECT_EQ(host.find(".staging.") != std::string::npos, c.tier == Tier::STAGING) << host;
            EXPECT_EQ(host.find(".dev.") != std::string::npos, c.tier == Tier::DEV) << host;
        }
        EXPECT_NE(Constants::CONFIG_URL().find(c.tier == Tier::DEV ? "/dev/" : "/prod/"),
                  std::string::npos);
        auto [it, added] = byChoice.emplace(std::make_pair(c.servedRegion, c.tier), bulk);
        EXPECT_EQ(it->second, bulk) << "same choice, same endpoints";
    }
    EXPECT_EQ(byChoice.size(), 6u) << "two regions times three modes";
    std::set<std::string> distinct;
    for (const auto& [choice, url] : byChoice) {
        distinct.insert(url);
    }
    EXPECT_EQ(distinct.size(), 6u);
    // Before any selection the SDK talks to live ap2.
    EXPECT_EQ(before, byChoice.at({"ap2", Tier::LIVE}));

    std::vector<std::string> warnings;
    for (const auto& [level, line] : log.lines()) {
        if (level == SorvelLogLevel::LEVEL_WARNING) {
            warnings.push_back(line);
        }
    }
    EXPECT_EQ(warnings, (std::vector<std::string>{"unknown Region, region = 'eu1'",
                                                  "unknown Region, region = 'AP1'",
                                                  "unknown Region, region = ''"}));
}

// The line names the server the events go to: a base URL the app set replaces
// the region's host, and a mapping of another host changes nothing.
TEST(Constants, EndpointLineNamesWhereEventsGo) {
    testing::FreshSdk sdk;
    testing::DelegateLog log;
    const auto logged = [&] {
        std::string last;
        for (const auto& [level, line] : log.lines()) {
            const auto at = line.find(", eventUrl = ");
            if (line.rfind("configureEndpoints :: ", 0) == 0 && at != std::string::npos) {
                last = line.substr(at + 13);
            }
        }
        return last;
    };
    const auto bulkTarget = [] {
        return platform::effectiveHttpUrl(Constants::eventBulkUrl("KEY-1"));
    };

    Constants::configureEndpoints(0, "ap2");
    EXPECT_EQ(logged(), "https://event-ap2.sorvel.example");
    platform::host::mapHttpHost("config-ap1.sorvel.example", "http://127.0.0.1:9");
    Constants::configureEndpoints(0, "ap1");
    EXPECT_EQ(logged(), "https://event-ap1.sorvel.example");
    EXPECT_EQ(bulkTarget().rfind(logged() + "/", 0), 0u) << bulkTarget();

    platform::host::mapHttpHost("*", "http://127.0.0.1:9/front/");
    Constants::configureEndpoints(1, "ap1");
    EXPECT_EQ(logged(), "http://127.0.0.1:9/front");
    EXPECT_EQ(bulkTarget().rfind(logged() + "/", 0), 0u) << bulkTarget();
    platform::host::mapHttpHost("event-ap2.staging.sorvel.example", "http://127.0.0.1:8");
    Constants::configureEndpoints(2, "ap2");
    EXPECT_EQ(logged(), "http://127.0.0.1:8");
    EXPECT_EQ(bulkTarget().rfind(logged() + "/", 0), 0u) << bulkTarget();
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
