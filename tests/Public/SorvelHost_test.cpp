#include "sorvel/SorvelHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Platform/Bundle.h"
#include "Platform/Dispatch.h"
#include "Platform/FileSystem.h"
#include "Platform/Http.h"
#include "Platform/NotificationCenter.h"
#include "Platform/Reachability.h"
#include "Platform/RunLoop.h"
#include "ServerDouble.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using platform::NotificationCenter;

TEST(SorvelHost, MainLoopThreadServesTheLoopWhileItLivesAndJoinsOnDestruction) {
    testing::FreshSdk sdk;
    // A stop made while no loop ran does not end the thread's loop at once.
    SorvelHost::stopMainLoop();
    auto loopThread = std::make_shared<std::atomic<std::thread::id>>();
    auto ran = std::make_shared<std::atomic<int>>(0);
    auto post = [&] {
        platform::DispatchQueue::main().async([loopThread, ran] {
            loopThread->store(std::this_thread::get_id());
            ran->fetch_add(1);
            testing::notifyWaiters();
        });
    };
    {
        SorvelHost::MainLoopThread loop;
        post();
        ASSERT_TRUE(testing::waitUntil([&] { return ran->load() == 1; }));
        EXPECT_NE(loopThread->load(), std::this_thread::get_id());
        // Still served after the stale stop was used up.
        post();
        ASSERT_TRUE(testing::waitUntil([&] { return ran->load() == 2; }));
        // Another stop from the app does not end it early either.
        SorvelHost::stopMainLoop();
        post();
        ASSERT_TRUE(testing::waitUntil([&] { return ran->load() == 3; }));
    }
    // Another thread serving the loop too may take a stop meant for the
    // object's thread: the object still ends its own.
    {
        auto second = std::make_shared<std::atomic<bool>>(false);
        std::thread appLoop([second] {
            SorvelHost::runMainLoop();
            second->store(true);
            testing::notifyWaiters();
        });
        { SorvelHost::MainLoopThread loop; }
        // Whichever run took the first stop, the app's loop is stopped here.
        SorvelHost::stopMainLoop();
        EXPECT_TRUE(testing::waitUntil([&] { return second->load(); }));
        appLoop.join();
    }
    // Joined: a block posted now is still queued for whoever serves the loop next.
    post();
    EXPECT_TRUE(platform::RunLoop::main().runUntilIdle());
    EXPECT_EQ(ran->load(), 4);
    EXPECT_EQ(loopThread->load(), std::this_thread::get_id());
    {
        SorvelHost::MainLoopThread again;
        post();
        ASSERT_TRUE(testing::waitUntil([&] { return ran->load() == 5; }));
        EXPECT_NE(loopThread->load(), std::this_thread::get_id());
    }
}

TEST(SorvelHost, TellsTheSdkWhatTheOsWould) {
    testing::FreshSdk sdk;
    testing::TempDir data;

    // Before the SDK uses its folders, as an app names its bundle id.
    SorvelHost::setBundleId("com.example.host");
    // The keychain follows the data folder, beside it, whatever was set before.
    SorvelHost::setDataFolder(data.path() + "/app");
    EXPECT_EQ(platform::homeFolder(), data.path() + "/app");
    EXPECT_EQ(platform::keychainFolder(), data.path() + "/app-keychain");

    SorvelHost::setInfoValue("SorvelServerMode", Value(2));
    SorvelHost::setInfoValue("FvnRegion", Value("ap1"));
    EXPECT_EQ(platform::Bundle::bundleId(), "com.example.host");
    EXPECT_EQ(platform::Bundle::info("SorvelServerMode"), Value(2));
    SorvelHost::setInfoValue("FvnRegion", std::nullopt);
    EXPECT_FALSE(platform::Bundle::info("FvnRegion").has_value());
    EXPECT_FALSE(SorvelHost::loadInfoFile(data.path() + "/missing.json"));

    // The two application-state notifications, in the order posted.
    std::vector<std::string> posted;
    auto observe = [&posted](const std::string& name, const std::optional<Value>&) {
        posted.push_back(name);
    };
    auto& center = NotificationCenter::shared();
    auto t1 =
        center.addObserver(NotificationCenter::kApplicationDidBecomeActiveNotification, observe);
    auto t2 =
        center.addObserver(NotificationCenter::kApplicationWillResignActiveNotification, observe);
    SorvelHost::applicationDidBecomeActive();
    SorvelHost::applicationWillResignActive();
    center.removeObserver(t1);
    center.removeObserver(t2);
    EXPECT_EQ(posted, (std::vector<std::string>{
                          NotificationCenter::kApplicationDidBecomeActiveNotification,
                          NotificationCenter::kApplicationWillResignActiveNotification}));

    SorvelHost::setNetworkAvailable(false);
    EXPECT_EQ(platform::Reachability::shared().currentStatus(), platform::Reachability::UNKNOWN);
    SorvelHost::setNetworkAvailable(true);
    EXPECT_EQ(platform::Reachability::shared().currentStatus(), platform::Reachability::WIFI);
    SorvelHost::setNetworkAvailable(std::nullopt);
}

