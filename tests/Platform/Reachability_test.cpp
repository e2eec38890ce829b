#include "Platform/Reachability.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

#include "Platform/Host.h"
#include "Platform/NotificationCenter.h"
#include "support/TestSupport.h"

namespace sorvel::platform {
namespace {

using namespace std::chrono_literals;

const std::string kHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string row(const std::string& iface, const std::string& dest, const std::string& flags,
                int metric, const std::string& mask) {
    return iface + "\t" + dest + "\t0100A8C0\t" + flags + "\t0\t0\t" + std::to_string(metric) +
           "\t" + mask + "\t0\t0\t0\n";
}

const std::string kAny6(32, '0');

// A line of /proc/net/ipv6_route.
std::string row6(const std::string& iface, const std::string& dest, const std::string& prefix,
                 const std::string& metric, const std::string& flags) {
    return dest + " " + prefix + " " + kAny6 + " 00 " + kAny6 + " " + metric +
           " 00000001 00000000 " + flags + "     " + iface + "\n";
}

// What every table has: the loopback's "unreachable" entries, which are no way out.
const std::string kNull6 = row6("lo", kAny6, "00", "ffffffff", "00200200");

// Records the posted statuses.
class Posted {
  public:
    ~Posted() { NotificationCenter::shared().removeObserver(token_); }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> lock(mu_);
        return seen_;
    }
    // True once exactly `want` has been posted (false on anything else or at
    // the deadline).
    bool waitFor(const std::vector<std::string>& want) {
        return testing::waitUntil([&] { return seen().size() >= want.size(); }) && seen() == want;
    }

  private:
    std::mutex mu_;
    std::vector<std::string> seen_;
    NotificationCenter::Token token_ = NotificationCenter::shared().addObserver(
        Reachability::kSvlKvReachabilityChangedNotification,
        [this](const std::string&, const std::optional<Value>& info) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                seen_.push_back(info && info->getString() ? *info->getString() : "<none>");
            }
            testing::notifyWaiters();
        });
};

TEST(Reachability, StatusFromDefaultRoutes) {
    const std::string local = row("eth0", "0000A8C0", "0001", 0, "00FFFFFF");
    struct Case {
        std::string ipv4;
        std::string ipv6;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"", "", "unknown"},
        {kHeader, kNull6, "unknown"},
        {kHeader + local, kNull6, "unknown"},  // a local network only: no way out
        {kHeader + row("wlan0", "00000000", "0003", 600, "00000000"), "", "wifi"},
        {kHeader + row("wwan0", "00000000", "0003", 0, "00000000"), "", "mobile"},
        {kHeader + row("rmnet_data0", "00000000", "0003", 0, "00000000"), "", "mobile"},
        {kHeader + row("enp3s0", "00000000", "0003", 100, "00000000") + local, "", "wifi"},
        // Not up, or rejecting ("unreachable default"): no route.
        {kHeader + row("wwan0", "00000000", "0002", 0, "00000000"), "", "unknown"},
        {kHeader + row("wwan0", "00000000", "0201", 0, "00000000"), "", "unknown"},
        // The lowest metric wins, whatever the order.
        {kHeader + row("wlan0", "00000000", "0003", 600, "00000000") +
             row("wwan0", "00000000", "0003", 50, "00000000"),
         "", "mobile"},
        {kHeader + row("wwan0", "00000000", "0003", 700, "00000000") +
             row("wlan0", "00000000", "0003", 600, "00000000"),
         "", "wifi"},
        // Garbage lines are skipped.
        {kHeader + "wlan0 zz\n\xff\xfe\n" + row("ppp0", "00000000", "0003", 1, "00000000"), "",
         "mobile"},
        {kHeader + row("wlan0", "GGGGGGGG", "0003", 1, "00000000"), "", "unknown"},
        {kHeader + row("wlan0", "00000000", "0003", -1, "00000000"), "", "unknown"},
        // An IPv6-only host is online.
        {kHeader, kNull6 + row6("wwan0", kAny6, "00", "00000400", "00000003"), "mobile"},
        // IPv6: the lowest metric (hex) wins; not a default route, not up,
        // rejecting or through the loopback: no way out.
        {kHeader,
         row6("wwan0", kAny6, "00", "00000400", "00000003") +
             row6("wlan0", kAny6, "00", "000000ff", "00000003"),
         "wifi"},
        {kHeader, row6("wlan0", "20010db8000000000000000000000000", "20", "00000100", "00000001"),
         "unknown"},
        {kHeader, row6("wlan0", kAny6, "00", "00000400", "00000002"), "unknown"},
        {kHeader, row6("wlan0", kAny6, "00", "00000400", "00000201"), "unknown"},
        {kHeader, row6("lo", kAny6, "00", "00000400", "00000001"), "unknown"},
        {kHeader, "garbage\n" + row6("wlan0", "0000", "00", "00000400", "00000001"), "unknown"},
        // Both: the IPv4 default route decides.
        {kHeader + row("wwan0", "00000000", "0003", 0, "00000000"),
         row6("wlan0", kAny6, "00", "00000001", "00000001"), "mobile"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Reachability::statusFromRouteTables(c.ipv4, c.ipv6), c.want) << c.ipv4 << "\n"
                                                                               << c.ipv6;
    }
}

