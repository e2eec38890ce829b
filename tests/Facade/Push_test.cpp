#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>

#include "Common/DataRegistry.h"
#include "Event/PushOpenMonitor.h"
#include "FacadeFixture.h"
#include "Platform/Device.h"
#include "Platform/Host.h"
#include "Platform/RunLoop.h"
#include "Platform/UserNotificationCenter.h"
#include "sorvel/SorvelPushService.h"

namespace sorvel::facadetest {
namespace {

using namespace std::chrono_literals;

// What a completion of registerLocalPushNotification received.
struct Registration {
    bool done = false;
    bool success = false;
    std::optional<LocalPushError> error;
    std::string id;
};

class PushTest : public FacadeTest {
  protected:
    std::shared_ptr<DataRegistry> registry() { return DiContainer::shared().dataRegistry(); }
    void switchesOn() {
        kv().setPushEnable(true);
        SorvelHost::setNotificationPermission(true);
        // The OS permission as the next request's block will store it.
        registry()->putBool(true, DataRegistryKey::BOOL_IS_PUSH_ENABLE_OS);
    }
    // Shown notifications are recorded, each one waking the waits.
    static std::shared_ptr<platform::RecordingNotificationPresenter> recordShown() {
        auto recorder = std::make_shared<platform::RecordingNotificationPresenter>();
        recorder->setObserver([](const NotificationRequest&) { testing::notifyWaiters(); });
        platform::host::setNotificationPresenter(recorder);
        return recorder;
    }
    // Registers and waits for the completion.
    Registration registerAt(std::chrono::system_clock::time_point date,
                            const std::optional<std::string>& id = std::nullopt,
                            const std::optional<Value::Map>& attrs = std::nullopt,
                            const std::optional<std::string>& image = std::nullopt) {
        auto r = std::make_shared<Registration>();
        auto m = std::make_shared<std::mutex>();
        LocalPushCompletionHandler done = [r, m](bool ok, const std::optional<LocalPushError>& e,
                                                 const std::string& got) {
            {
                std::lock_guard<std::mutex> lock(*m);
                *r = Registration{true, ok, e, got};
            }
            testing::notifyWaiters();
        };
        if (id) {
            kv().registerLocalPushNotification(*id, date, "title", std::nullopt, "body",
                                               std::nullopt, std::nullopt, std::nullopt,
                                               std::nullopt, image, attrs, done);
        } else {
            kv().registerLocalPushNotification(date, "title", std::nullopt, "body", std::nullopt,
                                               std::nullopt, std::nullopt, std::nullopt, image,
                                               attrs, done);
        }
        EXPECT_TRUE(testing::waitUntil([&] {
            std::lock_guard<std::mutex> lock(*m);
            return r->done;
        }));
        std::lock_guard<std::mutex> lock(*m);
        return *r;
    }
    std::vector<std::string> pending() {
        std::mutex m;
        std::optional<std::vector<std::string>> got;
        kv().getRegisteredLocalPushNotification([&](const std::vector<std::string>& ids) {
            {
                std::lock_guard<std::mutex> lock(m);
                got = ids;
            }
            testing::notifyWaiters();
        });
        EXPECT_TRUE(testing::waitUntil([&] {
            std::lock_guard<std::mutex> lock(m);
            return got.has_value();
        }));
        std::lock_guard<std::mutex> lock(m);
        return got.value_or(std::vector<std::string>{});
    }
    static std::string remotePayload(const std::string& extra = "") {
        return R"({"aps":{"alert":{"title":"t","body":"b"},"svl:gf:campaign_id":"c1",)"
               R"("svl:gf:campaign_revision_no":7,"svl:gf:step_id":"s1","svl:gf:cycle_time":"cy",)"
               R"("deep_link_url":"app://deep")" +
               extra + "}}";
    }
};

TEST_F(PushTest, TokenAndSwitchSendSetPushOncePerChange) {
    start();
    kv().setRegistrationId({0x0a, 0xff});
    kv().setRegistrationId({0x0a, 0xff});
    EXPECT_TRUE(testing::waitUntil([&] {
        return registry()->getStringOrNil(DataRegistryKey::STRING_REGISTRATION_ID, std::nullopt) ==
               std::optional<std::string>("0aff");
    }));
    kv().setPushEnable(false);  // unchanged on a fresh install: nothing
    kv().setPushEnable(true);
    kv().setPushEnable(true);
    // A 10 KB token is refused; the stored one stays.
    kv().setRegistrationId(std::vector<std::uint8_t>(10 * 1024, 0x11));
    EXPECT_TRUE(waitForLine("the token has 10240 bytes"));
    ASSERT_TRUE(sendAndWait("marker"));
    EXPECT_EQ(events("set_push").size(), 2u);
    EXPECT_EQ(registry()->getString(DataRegistryKey::STRING_REGISTRATION_ID, ""), "0aff");
    // An empty token is a change too.
    kv().setRegistrationIdForUnity("");
    ASSERT_TRUE(waitForEvents("set_push", 3));
}

TEST_F(PushTest, TheGrantedPermissionSendsSetPushOnceAcrossLaunches) {
    start();
    SorvelHost::setNotificationPermission(true);
    kv().setRegistrationId({0x0a, 0xff});
    kv().setPushEnable(true);
    ASSERT_TRUE(sendAndWait("first"));
    const std::size_t sent = events("set_push").size();
    EXPECT_GE(sent, 1u);
    // The OS keeps the answer; the app asks only at its first launch.
    const std::string file = sdk_.home() + "/" + platform::Device::NOTIFICATION_PERMISSION_FILE;
    ASSERT_TRUE(testing::pollUntil([&] { return std::ifstream(file).good(); }));
    relaunch();
    start();
    ASSERT_TRUE(sendAndWait("second"));
    EXPECT_EQ(events("set_push").size(), sent);
    // The second launch's requests say the permission is on.
    const auto bulks = server_->requests(Endpoint::EVENT_BULK);
    ASSERT_FALSE(bulks.empty());
    const auto body = Value::fromJson(bulks.back().decodedBody);
    ASSERT_TRUE(body && body->isMap());
    const Value::Map& identity = *body->getMap()->at("common").getMap()->at("identity").getMap();
    EXPECT_EQ(identity.at("is_push_enable_os"), Value(true));
}

TEST_F(PushTest, LocalNotificationsScheduleFireAndCancel) {
    start();
    auto clock = std::make_shared<platform::ManualClock>();
    platform::host::setClock(clock);
    auto recorder = recordShown();

    // Switches off: refused with the reason, after the warning.
    Registration off = registerAt(clock->wallNow() + 1h);
    EXPECT_FALSE(off.success);
    ASSERT_TRUE(off.error);
    EXPECT_EQ(off.error->pushError, SvlRemotePushError::PushDisable);
    EXPECT_TRUE(waitForLine("Cannot Use Local Notification (push enable option is OFF)"));

    switchesOn();
    const auto aDate = clock->wallNow() + 1h + 500ms;
    Registration a = registerAt(aDate);
    ASSERT_TRUE(a.success);
    EXPECT_EQ(a.id.size(), 36u);
    EXPECT_EQ(a.id, [&] {
        std::string up = a.id;
        for (char& c : up)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return up;
    }());
    ASSERT_TRUE(registerAt(clock->wallNow() + 2h, "b", Value::Map{{"k", "v"}}).success);
    ASSERT_TRUE(registerAt(clock->wallNow() + 3h, "c").success);
    EXPECT_EQ(pending(), (std::vector<std::string>{a.id, "b", "c"}));
    kv().cancelLocalPushNotification({"c", "unknown"});
    kv().cancelLocalPushNotification({});
    EXPECT_EQ(pending(), (std::vector<std::string>{a.id, "b"}));

    // The first fires at its whole second; the fraction was cut.
    clock->advance(1h + 1s);
    ASSERT_TRUE(testing::waitUntil([&] { return recorder->presented().size() == 1; }));
    const NotificationRequest fired = recorder->presented()[0];
    EXPECT_EQ(fired.identifier, a.id);
    ASSERT_TRUE(fired.trigger);
    EXPECT_EQ(fired.trigger->dateComponents.second,
              platform::localCivilTime(std::chrono::floor<std::chrono::seconds>(aDate)).second);
    EXPECT_EQ(platform::UserNotificationCenter::fireDate(*fired.trigger).value(),
              std::chrono::floor<std::chrono::seconds>(aDate));
    EXPECT_EQ(fired.content.sound, NotificationSound::defaultSound());
    EXPECT_EQ(fired.content.userInfo, (Value::Map{{"push_id", a.id}}));
    clock->advance(1h);
    ASSERT_TRUE(testing::waitUntil([&] { return recorder->presented().size() == 2; }));
    EXPECT_EQ(recorder->presented()[1].content.userInfo.at("push_info"),
              Value(Value::Map{{"k", "v"}}));
    EXPECT_TRUE(pending().empty());

    // Dates in the past and absurd ones get a clear failure.
    Registration past = registerAt(clock->wallNow() - 1h);
    EXPECT_FALSE(past.success);
    ASSERT_TRUE(past.error);
    EXPECT_FALSE(past.error->pushError);
    Registration ancient = registerAt(std::chrono::system_clock::time_point::min() + 24h);
    EXPECT_FALSE(ancient.success);
    // The farthest date the clock can name is still a date: pending, never due here.
    Registration far = registerAt(std::chrono::system_clock::time_point::max() - 24h, "far");
    EXPECT_TRUE(far.success) << (far.error ? far.error->description : "");

    ASSERT_TRUE(registerAt(clock->wallNow() + 1h, "d").success);
    kv().cancelLocalPushNotificationAll();
    EXPECT_TRUE(pending().empty());
    platform::host::setClock(nullptr);
}

TEST_F(PushTest, LocalNotificationImagesOverPlainHttpOrBehindARedirect) {
    start();
    auto clock = std::make_shared<platform::ManualClock>();
    platform::host::setClock(clock);
    auto recorder = recordShown();
    switchesOn();
    // The pictures live on a server of their own, named by its loopback
    // address; a shipped app maps no host, and the SDK sends nothing meanwhile.
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + "picture";
    tools::ServerDouble pictures;
    ASSERT_TRUE(pictures.start());
    pictures.serveFiles("/pics/", [&](const std::string& path) {
        tools::ScriptedAnswer a;
        a.contentType = "image/png";
        if (path == "/pics/a.png") {
            a.body = png;
        } else {
            a.status = 302;
            a.location = pictures.baseUrl() + "/pics/a.png";
        }
        return std::optional<tools::ScriptedAnswer>(a);
    });
    SorvelHost::setNetworkAvailable(false);
    platform::host::clearHttpHostMappings();

    ASSERT_TRUE(
        registerAt(clock->wallNow() + 1h, "plain", std::nullopt, pictures.baseUrl() + "/pics/a.png")
            .success);
    ASSERT_TRUE(
        registerAt(clock->wallNow() + 1h, "moved", std::nullopt, pictures.baseUrl() + "/pics/moved")
            .success);
    clock->advance(1h + 1s);
    ASSERT_TRUE(testing::waitUntil([&] { return recorder->presented().size() == 2; }));
    for (const auto& shown : recorder->presented()) {
        SCOPED_TRACE(shown.identifier);
        ASSERT_EQ(shown.content.attachments.size(), 1u);
        std::ifstream in(shown.content.attachments[0].path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), png);
    }
    EXPECT_FALSE(logs_.contains("Local Push :: image Data is nil"));
    platform::host::setClock(nullptr);
}

TEST_F(PushTest, OpensReachTheDelegatesAndCountInsideTheWindow) {
    start();
    ASSERT_TRUE(sendAndWait("session"));  // a session runs
    std::mutex m;
    std::vector<std::pair<std::string, Value::Map>> calls;
    auto record = [&](const char* who) {
        return [&, who](const Value::Map& data, SorvelKvApplicationState) {
            {
                std::lock_guard<std::mutex> lock(m);
                calls.emplace_back(who, data);
            }
            testing::notifyWaiters();
        };
    };
    kv().setSorvelKvPushLocalDelegate(makePushLocalDelegate(record("local")));
    kv().setSorvelKvPushRemoteDelegate(makePushRemoteDelegate(record("remote")));
    SorvelHost::setNotificationResponseHandler(
        [](const NotificationResponse& r) { SorvelKV::getInstance().userNotificationCenter(r); });

    // A local notification of the SDK: its delegate, no event.
    NotificationRequest local;
    local.identifier = "L1";
    local.content.userInfo = {{"push_id", "L1"}, {"push_info", Value::Map{{"extra", 1}}}};
    platform::UserNotificationCenter::current().deliver(local);
    platform::UserNotificationCenter::current().flush();
    ASSERT_TRUE(SorvelHost::tapNotification("L1"));
    EXPECT_FALSE(SorvelHost::tapNotification("L1"));  // answered already
    {
        std::lock_guard<std::mutex> lock(m);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].first, "local");
        EXPECT_EQ(calls[0].second, (Value::Map{{"push_id", "L1"}, {"extra", 1}}));
    }

    // A remote one inside the window: the delegate first, then "open_push" at once.
    std::string id = SorvelHost::deliverRemoteNotification(remotePayload());
    ASSERT_FALSE(id.empty());
    platform::UserNotificationCenter::current().flush();
    ASSERT_TRUE(SorvelHost::tapNotification(id));
    {
        std::lock_guard<std::mutex> lock(m);
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[1].second, (Value::Map{{"deep_link_url", "app://deep"}}));
    }
    ASSERT_TRUE(sendAndWait("marker1"));
    ASSERT_EQ(events("open_push").size(), 1u);
    const Value::Map params = callParams(events("open_push")[0]);
    EXPECT_EQ(params.at("svl:gf:campaign_id"), Value("string:c1"));
    EXPECT_EQ(params.at("svl:gf:campaign_revision_no"), Value("long:7"));
    EXPECT_FALSE(PushOpenMonitor::shared().isOpendByPush());

    // Outside the window: left for the next session start, no event.
    registry()->putInt64(platform::wallMillis() - 5 * 60 * 1000,
                         DataRegistryKey::INT64_LAST_SESSION_END_TIME);
    id = SorvelHost::deliverRemoteNotification(remotePayload());
    platform::UserNotificationCenter::current().flush();
    ASSERT_TRUE(SorvelHost::tapNotification(id));
    EXPECT_TRUE(PushOpenMonitor::shared().isOpendByPush());
    EXPECT_EQ(PushOpenMonitor::shared().pushOpenEventParam()->at("svl:gf:campaign_revision_no"),
              Value(std::int64_t{7}));

    // Dismissed, or a custom action: nothing tracked.
    id = SorvelHost::deliverRemoteNotification(remotePayload());
    platform::UserNotificationCenter::current().flush();
    ASSERT_TRUE(SorvelHost::dismissNotification(id));
    EXPECT_TRUE(waitForLine("Push Msg Closed"));
    NotificationResponse custom;
    custom.request.content.userInfo = {{"aps", Value::Map{}}};
    custom.actionIdentifier = "reply";
    kv().userNotificationCenter(custom);
    EXPECT_TRUE(waitForLine("Push Msg response unknown"));
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(calls.size(), 3u);
}

