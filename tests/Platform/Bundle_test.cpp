#include "Platform/Bundle.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "Platform/Host.h"
#include "Platform/NotificationCenter.h"
#include "support/TestSupport.h"

namespace sorvel::platform {
namespace {

TEST(BundleTest, InfoKeysKeepTheirTypesFromCodeAndFromAFile) {
    testing::FreshSdk sdk;
    testing::TempDir dir;
    std::string path = dir.path() + "/Info.json";
    {
        std::ofstream out(path);
        out << R"({"bundleId":"com.example.app","version":"3.2","build":"77",)"
            << R"("info":{"SorvelServerMode":2,"FvnRegion":"ap1","Mode":"2","SorvelQaMode":true}})";
    }
    ASSERT_TRUE(platform::host::loadBundleFromJsonFile(path));
    EXPECT_EQ(Bundle::bundleId(), "com.example.app");
    EXPECT_EQ(Bundle::buildNumber(), "77");
    ASSERT_TRUE(Bundle::info("SorvelServerMode"));
    EXPECT_TRUE(Bundle::info("SorvelServerMode")->isInt64());
    EXPECT_TRUE(Bundle::info("Mode")->isString());
    EXPECT_TRUE(Bundle::info("SorvelQaMode")->isBool());
    EXPECT_FALSE(Bundle::info("Missing").has_value());

    platform::host::setInfo("FvnRegion", std::nullopt);
    EXPECT_FALSE(Bundle::info("FvnRegion").has_value());

    // A broken or missing file changes nothing.
    {
        std::ofstream out(path);
        out << R"({"bundleId": "broken")";
    }
    testing::LogCapture capture;
    EXPECT_FALSE(platform::host::loadBundleFromJsonFile(path));
    EXPECT_FALSE(platform::host::loadBundleFromJsonFile(dir.path() + "/none.json"));
    EXPECT_EQ(Bundle::bundleId(), "com.example.app");
    EXPECT_TRUE(capture.contains("Info file"));
}

TEST(NotificationCenterTest, DeliversOnThePostingThreadByNameAndStopsAfterRemoval) {
    auto& center = NotificationCenter::shared();
    std::vector<std::string> got;
    std::thread::id deliveredOn;
    auto t1 = center.addObserver("svlTest.a", [&](const std::string& name, const auto& info) {
        got.push_back(name + ":" + (info ? info->render() : std::string("-")));
        deliveredOn = std::this_thread::get_id();
    });
    // An observer may remove itself while being notified.
    NotificationCenter::Token t2 = 0;
    t2 = center.addObserver("svlTest.a", [&](const std::string&, const auto&) {
        got.push_back("second");
        center.removeObserver(t2);
    });
    std::thread::id posterId;
    std::thread poster([&] {
        posterId = std::this_thread::get_id();
        center.post("svlTest.a", Value("x"));
    });
    poster.join();
    EXPECT_EQ(deliveredOn, posterId);
    center.post("svlTest.b");
    center.post("svlTest.a");
    center.removeObserver(t1);
    center.post("svlTest.a");
    EXPECT_EQ(got, (std::vector<std::string>{"svlTest.a:\"x\"", "second", "svlTest.a:-"}));

    // What an observer captured may use the centre when it is released with
    // the observer: removal must not hold the centre's lock then.
    struct PostsWhenGone {
        ~PostsWhenGone() { NotificationCenter::shared().post("svlTest.gone"); }
    };
    int gone = 0;
    auto t3 = center.addObserver("svlTest.gone", [&](const auto&, const auto&) { ++gone; });
    auto t4 = center.addObserver(
        "svlTest.c", [owned = std::make_shared<PostsWhenGone>()](const auto&, const auto&) {});
    center.removeObserver(t4);
    center.removeObserver(t3);
    EXPECT_EQ(gone, 1);
}

}  // namespace
}  // namespace sorvel::platform