TEST(Reachability, OverrideAndRouteChangesArePosted) {
    testing::FreshSdk sdk;
    testing::TempDir dir;
    const std::string ipv4 = dir.path() + "/route";
    const std::string ipv6 = dir.path() + "/ipv6_route";
    // Replaced whole, as the kernel's tables change: the watcher may read them
    // at any moment (a route message of the machine's own).
    auto writeTables = [&](const std::string& v4, const std::string& v6) {
        for (auto [path, text] : {std::pair{ipv4, v4}, {ipv6, v6}}) {
            std::ofstream(path + ".new", std::ios::trunc) << text;
            ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
        }
    };
    Posted posted;

    host::setRouteTableFiles(ipv4, ipv6);
    writeTables(kHeader + row("wlan0", "00000000", "0003", 600, "00000000"), kNull6);
    auto& reach = Reachability::shared();
    EXPECT_EQ(reach.currentStatus(), "wifi");
    EXPECT_EQ(reach.currentStatus(), "wifi");
    EXPECT_TRUE(posted.seen().empty()) << "the first status seen is no change";

    writeTables(kHeader, kNull6);  // the network drops
    EXPECT_EQ(reach.currentStatus(), "unknown");
    writeTables(kHeader, kNull6 + row6("wwan0", kAny6, "00", "00000400", "00000001"));
    EXPECT_EQ(reach.currentStatus(), "mobile");  // IPv6 only
    host::setReachability(std::string("mobile"));
    EXPECT_EQ(reach.currentStatus(), "mobile");
    host::setReachability(std::string("mobile"));  // no change, no post
    host::setReachability(std::string("unknown"));
    writeTables(kHeader + row("wlan0", "00000000", "0003", 600, "00000000"), "");
    EXPECT_EQ(reach.currentStatus(), "unknown") << "the override wins over the tables";
    host::setReachability(std::nullopt);
    EXPECT_EQ(reach.currentStatus(), "wifi");
    std::remove(ipv4.c_str());  // no route tables at all
    std::remove(ipv6.c_str());
    EXPECT_EQ(reach.currentStatus(), "unknown");
    EXPECT_EQ(posted.seen(), (std::vector<std::string>{"unknown", "mobile", "mobile", "unknown",
                                                       "wifi", "unknown"}));
}

// ---- A network namespace of its own -----------------------------------------

// Runs `ip` with the arguments; true when it succeeded.
bool ip(std::vector<std::string> args) {
    args.insert(args.begin(), "ip");
    return testing::runProgram(args, 10s).exitCode == 0;
}

