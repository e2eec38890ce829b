// The app the kill soak (kill_soak.cpp) starts and kills: one launch of an app
// that records numbered events through the public facade only, at an app's
// pace, and tells the soak over its standard output how far it got.
//
// Standard output, one line each:
//   "ready"   the SDK reported its start (or "failed" and exit 2 when not);
//   "<n>"     the record call of event n returned;
//   "F <n>"   the same, for event n, a no-wait event (it flushes the buffer and
//             sends every queued package at once);
//   "idle"    the events this launch was given are all recorded;
//   "done"    (--final) the app left the foreground, which packs and sends what
//             it holds; it then waits for its standard input to close.
// A line is written after the call returns and before the next call, so the
// last line the soak read before the kill names the highest event the app
// recorded.
//
// Every event carries the attributes "n" (its number) and "run" (the launch).
// Lines of the SDK's log that tell about the stores it restored, or about
// events it dropped, go to standard error, prefixed "sdk-log: ".
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "sorvel/SorvelHost.h"
#include "sorvel/SorvelKV.h"

namespace {

using sorvel::SorvelHost;
using sorvel::SorvelKV;

constexpr const char* kAppKey = "KillSoakAppKey01234567";
constexpr const char* kSecretKey = "KillSoakSecret01234567";

struct Options {
    std::string home;
    std::string server;  // empty: the device has no network
    long long first = 1;
    long long count = 1000;
    long long run = 0;
    unsigned seed = 1;
    bool final = false;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "sorvel_kill_soak_driver: %s\n"
                 "usage: sorvel_kill_soak_driver --home DIR (--server URL | --offline) --first N\n"
                 "         --count N --run R --seed S [--final]\n",
                 why);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    bool offline = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--offline") {
            offline = true;
            continue;
        }
        if (arg == "--final") {
            o.final = true;
            continue;
        }
        if (i + 1 >= argc) {
            usage("an option wants a value");
        }
        const std::string value = argv[++i];
        if (arg == "--home") {
            o.home = value;
        } else if (arg == "--server") {
            o.server = value;
        } else if (arg == "--first") {
            o.first = std::atoll(value.c_str());
        } else if (arg == "--count") {
            o.count = std::atoll(value.c_str());
        } else if (arg == "--run") {
            o.run = std::atoll(value.c_str());
        } else if (arg == "--seed") {
            o.seed = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        } else {
            usage("unknown option");
        }
    }
    if (o.home.empty() || (o.server.empty() != offline)) {
        usage("--home and one of --server or --offline are needed");
    }
    return o;
}

// One whole line on standard output, unbuffered: the soak may kill the app
// right after it.
void say(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(1, text.data() + done, text.size() - done);
        if (n <= 0) {
            std::_Exit(3);  // the soak went away
        }
        done += static_cast<std::size_t>(n);
    }
}

// Hears the start of the SDK and passes on the lines about restored stores.
class LogWatch : public sorvel::SorvelKVLogDelegate {
  public:
    void didPrintLog(sorvel::SorvelLogLevel, const std::string& log) override {
        if (log.find("getPreviousPackageQueue :: can not") != std::string::npos ||
            log.find("getPreviousPackageQueue :: error") != std::string::npos ||
            log.find("not on disk") != std::string::npos ||
            // What the SDK says when it drops events: counted by the soak.
            log.find("dropped") != std::string::npos ||
            log.find("over the cap") != std::string::npos ||
            log.find("not sent") != std::string::npos) {
            std::fprintf(stderr, "sdk-log: %s\n", log.c_str());
        }
        if (log.find("Result of initializing Sorvel SDK : Success") != std::string::npos) {
            std::lock_guard<std::mutex> lock(mu_);
            started_ = true;
            cv_.notify_all();
        }
    }
    bool waitStarted(std::chrono::milliseconds deadline) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, deadline, [this] { return started_; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool started_ = false;
};

// The pace of an app: gaps of 2 ms on average (exponential), and now and then
// a burst of 20 to 100 events back to back; about 500 to 700 events/s.
class Pace {
  public:
    explicit Pace(unsigned seed) : rng_(seed) {}
    void next() {
        if (burstLeft_ > 0) {
            --burstLeft_;
            return;
        }
        if (std::uniform_int_distribution<int>(0, 99)(rng_) < 2) {
            burstLeft_ = std::uniform_int_distribution<int>(20, 100)(rng_);
            return;
        }
        const double gapMs = std::exponential_distribution<double>(0.5)(rng_);
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(gapMs));
    }
    // Whether this event is a no-wait one: one in 40.
    bool noWait() { return std::uniform_int_distribution<int>(0, 39)(rng_) == 0; }

  private:
    std::mt19937 rng_;
    int burstLeft_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    SorvelHost::setDataFolder(o.home);
    SorvelHost::setBundleId("com.example.killsoak");
    SorvelHost::setAppVersion("1.0", "1");
    if (o.server.empty()) {
        SorvelHost::setNetworkAvailable(false);
    } else {
        SorvelHost::setNetworkAvailable(true);
        SorvelHost::setServerBaseUrl(o.server);
    }
    // The SDK's timers run on a main loop this app serves on a thread of its own.
    std::thread([] { SorvelHost::runMainLoop(); }).detach();

    auto& sdk = SorvelKV::getInstance();
    auto watch = std::make_shared<LogWatch>();
    sdk.setLogDelegate(watch);
    sdk.initSorvel(kAppKey, kSecretKey);
    SorvelHost::applicationDidBecomeActive();
    if (!watch->waitStarted(std::chrono::seconds(20))) {
        say("failed");
        std::_Exit(2);
    }
    say("ready");

    Pace pace(o.seed);
    for (long long n = o.first; n < o.first + o.count; ++n) {
        pace.next();
        sorvel::SorvelKvAttrModel attrs;
        attrs.setAttrDataInt64("n", n);
        attrs.setAttrDataInt64("run", o.run);
        // The last event of the final launch is a no-wait one, so the buffer
        // is packed and sent whatever the session does.
        if (pace.noWait() || (o.final && n + 1 == o.first + o.count)) {
            sdk.gameStageClearedWithAttr("stage", attrs);
            say("F " + std::to_string(n));
        } else {
            sdk.eventWithAttr("soak_tick", attrs);
            say(std::to_string(n));
        }
    }
    if (!o.final) {
        say("idle");
        pause();
        std::_Exit(0);
    }
    // Leaving the foreground packs the open buffer and sends everything.
    SorvelHost::applicationWillResignActive();
    say("done");
    // Until the soak closes standard input (it has seen every event arrive).
    char byte;
    while (read(0, &byte, 1) > 0) {
    }
    // The process ends as an app's does: the SDK's threads are not joined.
    std::_Exit(0);
}
