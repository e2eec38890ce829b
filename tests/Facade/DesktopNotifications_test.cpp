#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "FacadeFixture.h"
#include "Platform/Host.h"
#include "Platform/UserNotificationCenter.h"

// The desktop presenter against a private session bus and a small recording
// notification service standing in for the desktop's.

namespace sorvel::facadetest {
namespace {

using namespace std::chrono_literals;

// A private "dbus-daemon --session"; its address, or "" when it cannot run.
class PrivateBus {
  public:
    PrivateBus() {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
                   "--print-address=1", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        testing::Fd reader(out[0]);
        std::string said;
        if (pid_ > 0 && testing::readUntil(reader.get(), "\n", 10s, said)) {
            address_ = said.substr(0, said.find('\n'));
        }
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& address() const { return address_; }

  private:
    pid_t pid_ = -1;
    std::string address_;
};

struct Shown {
    std::uint32_t id = 0;
    std::string summary;
    std::string body;
    std::string imagePath;
};

// Owns org.freedesktop.Notifications on the bus and records every Notify; can
// send ActionInvoked for a shown notification, as a click on it would.
class RecordingNotificationService {
  public:
    explicit RecordingNotificationService(const std::string& address) {
        if (sd_bus_new(&bus_) < 0)
            return;
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        if (sd_bus_start(bus_) < 0)
            return;
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", &RecordingNotificationService::onNotify,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_SIGNAL("ActionInvoked", "us", 0), SD_BUS_VTABLE_END};
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/Notifications",
                                 "org.freedesktop.Notifications", vtable, this);
        ready_ = sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0) >= 0;
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread_ = std::thread([this] { run(); });
    }
    ~RecordingNotificationService() {
        stop_ = true;
        poke();
        if (thread_.joinable())
            thread_.join();
        if (wake_ >= 0)
            close(wake_);
        sd_bus_flush_close_unref(bus_);
    }
    bool ready() const { return ready_; }
    std::vector<Shown> shown() {
        std::lock_guard<std::mutex> lock(mu_);
        return shown_;
    }
    // Sends ActionInvoked(id, "default") from the service's thread.
    void click(std::uint32_t id) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            clicks_.push_back(id);
        }
        poke();
    }

  private:
    static int onNotify(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* s = static_cast<RecordingNotificationService*>(self);
        const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
        std::uint32_t replaces = 0;
        sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
        sd_bus_message_skip(m, "as");
        Shown shown;
        shown.summary = summary ? summary : "";
        shown.body = body ? body : "";
        sd_bus_message_enter_container(m, 'a', "{sv}");
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            const char* key = nullptr;
            sd_bus_message_read(m, "s", &key);
            if (key && std::string(key) == "image-path") {
                const char* v = nullptr;
                sd_bus_message_read(m, "v", "s", &v);
                shown.imagePath = v ? v : "";
            } else {
                sd_bus_message_skip(m, "v");
            }
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        {
            std::lock_guard<std::mutex> lock(s->mu_);
            shown.id = static_cast<std::uint32_t>(s->shown_.size() + 1);
            s->shown_.push_back(shown);
        }
        testing::notifyWaiters();
        return sd_bus_reply_method_return(m, "u", shown.id);
    }
    void poke() {
        const std::uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
    }
    void run() {
        while (!stop_) {
            std::vector<std::uint32_t> clicks;
            {
                std::lock_guard<std::mutex> lock(mu_);
                clicks.swap(clicks_);
            }
            for (auto id : clicks) {
                sd_bus_emit_signal(bus_, "/org/freedesktop/Notifications",
                                   "org.freedesktop.Notifications", "ActionInvoked", "us", id,
                                   "default");
            }
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            pollfd fds[2] = {{sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0},
                             {wake_, POLLIN, 0}};
            poll(fds, 2, 1000);
            std::uint64_t n = 0;
            (void)!read(wake_, &n, sizeof n);
        }
    }

    sd_bus* bus_ = nullptr;
    bool ready_ = false;
    int wake_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::vector<Shown> shown_;
    std::vector<std::uint32_t> clicks_;
};

