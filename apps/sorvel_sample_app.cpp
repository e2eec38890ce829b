// The app of the sample: one launch of an app that uses the SDK as any app
// does, through its public headers and the shared library, and nothing else.
// The runner (sorvel_sample) starts it, with the options it was given plus
// --launch, and steps it through its script: at each "@step" line the app
// waits for the runner's "go" on its standard input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "SampleOptions.h"
#include "sorvel/SorvelHost.h"
#include "sorvel/SorvelKV.h"
#if defined(SORVEL_SAMPLE_RENDER)
#include "sorvel/render/InAppRenderer.h"
#endif
#include "sorvel/SorvelPushService.h"

using namespace std::chrono_literals;
using sample::Options;
using sorvel::SorvelHost;
using sorvel::SorvelKV;
using sorvel::Value;

// fontconfig keeps its configuration until the process ends, which the leak
// checker of sanitizer builds would report; it is not ours to free.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}

namespace {

void waitForRunner(const char* step) {
    std::printf("@step %s\n", step);
    std::fflush(stdout);
    char line[64];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        std::exit(3);  // the runner went away
    }
}

// Makes a delete or restart request and prints its outcome, waiting for it
// 30 s at most.
template <typename Request>
void print(const char* what, Request&& request) {
    struct Answer {
        std::mutex mu;
        std::condition_variable cv;
        std::optional<sorvel::Completion> value;
    };
    auto answer = std::make_shared<Answer>();
    request([answer](sorvel::Completion c) {
        std::lock_guard<std::mutex> lock(answer->mu);
        answer->value = c;
        answer->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(answer->mu);
    answer->cv.wait_for(lock, 30s, [&] { return answer->value.has_value(); });
    std::printf("%s: %s\n", what,
                !answer->value                                  ? "no answer"
                : *answer->value == sorvel::Completion::SUCCESS ? "success"
                                                                : "failure");
}

// Runs one message-history call and returns its result, waiting 30 s at most.
template <typename Call>
std::optional<sorvel::ActionHistoryResult> historyCall(Call&& call) {
    struct Answer {
        std::mutex mu;
        std::condition_variable cv;
        std::optional<sorvel::ActionHistoryResult> value;
    };
    auto answer = std::make_shared<Answer>();
    call([answer](const sorvel::ActionHistoryResult& r) {
        std::lock_guard<std::mutex> lock(answer->mu);
        answer->value = r;
        answer->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(answer->mu);
    answer->cv.wait_for(lock, 30s, [&] { return answer->value.has_value(); });
    return answer->value;
}

// The inbox round: a received push stored, the user's history fetched from the
// server and merged, its oldest entry deleted, the inbox read back. The step's
// name carries the counts for the runner's summary.
void historyRound(SorvelKV& sdk) {
    // The history is the signed-in user's: the app says who that is at each
    // launch, as apps do.
    sdk.login("sample-user");
    const std::vector<std::string> types{"PUSH_IOS", "KAKAOTALK", "TEXT_MESSAGE"};
    Value::Map alert{{"title", Value("Your order shipped")}, {"body", Value("Track it here")}};
    Value::Map aps{
        {"custom_alert", Value(Value::Map{})},     {"alert", Value(alert)},
        {"notification_id", Value(101)},           {"svl:gf:campaign_id", Value("camp-1")},
        {"svl:gf:campaign_revision_no", Value(1)}, {"svl:gf:step_id", Value("step-1")},
        {"svl:gf:cycle_time", Value("cycle-1")}};
    sdk.insertPushData({{"aps", Value(aps)}});
    const auto fetched = historyCall(
        [&](auto done) { sdk.fetchActionHistoryByUserId(std::nullopt, types, std::move(done)); });
    const auto entries = fetched && fetched->getData() ? *fetched->getData()
                                                       : sorvel::ActionHistoryResult::Entries{};
    std::printf(
        "history: the server sent %zu entries%s%s\n", entries.size(),
        fetched && fetched->getError() ? ", " : "",
        fetched && fetched->getError() ? fetched->getError()->localizedDescription().c_str() : "");
    int deleted = 0;
    if (!entries.empty()) {
        const auto oldest = *std::min_element(
            entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a->timeStamp < b->timeStamp; });
        const auto removed = historyCall([&](auto done) {
            sdk.deleteActionHistory(std::nullopt, oldest->historyId, oldest->timeStamp,
                                    std::move(done));
        });
        deleted = removed && removed->isSucceeded() ? 1 : 0;
        std::printf("history: deleting %s: %s\n", oldest->historyId.c_str(),
                    deleted ? "success" : "failure");
    }
    const auto inbox =
        historyCall([&](auto done) { sdk.getAllActionHistory(types, std::move(done)); });
    std::size_t pushes = 0, synced = 0;
    for (const auto& e :
         inbox && inbox->getData() ? *inbox->getData() : sorvel::ActionHistoryResult::Entries{}) {
        (e->isServerSynced ? synced : pushes) += 1;
        std::printf("history: inbox %s \"%s\"\n", e->historyId.c_str(),
                    e->content.title.value_or("").c_str());
    }
    const std::string step =
        "history pushes=" + std::to_string(pushes) + " fetched=" + std::to_string(entries.size()) +
        " deleted=" + std::to_string(deleted) + " inbox=" + std::to_string(pushes + synced);
    waitForRunner(step.c_str());
}

sorvel::SorvelKvAttrModel attrs(std::initializer_list<std::pair<const char*, Value>> entries) {
    sorvel::SorvelKvAttrModel model;
    for (const auto& [key, value] : entries) {
        if (const std::string* s = value.getString()) {
            model.setAttrDataString(key, *s);
        } else if (const std::int64_t* n = value.getInt64()) {
            model.setAttrDataInt64(key, *n);
        } else if (const double* d = value.getDouble()) {
            model.setAttrDataDouble(key, *d);
        } else if (const bool* b = value.getBool()) {
            model.setAttrDataBool(key, *b);
        }
    }
    return model;
}

#if defined(SORVEL_SAMPLE_RENDER)
// Shows in-app messages the way a Linux app with a window would: each one is
// drawn (here into a PNG file beside the app's data) and the user's tap on its
// first campaign button is handed back to the SDK.
class PngPresenter final : public sorvel::InAppMessagePresenter {
  public:
    explicit PngPresenter(std::string path) : path_(std::move(path)) {}

    void present(const std::shared_ptr<sorvel::InAppMessageScreen>& screen) override {
        const sorvel::InAppViewNode tree = screen->snapshot();
        std::string error;
        const bool drawn =
            makePrivateFile(path_, error) &&
            sorvel::render::writePng(tree, screen->width(), screen->height(), path_, 1.0, &error);
        std::printf("in-app: %s shown, %s\n", tree.campaignId.c_str(),
                    drawn ? ("drawn to " + path_).c_str() : error.c_str());
        std::vector<sorvel::InAppRect> buttons;
        collectButtons(tree, 0, 0, buttons);
        // The close button comes first; the campaign's buttons follow it.
        if (buttons.size() > 1) {
            const sorvel::InAppRect& b = buttons[1];
            const bool tapped = screen->tap(b.x + b.width / 2, b.y + b.height / 2);
            std::printf("in-app: its first button %s\n",
                        tapped ? "tapped" : "did not take the tap");
        }
        std::fflush(stdout);
        std::lock_guard<std::mutex> lock(mu_);
        shown_ = true;
        cv_.notify_all();
    }
    void dismissed(const std::shared_ptr<sorvel::InAppMessageScreen>&) override {
        std::printf("in-app: closed\n");
        std::fflush(stdout);
    }
    bool waitShown(std::chrono::milliseconds deadline) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, deadline, [&] { return shown_; });
    }

  private:
    // The picture lies in the app's data folder, where every file is the
    // user's alone. cairo creates a file with the umask's mode and keeps the
    // mode of one it rewrites: the file is made 0600 before it is drawn.
    static bool makePrivateFile(const std::string& path, std::string& error) {
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        const bool made = fd >= 0 && ::fchmod(fd, 0600) == 0;
        if (!made) {
            error = "cannot make " + path + ": " + std::strerror(errno);
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return made;
    }
    static void collectButtons(const sorvel::InAppViewNode& n, double x, double y,
                               std::vector<sorvel::InAppRect>& out) {
        const double nx = x + n.frame.x;
        const double ny = y + n.frame.y;
        if (n.kind == sorvel::InAppNodeKind::BUTTON) {
            out.push_back(sorvel::InAppRect{nx, ny, n.frame.width, n.frame.height});
        }
        for (const auto& c : n.children) {
            collectButtons(c, nx, ny, out);
        }
    }

    std::string path_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool shown_ = false;
};
#endif
// Waits, 60 s at most, until the SDK has started: its initialisation is over
// and the first activation handled. From then on an event can show an in-app
// message and a local notification is checked against the user's permission;
// before, the SDK holds such calls or cannot serve them yet. True when the SDK
// runs.
bool waitUntilStarted() {
    struct Started {
        std::mutex mu;
        std::condition_variable cv;
        std::optional<bool> running;
    };
    auto started = std::make_shared<Started>();
    SorvelHost::whenStarted([started](bool running) {
        {
            std::lock_guard<std::mutex> lock(started->mu);
            started->running = running;
        }
        started->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(started->mu);
    started->cv.wait_for(lock, 60s, [&] { return started->running.has_value(); });
    return started->running.value_or(false);
}

// The language the machine's user reads, in capitals, as a push server keys
// its texts: the first of LANGUAGE, LC_ALL, LC_MESSAGES and LANG that names
// one ("ko_KR.UTF-8" is "KO"); the C locale reads English.
std::string userLanguage() {
    auto languageOf = [](std::string locale) {
        locale = locale.substr(0, locale.find_first_of("_.@-"));
        const bool letters = std::all_of(locale.begin(), locale.end(),
                                         [](unsigned char c) { return std::isalpha(c) != 0; });
        if (!letters || locale == "C" || locale == "POSIX") {
            return std::string();
        }
        for (char& c : locale) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return locale;
    };
    const char* list = std::getenv("LANGUAGE");
    for (std::string rest = list ? list : ""; !rest.empty();) {
        const auto colon = rest.find(':');
        if (auto l = languageOf(rest.substr(0, colon)); !l.empty()) {
            return l;
        }
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (auto l = languageOf(v ? v : ""); !l.empty()) {
            return l;
        }
    }
    return "EN";
}

// Polls the condition every 50 ms until it holds or 10 s have passed.
bool waitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::optional<sorvel::NotificationRequest> shownNotification(const std::string& id) {
    for (auto& n : SorvelHost::deliveredNotifications()) {
        if (n.identifier == id) {
            return n;
        }
    }
    return std::nullopt;
}

// The push round: the user allows notifications, the app registers its token,
// a local notification fires, and a remote one is decorated in the user's
// language, shown, tapped and opened. Each step is checked, and the step's
// name carries the outcome for the runner's summary (the runner checks that
// the token reached the server).
void pushRound(SorvelKV& sdk) {
    SorvelHost::setNotificationPermission(true);
    SorvelHost::setNotificationServiceExtension(std::make_shared<sorvel::SorvelPushService>());
    // The delegate stays with the SDK after the round.
    auto opens = std::make_shared<std::atomic<int>>(0);
    sdk.setSorvelKvPushRemoteDelegate(sorvel::makePushRemoteDelegate(
        [opens](const Value::Map&, sorvel::SorvelKvApplicationState) { ++*opens; }));
    SorvelHost::setNotificationResponseHandler(
        [&sdk](const sorvel::NotificationResponse& r) { sdk.userNotificationCenter(r); });
    sdk.setRegistrationId({0x0a, 0xff, 0x10, 0x20});
    sdk.setPushEnable(true);
    // The OS permission reaches the SDK with its next request; until then a
    // local notification is refused with a warning. Parsing a payload tells,
    // without a line, when it has: the payload is refused as PushDisable while
    // the push switch or the permission is off, and for its content (this
    // empty one has none) once both are on.
    sdk.event("push_permission_asked");
    waitUntil([&] {
        sorvel::SvlRemotePushError refusal{};
        sdk.parsePushData({}, refusal);
        return refusal != sorvel::SvlRemotePushError::PushDisable;
    });
    // Whether it was scheduled shows when it does (or does not) show.
    sdk.registerLocalPushNotification("sample-local", std::chrono::system_clock::now() + 1s,
                                      "Reminder", std::nullopt, "Your level is waiting",
                                      std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                      std::nullopt, std::nullopt, nullptr);
    const bool local = waitUntil([] { return shownNotification("sample-local").has_value(); });

    // The campaign's title in English and in the user's language.
    const std::string language = userLanguage();
    const std::string title = language == "EN" ? "Weekend sale" : "Weekend sale (" + language + ")";
    std::string alerts = R"("EN":{"title":"Weekend sale"})";
    if (language != "EN") {
        alerts += R"(,")" + language + R"(":{"title":")" + title + R"("})";
    }
    // The extension may fetch an image on the calling thread: the payload is
    // handed over off the app's UI thread, on the thread that received it.
    std::string id;
    std::thread received([&] {
        id = SorvelHost::deliverRemoteNotification(
            R"({"aps":{"alert":{"title":"Sale","body":"Today only"},"gen_sound":"1",)"
            R"("custom_alert":{)" +
            alerts +
            R"(},"svl:gf:campaign_id":"cmp-1",)"
            R"("svl:gf:campaign_revision_no":1,"svl:gf:step_id":"step-1","svl:gf:cycle_time":"1"}})");
    });
    received.join();
    waitUntil([&] { return shownNotification(id).has_value(); });
    const auto remote = shownNotification(id);
    const bool decorated = remote && remote->content.title == title;
    const bool tapped = remote && SorvelHost::tapNotification(id);
    waitUntil([&] { return !tapped || *opens > 0; });
    const int opened = opens->load();
    std::printf(
        "push round: local notification shown %d, remote shown with the %s title %d "
        "(\"%s\"), tapped %d, opens reported %d\n",
        local ? 1 : 0, language.c_str(), decorated ? 1 : 0,
        remote ? remote->content.title.c_str() : "", tapped ? 1 : 0, opened);
    const std::string step = "push local=" + std::to_string(local ? 1 : 0) +
                             " decorated=" + std::to_string(decorated ? 1 : 0) +
                             " opened=" + std::to_string(tapped && opened > 0 ? 1 : 0);
    waitForRunner(step.c_str());
}

int runApp(const Options& o) {
    SorvelHost::setDataFolder(o.home);
    SorvelHost::setBundleId("com.example.sorvelsample");
    SorvelHost::setAppVersion("1.0", std::to_string(o.launch));
    SorvelHost::setServerBaseUrl(o.server);
#if defined(SORVEL_SAMPLE_RENDER)
    // A phone-sized screen for in-app messages, drawn with the reference renderer.
    SorvelHost::setScreen(390, 844, sorvel::InAppInsets{47, 0, 34, 0},
                          sorvel::InAppInsets{0, 47, 21, 47});
    SorvelHost::setInAppTextMetrics(sorvel::render::makeTextMetrics());
    auto presenter = std::make_shared<PngPresenter>(o.home + "/inapp-message.png");
    SorvelHost::setInAppMessagePresenter(presenter);
#endif
    // The SDK's timers run on a main loop served on a thread of its own until
    // this function returns.
    SorvelHost::MainLoopThread mainLoop;

    auto& sdk = SorvelKV::getInstance();
    sdk.setDeeplinkDelegate(sorvel::makeDeeplinkDelegate([](const std::string& deeplink) {
        std::printf("deeplink delegate: the app was opened with %s\n", deeplink.c_str());
        std::fflush(stdout);
    }));
    if (o.launch == 1 && o.offline) {
        SorvelHost::setNetworkAvailable(false);
    }
    sdk.initSorvel(o.appKey, o.secretKey);
    if (o.launch == 2) {
        // Opened through a tracking link: its ad-key carries its creation
        // time. The first open is recorded by now, so the link is kept for the
        // session this activation starts.
        const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
        sdk.deepLinkOpen("sampleapp://promo?svl_tid=" + std::to_string(nowMs) +
                         ":sample&svl_tracker_id=tracker-1");
    }
    SorvelHost::applicationDidBecomeActive();
    if (!waitUntilStarted()) {
        std::printf("the SDK did not start: its error is on stderr\n");
        std::fflush(stdout);
    }

    if (o.launch == 1) {
        sdk.eventWithAttr(
            "level_started",
            attrs({{"level", Value(3)}, {"mode", Value("hard")}, {"boosted", Value(true)}}));
        auto product = sdk.createCommerceProductDataWithAttr(
            "sku-1", "Blue shirt", 25.0, 2, 5.0, sdk.getCurrencyString(2),
            sdk.createCommerceProductCategoryData("clothes", "shirts", "", "", ""), std::nullopt);
        sdk.commonPurchase("order-1", {product}, 40.0, 10.0, 0.0,
                           sorvel::SorvelKvPaymentMethod::CREDIT_CARD);
        sdk.commerceProductView(product);
        sdk.gameLevelAchieved(4);
        sdk.login("sample-user");
        sdk.setUserPropertiesWithAttr(attrs({{"plan", Value("gold")}, {"visits", Value(7)}}));
        if (!o.offline) {
            pushRound(sdk);
        }
        SorvelHost::applicationWillResignActive();
        waitForRunner("resigned");
        if (o.offline) {
            SorvelHost::setNetworkAvailable(true);
            SorvelHost::applicationDidBecomeActive();
            // The OS permission reaches the SDK with a request it sends, so
            // local notifications wait for the network.
            pushRound(sdk);
            SorvelHost::applicationWillResignActive();
            waitForRunner("back-online");
        }
    } else {
        sdk.event("app_reopened");
#if defined(SORVEL_SAMPLE_RENDER)
        // The campaign the server lists for "show_offer" (stored at the first
        // launch, or fetched at this one's start): asked for until it shows.
        bool shown = false;
        for (int i = 0; i < 20 && !shown; ++i) {
            sdk.event("show_offer");
            shown = presenter->waitShown(500ms);
        }
        if (!shown) {
            std::printf("in-app: nothing shown\n");
        }
#endif
        SorvelHost::applicationWillResignActive();
        waitForRunner("reopened");
        // Back within a minute: the session goes on, no new start.
        SorvelHost::applicationDidBecomeActive();
        if (o.events > 0) {
            const auto start = std::chrono::steady_clock::now();
            const long step = std::max(1L, o.events / 10);
            for (long i = 0; i < o.events; ++i) {
                sdk.eventWithAttr("burst", attrs({{"n", Value(static_cast<std::int64_t>(i))}}));
                if ((i + 1) % step == 0 || i + 1 == o.events) {
                    std::printf("recording: %ld/%ld\r", i + 1, o.events);
                    std::fflush(stdout);
                }
            }
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::printf("recorded %ld events in %.3f s (%.0f events/s on the app's thread)\n",
                        o.events, seconds, o.events / std::max(seconds, 1e-9));
            SorvelHost::applicationWillResignActive();
            waitForRunner("burst");
            SorvelHost::applicationDidBecomeActive();
        }
        historyRound(sdk);
        // The privacy round: the user's data is deleted and the SDK stopped,
        // then started again.
        print("delete user data",
              [&](auto done) { sdk.deleteUserDataAndStopSDK("sample-user", std::move(done)); });
        sdk.event("after_delete");  // refused: the SDK is stopped
        print("restart", [&](auto done) { sdk.restartSDK("sample-user", std::move(done)); });
        sdk.event("after_restart");
        SorvelHost::applicationWillResignActive();
        waitForRunner("privacy");
    }
    // The app ends: what it recorded is stored, and its upload gets up to 5 s.
    const bool settled = SorvelHost::applicationWillTerminate(std::chrono::seconds(5));
    std::printf("terminate: %s\n", settled ? "everything stored, uploads ended"
                                           : "time ran out; the rest goes at the next launch");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = sample::parse(argc, argv);
    if (o.launch != 1 && o.launch != 2) {
        sample::usage("sorvel_sample_app is started by sorvel_sample");
    }
    return runApp(o);
}
