// The SDK as an app sees it: the public facade and host calls only, over the
// shared library, against the loopback server double.
//
//  - BM_EventWithAttr*: one eventWithAttr call with 5 string attributes on the
//    app's thread, SDK active; per-call median and p99 (counters, ns), also
//    while the server delays every answer by 5 s and while it answers 500.
//  - BM_EndToEnd: event calls in a tight loop until the server (a separate
//    process, so its work is not counted) acknowledged all of them: events/s
//    and the CPU time of this process per delivered event.
//  - BM_ColdInitToActive: a new process on a new data folder, no network:
//    initSorvel to the active state, in manual time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ServerDouble.h"
#include "sorvel/SorvelHost.h"
#include "sorvel/SorvelKV.h"

namespace {

using sorvel::SorvelHost;
using sorvel::SorvelKV;
using Clock = std::chrono::steady_clock;

constexpr const char* kAppKey = "BenchAppKey01234567890";
constexpr const char* kSecretKey = "BenchSecret01234567890";

std::string makeTempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "sorvel-facade-bench-XXXXXX").string();
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

// Waits for a QA-only line through the app's log delegate (the public way to
// hear what the SDK does).
class LineWaiter : public sorvel::SorvelKVLogDelegate {
  public:
    explicit LineWaiter(std::string text) : text_(std::move(text)) {}
    void didPrintLog(sorvel::SorvelLogLevel, const std::string& log) override {
        if (log.find(text_) != std::string::npos) {
            std::lock_guard<std::mutex> lock(mu_);
            seen_ = true;
            cv_.notify_all();
        }
    }
    bool wait(std::chrono::milliseconds deadline) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, deadline, [this] { return seen_; });
    }

  private:
    const std::string text_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool seen_ = false;
};

// The SDK of this process, started once against the in-process double.
struct ActiveSdk {
    std::string home = makeTempDir();
    sorvel::tools::ServerDouble server{[] {
        sorvel::tools::ServerDouble::Options o;
        o.secretKey = kSecretKey;
        o.keptRequests = 100;  // counted, not kept
        return o;
    }()};
    std::thread mainLoop;
    bool ok = false;

    ActiveSdk() {
        if (!server.start()) {
            return;
        }
        SorvelHost::setDataFolder(home + "/app");
        SorvelHost::setServerBaseUrl(server.baseUrl());
        SorvelHost::setNetworkAvailable(true);
        mainLoop = std::thread([] { SorvelHost::runMainLoop(); });
        auto waiter = std::make_shared<LineWaiter>("Result of initializing Sorvel SDK : Success");
        SorvelKV::getInstance().setLogDelegate(waiter);
        SorvelKV::getInstance().initSorvel(kAppKey, kSecretKey);
        SorvelHost::applicationDidBecomeActive();
        ok = waiter->wait(std::chrono::seconds(10));
        SorvelKV::getInstance().setLogDelegate(nullptr);
    }
    static ActiveSdk& get() {
        // The process ends with _exit, so this lives as long as the SDK does.
        static ActiveSdk sdk;
        return sdk;
    }
};

sorvel::SorvelKvAttrModel fiveStrings() {
    sorvel::SorvelKvAttrModel attrs;
    attrs.setAttrDataString("screen", "home");
    attrs.setAttrDataString("variant", "b");
    attrs.setAttrDataString("source", "push");
    attrs.setAttrDataString("campaign", "spring_sale");
    attrs.setAttrDataString("locale", "en_US");
    return attrs;
}

void recordCalls(benchmark::State& state) {
    auto& sdk = ActiveSdk::get();
    if (!sdk.ok) {
        state.SkipWithError("the SDK did not become active");
        return;
    }
    const auto attrs = fiveStrings();
    std::vector<std::int64_t> samples;
    samples.reserve(1 << 20);
    for (auto _ : state) {
        const auto t0 = Clock::now();
        SorvelKV::getInstance().eventWithAttr("bench_record", attrs);
        samples.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
    }
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_ns"] = static_cast<double>(samples[samples.size() / 2]);
        state.counters["p99_ns"] = static_cast<double>(samples[samples.size() * 99 / 100]);
    }
    // Let the uploads of this run go out before the next one changes the script.
    SorvelHost::applicationWillResignActive();
    SorvelHost::applicationDidBecomeActive();
}