void say(const std::string& line) {
    std::fputs((line + " END\n").c_str(), stdout);
    std::fflush(stdout);
}

// When started as the namespace child, this program moves into a network
// namespace of its own (before any thread of the SDK exists, so they all live
// there), builds a pair of links and changes their routes, and checks that
// each change is posted without anyone asking for the status.
int runInNetworkNamespaceIfAsked() {
    if (std::getenv("SORVEL_REACHABILITY_NETNS_CHILD") == nullptr) {
        return 0;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        say(std::string("NETNS-SKIP no network namespace: ") + std::strerror(errno));
        std::_Exit(0);
    }
    if (!ip({"link", "add", "wlan7", "type", "veth", "peer", "name", "wwan7"}) ||
        !ip({"link", "set", "wlan7", "up"}) || !ip({"link", "set", "wwan7", "up"})) {
        say("NETNS-SKIP no ip command or no veth links");
        std::_Exit(0);
    }
    auto fail = [](const std::string& why) {
        say("NETNS-FAIL " + why);
        std::_Exit(1);
    };
    Posted posted;
    auto& reach = Reachability::shared();
    if (!reach.isWatching()) {
        fail("route changes are not watched");
    }
    if (reach.currentStatus() != "unknown") {
        fail("a namespace without routes is online");
    }
    struct Step {
        std::vector<std::string> command;
        std::string status;
    };
    const std::vector<Step> steps = {
        // IPv6 only, on the mobile link.
        {{"-6", "route", "add", "default", "dev", "wwan7", "metric", "10"}, "mobile"},
        {{"-6", "route", "add", "default", "dev", "wlan7", "metric", "5"}, "wifi"},
        {{"route", "add", "default", "dev", "wwan7"}, "mobile"},
        // The link goes down and takes its routes along (for IPv4 the kernel
        // says so only with a link message).
        {{"link", "set", "wwan7", "down"}, "wifi"},
        {{"link", "set", "wlan7", "down"}, "unknown"},
    };
    std::vector<std::string> want;
    for (const auto& step : steps) {
        if (!ip(step.command)) {
            fail("ip " + step.command.front() + " ... failed");
        }
        want.push_back(step.status);
        if (!posted.waitFor(want)) {
            fail("after step " + std::to_string(want.size()) +
                 " posted: " + ::testing::PrintToString(posted.seen()));
        }
        // The status asked for follows the change the watch noted, without
        // reading the tables again.
        const std::uint64_t reads = Reachability::tableReads();
        for (int ask = 0; ask < 20; ++ask) {
            if (const std::string now = reach.currentStatus(); now != step.status) {
                fail("after step " + std::to_string(want.size()) + " the status is " + now);
            }
        }
        if (Reachability::tableReads() != reads) {
            fail("the status was read from the tables while the watch runs");
        }
    }
    // Files of a host's own are read at each ask: nothing tells of their changes.
    host::setRouteTableFiles("/nonexistent/route", "/nonexistent/ipv6_route");
    const std::uint64_t reads = Reachability::tableReads();
    (void)reach.currentStatus();
    (void)reach.currentStatus();
    if (Reachability::tableReads() != reads + 2) {
        fail("the host's own route files were not read at each ask");
    }
    say("NETNS-OK");
    std::_Exit(0);
}
const int kNetnsChild = runInNetworkNamespaceIfAsked();

TEST(Reachability, EveryRouteChangeIsPostedInANetworkNamespace) {
    ASSERT_EQ(kNetnsChild, 0);
    const std::string said = testing::runSelf({"SORVEL_REACHABILITY_NETNS_CHILD=1"}, "END", 60s);
    if (said.find("NETNS-SKIP") != std::string::npos) {
        GTEST_SKIP() << said;
    }
    EXPECT_NE(said.find("NETNS-OK END"), std::string::npos) << said;
}

}  // namespace
}  // namespace sorvel::platform
