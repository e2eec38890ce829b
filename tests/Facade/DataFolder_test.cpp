// The data folder and the device id's keychain beside it move together, and
// only until the SDK has used them: a folder or a bundle id named later
// changes nothing, so one store never carries two device ids.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <set>

#include "FacadeFixture.h"
#include "Platform/Bundle.h"
#include "Platform/FileSystem.h"

namespace sorvel::facadetest {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLaunchEnv = "SORVEL_FACADE_DATA_FOLDER_LAUNCH";
constexpr const char* kBundleLaunchEnv = "SORVEL_FACADE_BUNDLE_ID_LAUNCH";
constexpr const char* kFirstId = "com.example.first";
constexpr const char* kSecondId = "com.example.second";

// "<launch>|<server>|<argument>", when this program is asked to be a launch.
struct Launch {
    std::string name;
    std::string server;
    std::string argument;
};

std::optional<Launch> launchAsked(const char* env) {
    const char* arg = std::getenv(env);
    if (arg == nullptr) {
        return std::nullopt;
    }
    const std::string value(arg);
    const auto first = value.find('|');
    const auto second = value.find('|', first + 1);
    return Launch{value.substr(0, first), value.substr(first + 1, second - first - 1),
                  value.substr(second + 1)};
}

// One launch of an app as it ships: no quality-assurance mode and no log
// delegate, so the SDK's errors go to stderr, joined here to the standard
// output the test reads. The app records "launch_<name>", then does `then`.
[[noreturn]] void runLaunch(const Launch& launch, const std::function<void(SorvelKV&)>& then) {
    ::dup2(STDOUT_FILENO, STDERR_FILENO);
    SorvelHost::setServerBaseUrl(launch.server);
    SorvelHost::setNetworkAvailable(true);
    bool settled = false;
    {
        SorvelHost::MainLoopThread loop;
        auto& sdk = SorvelKV::getInstance();
        sdk.initSorvel(kAppKey, kSecretKey);
        SorvelHost::applicationDidBecomeActive();
        sdk.event("launch_" + launch.name);
        then(sdk);
        SorvelHost::applicationWillResignActive();
        settled = SorvelHost::applicationWillTerminate(std::chrono::seconds(20));
    }
    std::printf("terminate %s\nEND\n", settled ? "settled" : "timed out");
    std::fflush(stdout);
    std::_Exit(0);
}

// The network drops and comes back: the next request reads the device id
// from the keychain again (naming the state it is already in posts nothing).
void networkComesBack() {
    SorvelHost::setNetworkAvailable(false);
    SorvelHost::setNetworkAvailable(true);
}

// Launch 2 names a folder once it has started and recorded.
void moveFolderInLaunch2(const Launch& launch, SorvelKV& sdk) {
    if (launch.name != "2") {
        return;
    }
    SorvelHost::setDataFolder(launch.argument);
    networkComesBack();
    sdk.event("launch_2_moved");
}

// The app is kFirstId; once the SDK is ready it names a bundle id again
// ("same": kFirstId, "set": kSecondId, "file": the Info file in the
// argument) and records "launch_<name>_after".
void nameBundleIdOnceReady(const Launch& launch, SorvelKV& sdk) {
    auto ready = std::make_shared<std::promise<void>>();
    SorvelHost::whenStarted([ready](bool) { ready->set_value(); });
    if (ready->get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::printf("never ready\n");
    }
    if (launch.name == "same") {
        SorvelHost::setBundleId(kFirstId);
    } else if (launch.name == "set") {
        SorvelHost::setBundleId(kSecondId);
    } else {
        const bool loaded = SorvelHost::loadInfoFile(launch.argument);
        std::printf("loaded %s version %s\n", loaded ? "true" : "false",
                    platform::Bundle::appVersion().c_str());
    }
    networkComesBack();
    sdk.event("launch_" + launch.name + "_after");
}

int runLaunchIfAsked() {
    if (auto launch = launchAsked(kLaunchEnv)) {
        runLaunch(*launch, [&](SorvelKV& sdk) { moveFolderInLaunch2(*launch, sdk); });
    }
    if (auto launch = launchAsked(kBundleLaunchEnv)) {
        SorvelHost::setBundleId(kFirstId);
        runLaunch(*launch, [&](SorvelKV& sdk) { nameBundleIdOnceReady(*launch, sdk); });
    }
    return 0;
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

// Three launches of one app on the default folder, each naming a bundle id
// once the SDK is ready: its own, another, another in an Info file.
TEST_F(FacadeTest, ABundleIdNamedAfterUseKeepsTheFoldersAndOneDeviceId) {
    ASSERT_EQ(kLaunchDone, 0);
    testing::TempDir root;
    const std::string base = root.path() + "/data/sorvelkv";
    const std::string info = root.path() + "/Info.json";
    std::ofstream(info) << R"({"bundleId":")" << kSecondId << R"(","version":"2.5"})";
    std::map<std::string, std::string> said;
    for (const std::string launch : {"same", "set", "file"}) {
        said[launch] = testing::runSelf(
            {std::string(kBundleLaunchEnv) + "=" + launch + "|" + server_->baseUrl() + "|" + info,
             "SORVEL_HOME=", "XDG_DATA_HOME=" + root.path() + "/data", "HOME=" + root.path()},
            "END", std::chrono::seconds(60));
        ASSERT_NE(said[launch].find("terminate settled\nEND"), std::string::npos)
            << "launch " << launch << ":\n"
            << said[launch];
        ASSERT_EQ(said[launch].find("never ready"), std::string::npos) << said[launch];
    }

    std::set<std::string> folders;
    for (const auto& entry : fs::directory_iterator(base)) {
        folders.insert(entry.path().filename().string());
    }
    EXPECT_EQ(folders, (std::set<std::string>{kFirstId, std::string(kFirstId) + "-keychain"}));
    const auto ids = deviceIdsOfEvents(*server_);
    std::set<std::string> all;
    for (const std::string launch : {"same", "set", "file"}) {
        for (const std::string& name : {"launch_" + launch, "launch_" + launch + "_after"}) {
            ASSERT_EQ(ids.count(name), 1u) << name;
            all.insert(ids.at(name).begin(), ids.at(name).end());
        }
    }
    EXPECT_EQ(all.size(), 1u);
    EXPECT_EQ(all.count("<none>"), 0u);

    // One error line in each launch that named another id; the file's
    // version still applies.
    const std::string ignored = std::string(" :: the SDK already uses the bundle id \"") +
                                kFirstId + "\"; \"" + kSecondId + "\" is ignored";
    const std::string prefix = "svlkv [error]: SorvelHost::";
    EXPECT_EQ(occurrences(said["set"], prefix + "setBundleId" + ignored), 1u) << said["set"];
    EXPECT_EQ(occurrences(said["file"], prefix + "loadInfoFile" + ignored), 1u) << said["file"];
    EXPECT_NE(said["file"].find("loaded true version 2.5\n"), std::string::npos) << said["file"];
    for (const std::string launch : {"same", "set", "file"}) {
        EXPECT_EQ(occurrences(said[launch], "bundle id"), launch == "same" ? 0u : 1u)
            << said[launch];
    }
}

}  // namespace
}  // namespace sorvel::facadetest