void BM_EventWithAttr(benchmark::State& state) {
    ActiveSdk::get().server.setDefaultAnswer(sorvel::tools::Endpoint::EVENT_BULK,
                                             sorvel::tools::ScriptedAnswer{});
    recordCalls(state);
}
BENCHMARK(BM_EventWithAttr)->Iterations(200000);

void BM_EventWithAttrServerDelays5s(benchmark::State& state) {
    sorvel::tools::ScriptedAnswer slow;
    slow.delay = std::chrono::seconds(5);
    ActiveSdk::get().server.setDefaultAnswer(sorvel::tools::Endpoint::EVENT_BULK, slow);
    recordCalls(state);
    ActiveSdk::get().server.setDefaultAnswer(sorvel::tools::Endpoint::EVENT_BULK,
                                             sorvel::tools::ScriptedAnswer{});
}
BENCHMARK(BM_EventWithAttrServerDelays5s)->Iterations(200000);

void BM_EventWithAttrServerAnswers500(benchmark::State& state) {
    ActiveSdk::get().server.setDefaultAnswer(sorvel::tools::Endpoint::EVENT_BULK,
                                             sorvel::tools::ScriptedAnswer{500, "{}"});
    recordCalls(state);
    ActiveSdk::get().server.setDefaultAnswer(sorvel::tools::Endpoint::EVENT_BULK,
                                             sorvel::tools::ScriptedAnswer{});
}
BENCHMARK(BM_EventWithAttrServerAnswers500)->Iterations(200000);

// ---- End to end, against the double as a separate process -----------------------

// The double's program, printing one JSON line per request; a reader thread
// counts the end-to-end events in them.
struct ExternalDouble {
    pid_t pid = -1;
    int out = -1;
    int port = 0;
    std::thread reader;
    std::atomic<long> counted{0};
    std::mutex mu;
    std::condition_variable cv;

    bool start(const std::string& dir) {
        const std::string portFile = dir + "/port";
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            return false;
        }
        pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], 1);
            execl(SORVEL_SERVER_DOUBLE_EXE, SORVEL_SERVER_DOUBLE_EXE, "--secret-key", kSecretKey,
                  "--port-file", portFile.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        out = pipeFds[0];
        reader = std::thread([this] { read(); });
        // The program writes the port file once it listens.
        for (int i = 0; i < 10000 && port == 0; ++i) {
            std::ifstream in(portFile);
            in >> port;
            if (port == 0) {
                pollfd none{-1, 0, 0};
                poll(&none, 0, 1);
            }
        }
        return port != 0;
    }
    void read() {
        static const std::string needle = "\"event_name\":\"bench_e2e\"";
        std::string carry;
        char buf[1 << 16];
        for (;;) {
            ssize_t n = ::read(out, buf, sizeof buf);
            if (n <= 0) {
                return;
            }
            carry.append(buf, static_cast<std::size_t>(n));
            long found = 0;
            std::size_t pos = 0;
            while ((pos = carry.find(needle, pos)) != std::string::npos) {
                ++found;
                pos += needle.size();
            }
            // Keep a tail that may hold the start of a split needle.
            const std::size_t keep = std::min(carry.size(), needle.size() - 1);
            carry.erase(0, carry.size() - keep);
            if (found) {
                std::lock_guard<std::mutex> lock(mu);
                counted += found;
                cv.notify_all();
            }
        }
    }
    bool waitFor(long count, std::chrono::seconds deadline) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, deadline, [&] { return counted.load() >= count; });
    }
    ~ExternalDouble() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (reader.joinable()) {
            reader.join();
        }
        if (out >= 0) {
            close(out);
        }
    }
};

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_EndToEnd(benchmark::State& state) {
    auto& sdk = ActiveSdk::get();
    if (!sdk.ok) {
        state.SkipWithError("the SDK did not become active");
        return;
    }
    ExternalDouble external;
    if (!external.start(sdk.home)) {
        state.SkipWithError("the server double program did not start");
        return;
    }
    SorvelHost::setServerBaseUrl("http://127.0.0.1:" + std::to_string(external.port));
    const auto attrs = fiveStrings();
    const long n = state.range(0);
    long total = 0;
    double wall = 0;
    double cpu = 0;
    for (auto _ : state) {
        const double cpu0 = cpuSeconds();
        const auto t0 = Clock::now();
        for (long i = 0; i < n; ++i) {
            SorvelKV::getInstance().eventWithAttr("bench_e2e", attrs);
        }
        // The app leaving the foreground sends what is still buffered.
        SorvelHost::applicationWillResignActive();
        total += n;
        if (!external.waitFor(total, std::chrono::seconds(120))) {
            state.SkipWithError("the server did not acknowledge every event");
            break;
        }
        wall += std::chrono::duration<double>(Clock::now() - t0).count();
        cpu += cpuSeconds() - cpu0;
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        SorvelHost::applicationDidBecomeActive();
    }
    state.counters["events_per_s"] = static_cast<double>(total) / std::max(wall, 1e-9);
    state.counters["cpu_us_per_event"] =
        cpu * 1e6 / std::max<double>(static_cast<double>(total), 1);
    SorvelHost::setServerBaseUrl(sdk.server.baseUrl());
}
BENCHMARK(BM_EndToEnd)->Arg(100000)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- Cold start, in a new process each time ------------------------------------------

