// The data folder and the device id's keychain beside it move together, and
// only until the SDK has used them: a folder named later changes nothing, so
// one store never carries two device ids.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "Common/SvlLog.h"
#include "FacadeFixture.h"
#include "Platform/FileSystem.h"

namespace sorvel::facadetest {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLaunchEnv = "SORVEL_FACADE_DATA_FOLDER_LAUNCH";

// One launch of an app as it ships: no quality-assurance mode and no log
// delegate, so the SDK's errors go to stderr, joined here to the standard
// output the test reads. "<launch>|<server>|<folder>": launch 2 names the
// folder once it has started and recorded.
int runLaunchIfAsked() {
    const char* arg = std::getenv(kLaunchEnv);
    if (arg == nullptr) {
        return 0;
    }
    const std::string value(arg);
    const auto first = value.find('|');
    const auto second = value.find('|', first + 1);
    const std::string launch = value.substr(0, first);
    const std::string server = value.substr(first + 1, second - first - 1);
    const std::string folder = value.substr(second + 1);
    ::dup2(STDOUT_FILENO, STDERR_FILENO);
    SorvelHost::setServerBaseUrl(server);
    SorvelHost::setNetworkAvailable(true);
    bool settled = false;
    {
        SorvelHost::MainLoopThread loop;
        auto& sdk = SorvelKV::getInstance();
        sdk.initSorvel(kAppKey, kSecretKey);
        SorvelHost::applicationDidBecomeActive();
        sdk.event("launch_" + launch);
        if (launch == "2") {
            SorvelHost::setDataFolder(folder);
            // A network change makes the SDK read the device id again.
            SorvelHost::setNetworkAvailable(true);
            sdk.event("launch_2_moved");
        }
        SorvelHost::applicationWillResignActive();
        settled = SorvelHost::applicationWillTerminate(std::chrono::seconds(20));
    }
    std::printf("terminate %s\nEND\n", settled ? "settled" : "timed out");
    std::fflush(stdout);
    std::_Exit(0);
}
const int kLaunchDone = runLaunchIfAsked();

// The device id each event reached the server with (an event sent twice
// keeps every id it came with).
std::map<std::string, std::set<std::string>> deviceIdsOfEvents(const tools::ServerDouble& server) {
    std::map<std::string, std::set<std::string>> ids;
    for (const auto& r : server.requests(Endpoint::EVENT_BULK)) {
        auto body = Value::fromJson(r.decodedBody);
        const Value::Map* map = body ? body->getMap() : nullptr;
        if (map == nullptr || !map->count("evts") || !map->count("common")) {
            continue;
        }
        const Value::Map* common = map->at("common").getMap();
        const Value::Map* identity = common != nullptr && common->count("identity")
                                         ? common->at("identity").getMap()
                                         : nullptr;
        const std::string* adid = identity != nullptr && identity->count("adid")
                                      ? identity->at("adid").getString()
                                      : nullptr;
        for (const auto& e : *map->at("evts").getArray()) {
            ids[*e.getMap()->at("event_name").getString()].insert(adid ? *adid : "<none>");
        }
    }
    return ids;
}

std::string refusal(const std::string& inUse, const std::string& named) {
    return "svlkv [error]: SorvelHost::setDataFolder :: the SDK already uses the data folder \"" +
           inUse + "\"; \"" + named + "\" is ignored";
}

std::vector<std::string> linesWith(const testing::LogCapture& log, const std::string& text) {
    std::vector<std::string> found;
    for (const auto& line : log.lines()) {
        if (line.find(text) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST_F(FacadeTest, TheDataFolderMovesWithItsKeychainUntilTheSdkUsesIt) {
    testing::TempDir root;
    const std::string early = root.path() + "/early";
    const std::string home = root.path() + "/app";
    const std::string late = root.path() + "/late";

    // Before any use the last folder named wins, its keychain beside it.
    SorvelHost::setDataFolder(early);
    SorvelHost::setDataFolder(home);
    start();
    ASSERT_TRUE(sendAndWait("first"));
    EXPECT_TRUE(fs::is_directory(home + "/Library/Preferences"));
    EXPECT_TRUE(fs::is_directory(home + "-keychain") && !fs::is_empty(home + "-keychain"));
    EXPECT_FALSE(fs::exists(early) || fs::exists(early + "-keychain"));

    // The next launch uses its folder from initSorvel on: the folder in use
    // named again is no error, another is refused with one error line, and
    // neither moves the keychain.
    relaunch();
    SorvelHost::setDataFolder(home);
    logs_.clear();
    kv().initSorvel(kAppKey, kSecretKey);
    SorvelHost::setDataFolder(home);
    SorvelHost::setDataFolder(late);
    SvlLog::flush();
    EXPECT_EQ(linesWith(logs_, "setDataFolder"), std::vector<std::string>{refusal(home, late)});
    EXPECT_EQ(platform::keychainFolder(), home + "-keychain");
    EXPECT_FALSE(fs::exists(late) || fs::exists(late + "-keychain"));
}

// Three launches of one app on the default folder; the second names another
// folder once it has recorded.
TEST_F(FacadeTest, AFolderNamedAfterUseKeepsOneDeviceIdAcrossLaunches) {
    ASSERT_EQ(kLaunchDone, 0);
    testing::TempDir root;
    const std::string home = root.path() + "/default";
    const std::string moved = root.path() + "/moved";
    std::map<std::string, std::string> said;
    for (const std::string launch : {"1", "2", "3"}) {
        said[launch] = testing::runSelf(
            {std::string(kLaunchEnv) + "=" + launch + "|" + server_->baseUrl() + "|" + moved,
             "SORVEL_HOME=" + home},
            "END", std::chrono::seconds(60));
        ASSERT_NE(said[launch].find("terminate settled\nEND"), std::string::npos)
            << "launch " << launch << ":\n"
            << said[launch];
    }

    const auto ids = deviceIdsOfEvents(*server_);
    std::set<std::string> all;
    for (const char* name : {"launch_1", "launch_2", "launch_2_moved", "launch_3"}) {
        ASSERT_EQ(ids.count(name), 1u) << name;
        all.insert(ids.at(name).begin(), ids.at(name).end());
    }
    EXPECT_EQ(all.size(), 1u);
    EXPECT_EQ(all.count("<none>"), 0u);
    EXPECT_FALSE(fs::exists(moved));
    EXPECT_FALSE(fs::exists(moved + "-keychain"));

    // The refusal reaches stderr, once, in the launch that named the folder.
    EXPECT_EQ(occurrences(said["2"], refusal(home, moved)), 1u) << said["2"];
    EXPECT_EQ(occurrences(said["2"], "setDataFolder"), 1u) << said["2"];
    EXPECT_EQ(said["1"].find("setDataFolder"), std::string::npos) << said["1"];
    EXPECT_EQ(said["3"].find("setDataFolder"), std::string::npos) << said["3"];
}

}  // namespace
}  // namespace sorvel::facadetest
