#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>

#include "Platform/Device.h"
#include "Platform/Host.h"
#include "Platform/UserNotificationCenter.h"
#include "support/TestSupport.h"

namespace sorvel::platform {
namespace {

using namespace std::chrono_literals;

NotificationRequest at(const std::string& id, WallTime when) {
    const CivilTime c = localCivilTime(std::chrono::floor<std::chrono::seconds>(when));
    NotificationRequest r;
    r.identifier = id;
    r.content.title = id;
    r.trigger = CalendarNotificationTrigger{{c.year, c.month, c.day, c.hour, c.minute, c.second}};
    return r;
}

TEST(UserNotificationCenter, TenThousandPendingFireInDateOrderAndRemovalsHold) {
    testing::FreshSdk sdk(true);
    auto clock = sdk.clock();
    auto& center = UserNotificationCenter::current();
    auto recorder = std::make_shared<RecordingNotificationPresenter>();
    std::atomic<std::size_t> shownCount{0};
    std::string firstShown;  // written on the centre's queue before the count moves
    recorder->setObserver([&](const NotificationRequest& r) {
        if (shownCount == 0)
            firstShown = r.identifier;
        ++shownCount;
        testing::notifyWaiters();
    });
    host::setNotificationPresenter(recorder);

    std::mutex mu;
    int answered = 0;
    int failed = 0;
    for (int i = 0; i < 10000; ++i) {
        center.add(
            at("n" + std::to_string(i), clock->wallNow() + std::chrono::seconds(10 + i % 100)),
            [&](const std::optional<std::string>& error) {
                std::lock_guard<std::mutex> lock(mu);
                ++answered;
                failed += error ? 1 : 0;
            });
    }
    center.flush();
    {
        std::lock_guard<std::mutex> lock(mu);
        EXPECT_EQ(answered, 10000);
        EXPECT_EQ(failed, 0);
    }
    // Invalid components and repeating triggers are refused.
    std::optional<std::string> bad;
    NotificationRequest feb30 = at("x", clock->wallNow() + 1h);
    feb30.trigger->dateComponents.month = 2;
    feb30.trigger->dateComponents.day = 30;
    center.add(feb30, [&](const std::optional<std::string>& e) { bad = e; });
    center.flush();
    ASSERT_TRUE(bad);
    EXPECT_NE(bad->find("name no date"), std::string::npos);

    center.removePendingNotificationRequests({"n0", "n1"});
    std::vector<NotificationRequest> pending;
    center.getPendingNotificationRequests([&](std::vector<NotificationRequest> p) { pending = p; });
    center.flush();
    ASSERT_EQ(pending.size(), 9998u);
    EXPECT_EQ(pending.front().identifier, "n2");
    EXPECT_EQ(pending.back().identifier, "n9999");

    clock->advance(std::chrono::seconds(200));
    ASSERT_TRUE(testing::waitUntil([&] { return shownCount.load() == 9998; }, 60s));
    EXPECT_EQ(firstShown, "n100");  // the earliest due after the removals
    // The recorder keeps the newest only.
    EXPECT_EQ(recorder->presented().size(), RecordingNotificationPresenter::MAX_RECORDED);
    EXPECT_EQ(center.delivered().size(), UserNotificationCenter::MAX_DELIVERED);
    center.removeAllPendingNotificationRequests();
}

TEST(UserNotificationCenter, ResponsesReachTheHandlerOnceAndAttachmentsArePrivateImages) {
    testing::FreshSdk sdk;
    auto& center = UserNotificationCenter::current();
    std::vector<std::string> actions;
    host::setNotificationResponseHandler(
        [&](const NotificationResponse& r) { actions.push_back(r.actionIdentifier); });
    NotificationRequest r;
    r.identifier = "a";
    center.deliver(r);
    center.flush();
    EXPECT_TRUE(host::dismissNotification("a"));
    EXPECT_FALSE(host::tapNotification("a"));
    EXPECT_EQ(actions, std::vector<std::string>{NotificationResponse::DISMISS_ACTION_IDENTIFIER});

    // Remote payloads that are not a JSON object, or too large, are refused.
    EXPECT_FALSE(host::deliverRemoteNotification("not json"));
    EXPECT_FALSE(host::deliverRemoteNotification("[1,2]"));
    EXPECT_FALSE(host::deliverRemoteNotification(
        "{\"aps\":\"" + std::string(host::MAX_REMOTE_PAYLOAD_BYTES, 'x') + "\"}"));
    auto id = host::deliverRemoteNotification(R"({"aps":{"alert":"just a body","badge":3}})");
    ASSERT_TRUE(id);
    center.flush();
    const auto shown = center.delivered();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].content.body, "just a body");
    EXPECT_EQ(shown[0].content.badge, 3);