TEST(SorvelHost, ServerBaseUrlSendsTheMakersHostsToALocalServer) {
    testing::FreshSdk sdk;
    tools::ServerDouble server;
    ASSERT_TRUE(server.start());
    SorvelHost::setServerBaseUrl(server.baseUrl());

    platform::HttpRequest request;
    request.url = "https://config.maker.example/prod/sdk.config/K/config.json";
    EXPECT_EQ(platform::HttpSession::shared().dataTask(request).status, 200);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].path, "/prod/sdk.config/K/config.json");

    // Unmapped again: plain http, even to the local server, is refused.
    SorvelHost::setServerBaseUrl("");
    request.url = server.baseUrl() + "/prod/sdk.config/K/config.json";
    EXPECT_EQ(platform::HttpSession::shared().dataTask(request).status, 0);
    EXPECT_EQ(server.requestCount(), 1u);
}

// A base that is not an absolute http(s) URL would make every request fail
// with no answer: it is refused with an error line and the previous one stays.
TEST(SorvelHost, AMalformedServerBaseIsRefusedAndThePreviousOneStays) {
    testing::FreshSdk sdk;
    testing::LogCapture log;
    tools::ServerDouble server;
    ASSERT_TRUE(server.start());
    SorvelHost::setServerBaseUrl(server.baseUrl());
    platform::HttpRequest request;
    request.url = "https://config.maker.example/prod/sdk.config/K/config.json";

    for (const std::string bad :
         {"htp:/bad url", "127.0.0.1:8080", "ftp://127.0.0.1/", "http://", "/relative/path",
          "http://127.0.0.1:8080/?q=1", "http://127.0.0.1:8080/#top", "http://127.0.0.1:99999"}) {
        SCOPED_TRACE(bad);
        log.clear();
        SorvelHost::setServerBaseUrl(bad);
        EXPECT_EQ(log.lines(), std::vector<std::string>{
                                   "svlkv [error]: SorvelHost::setServerBaseUrl :: \"" + bad +
                                   "\" is not an absolute http or https URL; the previous base "
                                   "stays"});
        EXPECT_EQ(platform::HttpSession::shared().dataTask(request).status, 200);
    }
    EXPECT_EQ(server.requestCount(), 8u);
    // A well-formed base with a path is taken as it is, without a line.
    log.clear();
    SorvelHost::setServerBaseUrl(server.baseUrl() + "/prefix");
    EXPECT_EQ(platform::HttpSession::shared().dataTask(request).status, 200);
    EXPECT_EQ(server.requests().back().path, "/prefix/prod/sdk.config/K/config.json");
    EXPECT_TRUE(log.lines().empty());
}

// Every refusal of a host call takes one road: an error line of the SDK's log,
// "SorvelHost::<call> :: <why>", that a log delegate receives and that stderr
// shows all the same: the host's setup is wrong.
TEST(SorvelHost, RefusalsAreErrorLinesOfTheSdksLog) {
    testing::FreshSdk sdk;
    testing::LogCapture log;
    testing::DelegateLog delegate;
    const std::string before = platform::homeFolder();
    SorvelHost::setDataFolder(std::string("/tmp/a\0b", 8));
    EXPECT_EQ(platform::homeFolder(), before);
    EXPECT_FALSE(SorvelHost::loadInfoFile(std::string("/tmp/i\0.json", 12)));
    SorvelHost::setScreen(0, 844, InAppInsets{}, InAppInsets{});
    const std::vector<testing::DelegateLog::Line> want = {
        {SorvelLogLevel::LEVEL_ERROR,
         "SorvelHost::setDataFolder :: the path holds a NUL byte; ignored"},
        {SorvelLogLevel::LEVEL_ERROR,
         "SorvelHost::loadInfoFile :: the path holds a NUL byte; ignored"},
        {SorvelLogLevel::LEVEL_ERROR,
         "SorvelHost::setScreen :: the size is not positive and finite; ignored"},
    };
    EXPECT_EQ(delegate.lines(), want);
    std::vector<std::string> onStderr;
    for (const auto& [level, line] : want) {
        onStderr.push_back("svlkv [error]: " + line);
    }
    EXPECT_EQ(log.lines(), onStderr);
}

}  // namespace
}  // namespace sorvel