TEST_F(FacadeTest, DesktopNotificationsShowOnTheBusAndClicksComeBack) {
    if (testing::runProgram({"dbus-daemon", "--version"}, 10s).exitCode != 0) {
        GTEST_SKIP() << "dbus-daemon is not installed; the desktop presenter is not tested";
    }
    PrivateBus bus;
    ASSERT_FALSE(bus.address().empty());
    RecordingNotificationService service(bus.address());
    ASSERT_TRUE(service.ready());
    ASSERT_TRUE(SorvelHost::useDesktopNotifications(bus.address()));

    start();
    ASSERT_TRUE(sendAndWait("session"));
    kv().setPushEnable(true);
    SorvelHost::setNotificationPermission(true);
    DiContainer::shared().dataRegistry()->putBool(true, DataRegistryKey::BOOL_IS_PUSH_ENABLE_OS);

    std::mutex m;
    std::vector<std::string> opened;
    kv().setSorvelKvPushLocalDelegate(
        makePushLocalDelegate([&](const Value::Map& data, SorvelKvApplicationState) {
            std::lock_guard<std::mutex> lock(m);
            opened.push_back("local:" + *data.at("push_id").getString());
            testing::notifyWaiters();
        }));
    kv().setSorvelKvPushRemoteDelegate(
        makePushRemoteDelegate([&](const Value::Map&, SorvelKvApplicationState) {
            std::lock_guard<std::mutex> lock(m);
            opened.push_back("remote");
            testing::notifyWaiters();
        }));
    // The app handles responses itself: local ones through the SDK's
    // response call, remote ones through parsePushData and openPush.
    std::atomic<int> handled{0};
    SorvelHost::setNotificationResponseHandler([&handled](const NotificationResponse& r) {
        auto& sdk = SorvelKV::getInstance();
        if (auto model = sdk.parsePushData(r.request.content.userInfo)) {
            sdk.openPush(*model);
        } else {
            sdk.userNotificationCenter(r);
        }
        ++handled;
        testing::notifyWaiters();
    });

    // A local notification with an image, due in a second.
    const std::string image = sdk_.home() + "/picture.png";
    std::ofstream(image, std::ios::binary) << std::string("\x89PNG\r\n\x1a\nimage", 13);
    std::atomic<bool> scheduled{false};
    kv().registerLocalPushNotification(
        "local-1", std::chrono::system_clock::now() + 1s, "Lunch", std::string("today"), "Noodles",
        std::nullopt, std::nullopt, std::nullopt, std::nullopt, image, std::nullopt,
        [&](bool ok, const std::optional<LocalPushError>&, const std::string&) {
            scheduled = ok;
            testing::notifyWaiters();
        });
    ASSERT_TRUE(testing::waitUntil([&] { return scheduled.load(); }));
    ASSERT_TRUE(testing::waitUntil([&] { return service.shown().size() == 1; }));
    Shown local = service.shown()[0];
    EXPECT_EQ(local.summary, "Lunch");
    EXPECT_EQ(local.body, "today\nNoodles");
    EXPECT_EQ(local.imagePath.rfind("file:///", 0), 0u);
    EXPECT_NE(local.imagePath.find("sorvelLocalPushImage.jpg"), std::string::npos);

    service.click(local.id);
    ASSERT_TRUE(testing::waitUntil([&] {
        std::lock_guard<std::mutex> lock(m);
        return opened.size() == 1;
    }));

    // A remote notification: shown, clicked, counted through openPush.
    ASSERT_FALSE(
        SorvelHost::deliverRemoteNotification(
            R"({"aps":{"alert":{"title":"Sale","body":"Now"},"svl:gf:campaign_id":"c",)"
            R"("svl:gf:campaign_revision_no":1,"svl:gf:step_id":"s","svl:gf:cycle_time":"t"}})")
            .empty());
    ASSERT_TRUE(testing::waitUntil([&] { return service.shown().size() == 2; }));
    EXPECT_EQ(service.shown()[1].summary, "Sale");
    service.click(service.shown()[1].id);
    ASSERT_TRUE(testing::waitUntil([&] {
        std::lock_guard<std::mutex> lock(m);
        return opened.size() == 2;
    }));
    {
        std::lock_guard<std::mutex> lock(m);
        EXPECT_EQ(opened, (std::vector<std::string>{"local:local-1", "remote"}));
    }
    // The open is queued once the handler returned.
    ASSERT_TRUE(testing::waitUntil([&] { return handled.load() == 2; }));
    ASSERT_TRUE(sendAndWait("after"));
    EXPECT_EQ(events("open_push").size(), 1u);
    platform::host::setNotificationPresenter(nullptr);
}

TEST_F(FacadeTest, DesktopNotificationsWithoutABusFallBackToRecording) {
    EXPECT_FALSE(SorvelHost::useDesktopNotifications("unix:path=/nonexistent/bus"));
    EXPECT_TRUE(dynamic_cast<platform::RecordingNotificationPresenter*>(
                    platform::UserNotificationCenter::current().presenter().get()) != nullptr);
}

}  // namespace
}  // namespace sorvel::facadetest
