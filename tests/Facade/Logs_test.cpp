#include <chrono>
#include <string>
#include <vector>

#include "Facade/FacadeFixture.h"

// What an app's stderr shows of the SDK, as it is shipped and while it is
// tested.
namespace sorvel::facadetest {
namespace {

class LogsTest : public FacadeTest {
  protected:
    LogsTest() { qaMode_ = false; }

    // The README's first app, from its start to its end; the SDK's lines
    // that it leaves on stderr.
    std::vector<std::string> runFirstApp(const std::string& appKey, const std::string& secretKey) {
        logs_.clear();
        SorvelHost::MainLoopThread loop;
        kv().initSorvel(appKey, secretKey);
        SorvelHost::applicationDidBecomeActive();
        SorvelKvAttrModel attrs;
        attrs.setAttrDataString("mode", "hard");
        kv().eventWithAttr("level_started", attrs);
        kv().gameLevelAchieved(4);
        kv().login("user-1");
        SorvelHost::applicationWillResignActive();
        SorvelHost::applicationWillTerminate(std::chrono::seconds(20));
        EXPECT_TRUE(DiContainer::shared().drain());
        return logs_.lines();
    }
};

// Shipped (no quality-assurance mode, no log delegate), the first app leaves
// stderr empty: its calls made before the start is over, the lines that tell
// what the SDK does, are for quality assurance. A key of the wrong length is
// the one line it shows then, though every later call is refused too. In
// quality-assurance mode the lines are there.
TEST_F(LogsTest, TheFirstAppShowsOnlyWhatTheDeveloperMustFix) {
    EXPECT_EQ(runFirstApp(kAppKey, kSecretKey), std::vector<std::string>{});
    EXPECT_EQ(events("level_started").size(), 1u);
    EXPECT_EQ(events("level_achieved").size(), 1u);

    relaunch();
    EXPECT_EQ(runFirstApp("AppKey-too-short", kSecretKey),
              std::vector<std::string>{"svlkv [error]: AppKey가 길이 22의 문자열이 아닙니다."});
    EXPECT_EQ(events("level_started").size(), 1u);

    qaMode_ = true;
    relaunch();
    const auto lines = runFirstApp(kAppKey, kSecretKey);
    auto count = [&](const std::string& text) {
        int n = 0;
        for (const auto& line : lines) {
            n += line == text ? 1 : 0;
        }
        return n;
    };
    EXPECT_EQ(count("svlkv [debug]: become active"), 1);
    EXPECT_EQ(count("svlkv [debug]: logEvent : level_started"), 1);
    EXPECT_EQ(count("svlkv [debug]: logEvent : level_achieved"), 1);
    EXPECT_EQ(events("level_started").size(), 2u);
}

}  // namespace
}  // namespace sorvel::facadetest