void BM_ColdInitToActive(benchmark::State& state) {
    for (auto _ : state) {
        const std::string dir = makeTempDir();
        int pipeFds[2];
        if (dir.empty() || pipe2(pipeFds, O_CLOEXEC) != 0) {
            state.SkipWithError("no temp folder or pipe");
            return;
        }
        pid_t pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], 1);
            setenv("SORVEL_BENCH_COLD_HOME", dir.c_str(), 1);
            execl("/proc/self/exe", "facade_bench", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        char buf[64] = {};
        std::string text;
        ssize_t n;
        while ((n = read(pipeFds[0], buf, sizeof buf - 1)) > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        }
        close(pipeFds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        const double micros = std::atof(text.c_str());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || micros <= 0) {
            state.SkipWithError("the cold start did not reach the active state");
            return;
        }
        state.SetIterationTime(micros / 1e6);
    }
}
BENCHMARK(BM_ColdInitToActive)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

// The child of BM_ColdInitToActive: prints the microseconds from initSorvel to
// the active state, without network, on a fresh data folder.
int coldStart(const char* home) {
    SorvelHost::setDataFolder(std::string(home) + "/app");
    SorvelHost::setNetworkAvailable(false);
    // The configuration request still goes out without network; a closed
    // loopback port refuses it at once, and nothing leaves the machine.
    SorvelHost::setServerBaseUrl("http://127.0.0.1:9");
    auto waiter = std::make_shared<LineWaiter>("Result of initializing Sorvel SDK : Success");
    SorvelKV::getInstance().setLogDelegate(waiter);
    const auto t0 = Clock::now();
    SorvelKV::getInstance().initSorvel(kAppKey, kSecretKey);
    SorvelHost::applicationDidBecomeActive();
    if (!waiter->wait(std::chrono::seconds(10))) {
        return 1;
    }
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);
    std::printf("%lld\n", static_cast<long long>(us.count()));
    std::fflush(stdout);
    _exit(0);  // like an app killed right away: nothing to wait for
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* home = std::getenv("SORVEL_BENCH_COLD_HOME")) {
        return coldStart(home);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The SDK's threads may still be busy; the process ends without waiting.
    std::fflush(stdout);
    _exit(0);
}
