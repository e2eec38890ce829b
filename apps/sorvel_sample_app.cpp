// The app of the sample: one launch of an app that uses the SDK as any app
// does, through its public headers and the shared library, and nothing else.
// The runner (sorvel_sample) starts it, with the options it was given plus
// --launch, and steps it through its script: at each "@step" line the app
// waits for the runner's "go" on its standard input.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "SampleOptions.h"
#include "sorvel/SorvelHost.h"
#include "sorvel/SorvelKV.h"

using namespace std::chrono_literals;
using sample::Options;
using sorvel::SorvelHost;
using sorvel::SorvelKV;
using sorvel::Value;

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

int runApp(const Options& o) {
    SorvelHost::setDataFolder(o.home);
    SorvelHost::setBundleId("com.example.sorvelsample");
    SorvelHost::setAppVersion("1.0", std::to_string(o.launch));
    SorvelHost::setServerBaseUrl(o.server);
    // The SDK's timers run on a main loop this app serves on a thread of its own.
    std::thread mainLoop([] { SorvelHost::runMainLoop(); });

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
        SorvelHost::applicationWillResignActive();
        waitForRunner("resigned");
        if (o.offline) {
            SorvelHost::setNetworkAvailable(true);
            SorvelHost::applicationDidBecomeActive();
            SorvelHost::applicationWillResignActive();
            waitForRunner("back-online");
        }
    } else {
        sdk.event("app_reopened");
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
    SorvelHost::stopMainLoop();
    mainLoop.join();
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
