#include "Platform/Reachability.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <vector>

#include "Platform/NotificationCenter.h"
#include "support/TestSupport.h"

namespace sorvel::platform {
namespace {

const std::string kHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string row(const std::string& iface, const std::string& dest, const std::string& flags,
                int metric, const std::string& mask) {
    return iface + "\t" + dest + "\t0100A8C0\t" + flags + "\t0\t0\t" + std::to_string(metric) +
           "\t" + mask + "\t0\t0\t0\n";
}

TEST(Reachability, StatusFromDefaultRoute) {
    const std::string local = row("eth0", "0000A8C0", "0001", 0, "00FFFFFF");
    struct Case {
        std::string table;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"", "unknown"},
        {kHeader, "unknown"},
        {kHeader + local, "unknown"},  // a local network only: no way out
        {kHeader + row("wlan0", "00000000", "0003", 600, "00000000"), "wifi"},
        {kHeader + row("wlp2s0", "00000000", "0003", 600, "00000000"), "wifi"},
        {kHeader + row("wwan0", "00000000", "0003", 0, "00000000"), "mobile"},
        {kHeader + row("rmnet_data0", "00000000", "0003", 0, "00000000"), "mobile"},
        {kHeader + row("ppp0", "00000000", "0003", 0, "00000000"), "mobile"},
        {kHeader + row("eth0", "00000000", "0003", 100, "00000000"), "wifi"},
        {kHeader + row("enp3s0", "00000000", "0003", 100, "00000000") + local, "wifi"},
        // Not up: no route.
        {kHeader + row("wwan0", "00000000", "0002", 0, "00000000"), "unknown"},
        // The lowest metric wins, whatever the order.
        {kHeader + row("wlan0", "00000000", "0003", 600, "00000000") +
             row("wwan0", "00000000", "0003", 50, "00000000"),
         "mobile"},
        {kHeader + row("wwan0", "00000000", "0003", 700, "00000000") +
             row("wlan0", "00000000", "0003", 600, "00000000"),
         "wifi"},
        // Garbage lines are skipped.
        {kHeader + "wlan0 zz\n\xff\xfe\n" + row("ppp0", "00000000", "0003", 1, "00000000"),
         "mobile"},
        {kHeader + row("wlan0", "GGGGGGGG", "0003", 1, "00000000"), "unknown"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Reachability::statusFromRouteTable(c.table), c.want) << c.table;
    }
}

TEST(Reachability, OverrideAndRouteChangesArePosted) {
    testing::FreshSdk sdk;
    testing::TempDir dir;
    const std::string path = dir.path() + "/route";
    auto writeTable = [&](const std::string& text) {
        std::ofstream(path, std::ios::trunc) << text;
    };

    std::mutex mu;
    std::vector<std::string> posted;
    auto token = NotificationCenter::shared().addObserver(
        Reachability::kSvlKvReachabilityChangedNotification,
        [&](const std::string&, const std::optional<Value>& info) {
            std::lock_guard<std::mutex> lock(mu);
            posted.push_back(info && info->getString() ? *info->getString() : "<none>");
        });
    auto seen = [&] {
        std::lock_guard<std::mutex> lock(mu);
        return posted;
    };

    auto& reach = Reachability::shared();
    reach.setRouteTablePath(path);
    writeTable(kHeader + row("wlan0", "00000000", "0003", 600, "00000000"));
    EXPECT_EQ(reach.currentStatus(), "wifi");
    EXPECT_EQ(reach.currentStatus(), "wifi");
    EXPECT_TRUE(seen().empty()) << "the first status seen is no change";

    writeTable(kHeader);  // the network drops
    EXPECT_EQ(reach.currentStatus(), "unknown");
    reach.setOverride(std::string("mobile"));
    EXPECT_EQ(reach.currentStatus(), "mobile");
    reach.setOverride(std::string("mobile"));  // no change, no post
    reach.setOverride(std::nullopt);
    EXPECT_EQ(reach.currentStatus(), "unknown");
    std::remove(path.c_str());  // no route table at all
    EXPECT_EQ(reach.currentStatus(), "unknown");
    EXPECT_EQ(seen(), (std::vector<std::string>{"unknown", "mobile", "unknown"}));

    NotificationCenter::shared().removeObserver(token);
}

}  // namespace
}  // namespace sorvel::platform