    EXPECT_FALSE(makeNotificationAttachment("id", "x.jpg", "plain text").isOk());
    auto made = makeNotificationAttachment("id", std::string("../a/b\0c.png", 12),
                                           std::string("\x89PNG\r\n\x1a\nxx", 10));
    ASSERT_TRUE(made.isOk()) << made.status().message();
    EXPECT_EQ(made->path.substr(made->path.rfind('/') + 1), "..abc.png");
    EXPECT_EQ(testing::modeOf(made->path), 0600);
    EXPECT_EQ(testing::modeOf(made->path.substr(0, made->path.rfind('/'))), 0700);
}

// Asked to act as the next launch of an app, this program prints the
// notification permission it finds in that app's data folder.
int printStoredPermissionIfAsked() {
    const char* home = std::getenv("SORVEL_PERMISSION_CHILD_HOME");
    if (home == nullptr) {
        return 0;
    }
    host::setHomeFolder(home);
    std::printf("PERMISSION=%d\nEND\n",
                static_cast<int>(Device::notificationAuthorizationStatus()));
    std::fflush(stdout);
    std::_Exit(0);
}
const int kPermissionChild = printStoredPermissionIfAsked();

TEST(NotificationPermission, TheUsersAnswerOutlivesTheLaunchInItsDataFolder) {
    ASSERT_EQ(kPermissionChild, 0);
    using S = NotificationAuthorizationStatus;
    testing::FreshSdk sdk;
    const std::string file = sdk.home() + "/" + Device::NOTIFICATION_PERMISSION_FILE;
    auto fileHolds = [&](const std::string& text) {
        return testing::pollUntil([&] {
            std::ifstream in(file);
            return std::string(std::istreambuf_iterator<char>(in), {}) == text;
        });
    };
    EXPECT_EQ(Device::notificationAuthorizationStatus(), S::notDetermined);
    host::setNotificationAuthorizationStatus(S::authorized);
    EXPECT_EQ(Device::notificationAuthorizationStatus(), S::authorized);
    ASSERT_TRUE(fileHolds("authorized\n"));
    EXPECT_EQ(testing::modeOf(file), 0600);

    // The next launch, in this process and in another one, is not asked again.
    sdk.relaunch();
    EXPECT_EQ(Device::notificationAuthorizationStatus(), S::authorized);
    EXPECT_NE(testing::runSelf({"SORVEL_PERMISSION_CHILD_HOME=" + sdk.home()}, "END")
                  .find("PERMISSION=2\n"),
              std::string::npos);
    // A withdrawn permission is kept the same way.
    host::setNotificationAuthorizationStatus(S::denied);
    ASSERT_TRUE(fileHolds("denied\n"));
    sdk.relaunch();
    EXPECT_EQ(Device::notificationAuthorizationStatus(), S::denied);

    // Anything else in the file, or a link in its place, is no answer.
    for (const auto& damage : std::vector<std::function<void()>>{
             [&] { std::ofstream(file, std::ios::trunc) << "authorized, or not"; },
             [&] {
                 std::ofstream(file + ".elsewhere") << "authorized\n";
                 ASSERT_EQ(::unlink(file.c_str()), 0);
                 ASSERT_EQ(::symlink((file + ".elsewhere").c_str(), file.c_str()), 0);
             },
         }) {
        damage();
        sdk.relaunch();
        EXPECT_EQ(Device::notificationAuthorizationStatus(), S::notDetermined);
    }
    // Another app's data folder has an answer of its own.
    host::setNotificationAuthorizationStatus(S::authorized);
    testing::TempDir other;
    host::setHomeFolder(other.path());
    EXPECT_EQ(Device::notificationAuthorizationStatus(), S::notDetermined);
}

}  // namespace
}  // namespace sorvel::platform