TEST_F(PushTest, ParsePushDataPrecedenceAndOpenPush) {
    start();
    ASSERT_TRUE(sendAndWait("session"));
    const Value::Map userInfo = *Value::fromJson(remotePayload())->getMap();
    SvlRemotePushError e{};
    EXPECT_FALSE(kv().parsePushData(userInfo, e));
    EXPECT_EQ(e, SvlRemotePushError::PushDisable);
    switchesOn();
    auto model = kv().parsePushData(userInfo, e);
    ASSERT_TRUE(model);
    EXPECT_EQ(model->deeplinkUrl(), "app://deep");
    EXPECT_FALSE(kv().parsePushData(Value::Map{{"aps", Value::Map{}}}, e));
    EXPECT_EQ(e, SvlRemotePushError::NoSvlPushData);

    std::optional<Value::Map> remoteData;
    kv().setSorvelKvPushRemoteDelegate(makePushRemoteDelegate(
        [&](const Value::Map& data, SorvelKvApplicationState) { remoteData = data; }));
    auto tracked = SvlRemotePushModel::fromTrackingValues("c2", 1, "s", "cy", nullptr);
    kv().openPush(*tracked);
    ASSERT_TRUE(remoteData);
    EXPECT_TRUE(remoteData->empty());
    ASSERT_TRUE(sendAndWait("marker"));
    EXPECT_EQ(events("open_push").size(), 1u);

    // Disabled wins over the push switch.
    kv().setPushEnable(false);
    kv().gdprForgetMe();
    EXPECT_TRUE(testing::waitUntil([&] {
        return !kv().parsePushData(userInfo, e) && e == SvlRemotePushError::SorvelDisabled;
    }));
    // A registration is refused with the matching reason, after the guard's line.
    Registration refused = registerAt(std::chrono::system_clock::now() + 1h, "late");
    EXPECT_FALSE(refused.success);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->pushError, SvlRemotePushError::SorvelDisabled);
    EXPECT_EQ(refused.error->description, localizedDescription(SvlRemotePushError::SorvelDisabled));
    EXPECT_TRUE(
        waitForLine("Push service is not available : due to SDK status (pause / stop / gdpr)"));
}

TEST_F(PushTest, ControllerChecksTheSwitchesThenDecoratesOnTheMainQueue) {
    start();
    platform::host::setPreferredLanguages(std::vector<std::string>{"ko-KR"});
    NotificationRequest request;
    request.content.title = "own";
    request.content.userInfo =
        *Value::fromJson(R"({"aps":{"gen_sound":"1","custom_alert":{"KO":{"title":"ko"}}}})")
             ->getMap();
    std::optional<NotificationContent> got;
    kv().didReceiveSvlPush(request, [&](NotificationContent c) { got = std::move(c); });
    // Switch off: the content comes back at once, unchanged.
    ASSERT_TRUE(got);
    EXPECT_EQ(got->title, "own");
    EXPECT_TRUE(waitForLine("Push service is not available : push enable = flase"));

    switchesOn();
    got.reset();
    kv().didReceiveSvlPush(request, [&](NotificationContent c) { got = std::move(c); });
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return got.has_value(); }, 10s));
    EXPECT_EQ(got->title, "ko");
    EXPECT_EQ(got->sound, NotificationSound::defaultSound());
    kv().svlPushServiceExtensionTimeWillExpire();  // already delivered: nothing more
}

}  // namespace
}  // namespace sorvel::facadetest
