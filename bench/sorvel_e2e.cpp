// The SDK as an app sees it, end to end: public facade and host calls only,
// over the shared library, against the loopback server double running in a
// process of its own (so its work is not counted). Prints one JSON line per
// figure, with its target and the load average:
//
//  - record: a SorvelKvAttrModel of 5 string attributes built for the call,
//    then eventWithAttr, on the caller's thread (as apps make the call),
//    median and p99 over 100,000 calls, from 1 and from 8 threads, while the
//    server answers 200, answers 500, or holds every request 10 s unanswered;
//    the allocations of the call on the caller's thread; and, with the server
//    answering 200, the same with one model reused for every call;
//  - e2e: 100,000 events recorded in a burst until the double acknowledged all
//    of them: events/s, CPU µs per delivered event of the SDK's threads and the
//    caller's record calls, allocations per event of the whole process;
//  - steady / steady-offline: 600 events/s for 10 s, as an app records, with
//    the server up or without network: CPU µs and thread wake-ups per event,
//    and (server up) the SDK's threads alive, by name; online, the host says
//    the network is there, or (--network routes) the SDK reads the machine's
//    route tables as it does in an app;
//  - rss: RSS growth for 10,000 events recorded offline, bytes per event;
//  - cold: initSorvel to active on a new data folder without network, ms.
//
// Every figure group runs in a new process on a new data folder, so none
// inherits another's queued events. `sorvel_e2e --help` tells the options.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
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
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AllocationCount.h"
#include "FiveAttributes.h"
#include "ProcStats.h"
#include "ServerDouble.h"
#include "sorvel/SorvelHost.h"
#include "sorvel/SorvelKV.h"

namespace {

using sorvel::SorvelHost;
using sorvel::SorvelKV;
using Clock = std::chrono::steady_clock;
using sorvel::bench::fiveStrings;

constexpr const char* kAppKey = "BenchAppKey01234567890";
constexpr const char* kSecretKey = "BenchSecret01234567890";
constexpr const char* kEventName = "bench_e2e";
constexpr const char* kUsage =
    "usage: sorvel_e2e [--only record|e2e|steady|steady-offline|rss|cold] [--calls N]\n"
    "                  [--events N] [--steady-seconds N] [--offline-events N] [--cold-runs N]\n"
    "       sorvel_e2e --run record|e2e|steady|steady-offline|rss --home DIR [--threads N]\n"
    "                  [--server ok|500|hold] [--network host|routes]\n"
    "                  (one group in this process, on the data folder DIR)\n";

struct Settings {
    std::string only;
    std::string home;            // the data folder of a figure group's process
    long calls = 100000;         // record calls per figure
    long events = 100000;        // end-to-end burst
    long offlineEvents = 10000;  // RSS figure
    long steadySeconds = 10;     // the measured window of the steady stream
    long coldRuns = 20;
    // The steady stream online: "host" tells the SDK the network is there;
    // "routes" lets it read the machine's route tables, as an app's SDK does.
    std::string network = "host";
};

std::string self;  // this program, to start the children

// The thread the benchmark gives the host's main run loop (the app's main
// thread), so the thread listing can tell it from the SDK's.
std::atomic<pid_t> mainLoopTid{0};

std::string makeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sorvel-e2e-XXXXXX").string();
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

double loadAverage() {
    double one = 0;
    std::ifstream("/proc/loadavg") >> one;
    return one;
}

// One figure: `lower` targets are upper bounds (value < target), the others
// lower bounds (value >= target).
void printFigure(const std::string& figure, const std::string& detail, double value,
                 const char* unit, double target, bool lower) {
    const bool met = lower ? value < target : value >= target;
    std::printf(
        "{\"figure\":\"%s\"%s,\"value\":%.3f,\"unit\":\"%s\",\"target\":\"%s %g\","
        "\"met\":%s,\"load_average\":%.2f}\n",
        figure.c_str(), detail.c_str(), value, unit, lower ? "<" : ">=", target,
        met ? "true" : "false", loadAverage());
    std::fflush(stdout);
}

// A figure without a target: shown to explain the others.
void printInfo(const std::string& figure, const std::string& detail, double value,
               const char* unit) {
    std::printf("{\"figure\":\"%s\"%s,\"value\":%.3f,\"unit\":\"%s\",\"load_average\":%.2f}\n",
                figure.c_str(), detail.c_str(), value, unit, loadAverage());
    std::fflush(stdout);
}

void fail(const std::string& figure, const std::string& why) {
    std::printf("{\"figure\":\"%s\",\"error\":\"%s\"}\n", figure.c_str(), why.c_str());
    std::fflush(stdout);
}

// Waits for a line through the app's log delegate (the public way to hear
// what the SDK does).
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

// Starts the SDK on a new data folder and waits for the active state.
// network: the host's word on the network, or none (the route tables decide).
bool startSdk(const std::string& home, const std::string& baseUrl, std::optional<bool> network) {
    SorvelHost::setDataFolder(home + "/app");
    SorvelHost::setServerBaseUrl(baseUrl);
    SorvelHost::setNetworkAvailable(network);
    std::thread([] {
        mainLoopTid = gettid();
        SorvelHost::runMainLoop();
    }).detach();
    auto waiter = std::make_shared<LineWaiter>("Result of initializing Sorvel SDK : Success");
    SorvelKV::getInstance().setLogDelegate(waiter);
    SorvelKV::getInstance().initSorvel(kAppKey, kSecretKey);
    SorvelHost::applicationDidBecomeActive();
    const bool active = waiter->wait(std::chrono::seconds(10));
    SorvelKV::getInstance().setLogDelegate(nullptr);
    return active;
}

long rssBytes() {
    long pages = 0;
    long resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// The process's memory by part: the allocator's view (mallinfo2, every
// arena) and the kernel's (/proc/self/smaps_rollup), in bytes.
struct MemoryParts {
    long heapInUse = 0;
    long heapFree = 0;
    long heapMapped = 0;
    long residentAnonymous = 0;
    long residentFile = 0;
};

MemoryParts memoryParts() {
    MemoryParts parts;
    const struct mallinfo2 info = mallinfo2();
    parts.heapInUse = static_cast<long>(info.uordblks + info.hblkhd);
    parts.heapFree = static_cast<long>(info.fordblks);
    parts.heapMapped = static_cast<long>(info.hblkhd);
    std::ifstream rollup("/proc/self/smaps_rollup");
    long rss = 0;
    long anonymous = 0;
    for (std::string line; std::getline(rollup, line);) {
        long kb = 0;
        if (std::sscanf(line.c_str(), "Rss: %ld kB", &kb) == 1) {
            rss = kb * 1024;
        } else if (std::sscanf(line.c_str(), "Anonymous: %ld kB", &kb) == 1) {
            anonymous = kb * 1024;
        }
    }
    parts.residentAnonymous = anonymous;
    parts.residentFile = rss - anonymous;
    return parts;
}

// ---- The server double, as a child process -----------------------------------------

// The child's side: serves until its stdin closes; prints its port, then the
// running count of acknowledged events (200 answers) whenever it changed.
int serve(const std::string& mode) {
    sorvel::tools::ServerDouble::Options options;
    options.secretKey = kSecretKey;
    options.keptRequests = 1;  // counted, not kept
    options.keptBytesEach = 16 * 1024 * 1024;
    sorvel::tools::ServerDouble server(options);
    sorvel::tools::ScriptedAnswer answer;
    if (mode == "500") {
        answer = sorvel::tools::ScriptedAnswer{500, "{}"};
    } else if (mode == "hold") {
        answer.delay = std::chrono::seconds(10);
    }
    server.setDefaultAnswer(sorvel::tools::Endpoint::EVENT_BULK, answer);
    const std::string needle = std::string("\"event_name\":\"") + kEventName + "\"";
    std::atomic<long> acknowledged{0};
    server.setAnswerObserver([&](const sorvel::tools::RecordedRequest& r) {
        if (r.endpoint != sorvel::tools::Endpoint::EVENT_BULK || r.status != 200) {
            return;
        }
        long found = 0;
        for (std::size_t pos = 0; (pos = r.decodedBody.find(needle, pos)) != std::string::npos;
             pos += needle.size()) {
            ++found;
        }
        acknowledged += found;
    });
    if (!server.start()) {
        return 1;
    }
    std::printf("%d\n", server.port());
    std::fflush(stdout);
    // The count goes out at most every 2 ms, so reading it costs the SDK's
    // process next to nothing.
    std::thread([&acknowledged] {
        long printed = 0;
        for (;;) {
            const long now = acknowledged.load();
            if (now != printed) {
                std::printf("%ld\n", now);
                std::fflush(stdout);
                printed = now;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }).detach();
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    // Requests held unanswered would hold a stop up: the process just ends.
    std::fflush(stdout);
    _exit(0);
}

// The SDK process's side.
class ServerProcess {
  public:
    bool start(const std::string& mode) {
        int toChild[2];
        int fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
            return false;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(toChild[0], 0);
            dup2(fromChild[1], 1);
            execl(self.c_str(), self.c_str(), "--serve", mode.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        keepAlive_ = toChild[1];
        out_ = fromChild[0];
        reader_ = std::thread([this] { read(); });
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [this] {
            return port_ != 0 || ended_;
        }) && port_ != 0;
    }
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
    bool waitForAcknowledged(long count, std::chrono::seconds deadline) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, deadline, [&] { return acknowledged_ >= count || ended_; }) &&
               acknowledged_ >= count;
    }
    long acknowledged() {
        std::lock_guard<std::mutex> lock(mu_);
        return acknowledged_;
    }
    // What the thread reading the double's counts has cost this process so
    // far: the benchmark's, not the SDK's.
    sorvel::bench::Usage readerUsage() {
        const auto switches = sorvel::bench::threadSwitches(readerTid_.load());
        return {sorvel::bench::threadCpuSeconds(reader_.native_handle()), switches.total(),
                switches.involuntary};
    }
    pid_t readerTid() const { return readerTid_.load(); }
    ~ServerProcess() {
        if (keepAlive_ >= 0) {
            close(keepAlive_);
        }
        if (pid_ > 0) {
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) {
            reader_.join();
        }
        if (out_ >= 0) {
            close(out_);
        }
    }

  private:
    void read() {
        readerTid_ = gettid();
        std::string line;
        char buf[4096];
        bool first = true;
        for (;;) {
            const ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\n') {
                    line += buf[i];
                    continue;
                }
                const long value = std::atol(line.c_str());
                line.clear();
                std::lock_guard<std::mutex> lock(mu_);
                if (first) {
                    port_ = static_cast<int>(value);
                    first = false;
                } else {
                    acknowledged_ = value;
                }
                cv_.notify_all();
            }
        }
        std::lock_guard<std::mutex> lock(mu_);
        ended_ = true;
        cv_.notify_all();
    }

    pid_t pid_ = -1;
    int keepAlive_ = -1;
    int out_ = -1;
    std::thread reader_;
    std::atomic<pid_t> readerTid_{0};
    std::mutex mu_;
    std::condition_variable cv_;
    int port_ = 0;
    long acknowledged_ = 0;
    bool ended_ = false;
};

// ---- The figures, each in a process of its own -----------------------------------

// The double in the given mode, then the SDK on it; a failure is reported.
bool startWithServer(ServerProcess& server, const std::string& home, const std::string& mode,
                     const char* figure, std::optional<bool> network = true) {
    if (home.empty() || !server.start(mode)) {
        fail(figure, "the server double did not start");
        return false;
    }
    if (!startSdk(home, server.baseUrl(), network)) {
        fail(figure, "the SDK did not become active");
        return false;
    }
    return true;
}

double percentile(std::vector<std::int64_t>& samples, double p) {
    const auto at = static_cast<std::size_t>(static_cast<double>(samples.size() - 1) * p);
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at),
                     samples.end());
    return static_cast<double>(samples[at]);
}

// One record call as apps make it: the model built for the call, then the
// call; the model is destroyed before the clock stops, as in an app.
struct CallSample {
    std::int64_t ns = 0;
    long buildAllocations = 0;
    long callAllocations = 0;
};

inline CallSample recordBuilt() {
    using sorvel::bench::allocationsOnThisThread;
    CallSample c;
    const long a0 = allocationsOnThisThread();
    const auto t0 = Clock::now();
    {
        const auto attrs = fiveStrings();
        const long a1 = allocationsOnThisThread();
        SorvelKV::getInstance().eventWithAttr(kEventName, attrs);
        c.callAllocations = allocationsOnThisThread() - a1;
        c.buildAllocations = a1 - a0;
    }
    c.ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
    return c;
}

// The same call with one model built beforehand and reused, as the project's
// earlier figure measured it: it leaves out the model's cost.
inline CallSample recordReused(const sorvel::SorvelKvAttrModel& attrs) {
    using sorvel::bench::allocationsOnThisThread;
    CallSample c;
    const long a0 = allocationsOnThisThread();
    const auto t0 = Clock::now();
    SorvelKV::getInstance().eventWithAttr(kEventName, attrs);
    c.ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
    c.callAllocations = allocationsOnThisThread() - a0;
    return c;
}

// Calls from `threads` threads started together; every sample of every thread.
template <typename Call>
std::vector<CallSample> callFromThreads(int threads, long calls, Call call) {
    const long each = calls / threads;
    std::vector<std::vector<CallSample>> samples(static_cast<std::size_t>(threads));
    std::atomic<int> ready{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&, t] {
            auto& mine = samples[static_cast<std::size_t>(t)];
            mine.reserve(static_cast<std::size_t>(each));
            ready.fetch_add(1);
            while (ready.load() < threads) {
            }
            for (long i = 0; i < each; ++i) {
                mine.push_back(call());
            }
        });
    }
    for (auto& c : callers) {
        c.join();
    }
    std::vector<CallSample> all;
    for (auto& v : samples) {
        all.insert(all.end(), v.begin(), v.end());
    }
    return all;
}

void printCallFigures(std::vector<CallSample>& all, const std::string& detail, bool built) {
    std::vector<std::int64_t> ns;
    double buildAllocations = 0;
    double callAllocations = 0;
    for (const auto& c : all) {
        ns.push_back(c.ns);
        buildAllocations += static_cast<double>(c.buildAllocations);
        callAllocations += static_cast<double>(c.callAllocations);
    }
    const auto calls = static_cast<double>(all.size());
    printFigure("record median", detail, percentile(ns, 0.5) / 1000, "us", 1.5, true);
    printFigure("record p99", detail, percentile(ns, 0.99) / 1000, "us", 5, true);
    if (!sorvel::bench::allocationCountingActive()) {
        return;
    }
    printInfo("record call allocations", detail, callAllocations / calls, "per call");
    if (built) {
        printInfo("model build allocations", detail, buildAllocations / calls, "per call");
    }
}

int recordFigure(const Settings& s, int threads, const std::string& mode) {
    const std::string detail = ",\"threads\":" + std::to_string(threads) + ",\"server\":\"" +
                               (mode == "ok"    ? "answers 200"
                                : mode == "500" ? "answers 500"
                                                : "holds every request 10 s") +
                               "\",\"calls\":" + std::to_string(s.calls);
    ServerProcess server;
    if (!startWithServer(server, s.home, mode, "record")) {
        return 1;
    }
    auto built = callFromThreads(threads, s.calls, [] { return recordBuilt(); });
    printCallFigures(built, detail + ",\"model\":\"built per call\"", true);
    if (mode == "ok") {
        const auto attrs = fiveStrings();
        auto reused = callFromThreads(threads, s.calls, [&attrs] { return recordReused(attrs); });
        printCallFigures(reused, detail + ",\"model\":\"reused\"", false);
    }
    return 0;
}

// The CPU of a window is the process's (getrusage RUSAGE_SELF: every thread,
// ended ones included) less what the thread reading the double's counts took
// (its own CPU clock, pthread_getcpuclockid): so it is the SDK's threads, the
// host's main loop and the caller's record calls. Wake-ups likewise: the
// process's voluntary and involuntary context switches less the reader's and
// the caller's (/proc/self/task/<tid>/status, getrusage RUSAGE_THREAD), the
// caller's being the app's own pacing, not the SDK's.
struct Window {
    sorvel::bench::Usage process;
    sorvel::bench::Usage reader;
    sorvel::bench::Usage caller;
    double callerCpu = 0;  // the caller's thread CPU clock
    long allocations = 0;
    Clock::time_point at;

    static Window now(ServerProcess* server) {
        Window w;
        w.process = sorvel::bench::processUsage();
        if (server != nullptr) {
            w.reader = server->readerUsage();
        }
        w.caller = sorvel::bench::thisThreadUsage();
        w.callerCpu = sorvel::bench::thisThreadCpuSeconds();
        w.allocations = sorvel::bench::allocationsInProcess();
        w.at = Clock::now();
        return w;
    }
    // Between `start` and this: the SDK's CPU (caller's calls included) and wake-ups.
    double sdkCpuSince(const Window& start) const {
        return (process - start.process).cpuSeconds - (reader - start.reader).cpuSeconds;
    }
    long sdkWakeupsSince(const Window& start) const {
        return (process - start.process).switches - (reader - start.reader).switches -
               (caller - start.caller).switches;
    }
    long sdkInvoluntarySince(const Window& start) const {
        return (process - start.process).involuntary - (reader - start.reader).involuntary -
               (caller - start.caller).involuntary;
    }
};

std::string jsonSafe(std::string text);

// A thread's name from /proc, or "(ended)" for a thread gone by now.
std::string threadName(int tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    if (!std::getline(in, name) || name.empty()) {
        return "(ended)";
    }
    return name;
}

// Allocations per event made since `before`, by thread name (threads of one
// name summed), the largest first; thread names the SDK gives its own.
void printAllocationsByThread(const std::string& figure, const std::string& detail,
                              const std::vector<sorvel::bench::ThreadAllocations>& before,
                              double events) {
    const auto after = sorvel::bench::allocationsByThread();
    std::vector<std::pair<std::string, long>> byName;
    for (std::size_t i = 0; i < after.size(); ++i) {
        const long made = after[i].count - (i < before.size() ? before[i].count : 0);
        if (made <= 0) {
            continue;
        }
        const std::string name = threadName(after[i].tid);
        auto it = std::find_if(byName.begin(), byName.end(),
                               [&](const auto& entry) { return entry.first == name; });
        if (it == byName.end()) {
            byName.emplace_back(name, made);
        } else {
            it->second += made;
        }
    }
    std::sort(byName.begin(), byName.end(),
              [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& [name, made] : byName) {
        printInfo(figure, detail + ",\"thread\":\"" + jsonSafe(name) + "\"",
                  static_cast<double>(made) / events, "per event");
    }
}

int endToEndFigure(const Settings& s) {
    const std::string detail = ",\"events\":" + std::to_string(s.events);
    ServerProcess server;
    if (!startWithServer(server, s.home, "ok", "e2e")) {
        return 1;
    }
    const long callerBefore = sorvel::bench::allocationsOnThisThread();
    const auto threadsBefore = sorvel::bench::allocationsByThread();
    const Window start = Window::now(&server);
    for (long i = 0; i < s.events; ++i) {
        const auto attrs = fiveStrings();
        SorvelKV::getInstance().eventWithAttr(kEventName, attrs);
    }
    const long callerAllocations = sorvel::bench::allocationsOnThisThread() - callerBefore;
    // The app leaving the foreground sends what is still buffered.
    SorvelHost::applicationWillResignActive();
    if (!server.waitForAcknowledged(s.events, std::chrono::seconds(300))) {
        fail("e2e", "the server did not acknowledge every event");
        return 1;
    }
    const Window end = Window::now(&server);
    const double wall = std::chrono::duration<double>(end.at - start.at).count();
    const auto events = static_cast<double>(s.events);
    printFigure("e2e events per second", detail, events / wall, "events/s", 60000, false);
    printFigure("e2e CPU per event", detail + ",\"counted\":\"SDK threads and record calls\"",
                end.sdkCpuSince(start) * 1e6 / events, "us", 5, true);
    printInfo("e2e CPU per event of the ack reader", detail + ",\"counted\":\"not in the figures\"",
              (end.reader - start.reader).cpuSeconds * 1e6 / events, "us");
    if (sorvel::bench::allocationCountingActive()) {
        printFigure("e2e allocations per event", detail + ",\"counted\":\"whole process\"",
                    static_cast<double>(end.allocations - start.allocations) / events, "per event",
                    15, true);
        printInfo("e2e allocations per event on the caller's thread",
                  detail + ",\"counted\":\"model build and record call\"",
                  static_cast<double>(callerAllocations) / events, "per event");
        printAllocationsByThread("e2e allocations per event by thread", detail, threadsBefore,
                                 events);
    }
    return 0;
}

std::string jsonSafe(std::string text) {
    for (char& c : text) {
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) {
            c = '_';
        }
    }
    return text;
}

// The threads alive now other than the benchmark's (the caller, the reader of
// the double's counts, the host's main loop), as a JSON array of their names.
std::pair<int, std::string> sdkThreads(const ServerProcess* server) {
    const pid_t mine[] = {gettid(), server != nullptr ? server->readerTid() : 0,
                          mainLoopTid.load()};
    int count = 0;
    std::string names = "[";
    for (const auto& t : sorvel::bench::listThreads()) {
        if (std::find(std::begin(mine), std::end(mine), t.tid) != std::end(mine)) {
            continue;
        }
        names += (count++ == 0 ? "\"" : ",\"") + jsonSafe(t.name) + "\"";
    }
    return {count, names + "]"};
}

// Wake-ups in the window of each thread alive at its end, as a JSON array of
// "name: count", most first ("main loop" is the host's): where they come from.
std::string wakeupsByThread(const std::vector<sorvel::bench::ThreadInfo>& before,
                            const std::vector<sorvel::bench::ThreadInfo>& after,
                            const ServerProcess* server) {
    const pid_t excluded[] = {gettid(), server != nullptr ? server->readerTid() : 0};
    std::vector<std::pair<long, std::string>> each;
    for (const auto& a : after) {
        if (std::find(std::begin(excluded), std::end(excluded), a.tid) != std::end(excluded)) {
            continue;
        }
        long was = 0;  // a thread started in the window had none before
        for (const auto& b : before) {
            if (b.tid == a.tid) {
                was = b.switches;
            }
        }
        each.emplace_back(a.switches - was,
                          a.tid == mainLoopTid.load() ? "main loop" : jsonSafe(a.name));
    }
    std::sort(each.rbegin(), each.rend());
    std::string text = "[";
    for (const auto& [n, name] : each) {
        text += (text.size() > 1 ? ",\"" : "\"") + name + ": " + std::to_string(n) + "\"";
    }
    return text + "]";
}

// 600 events/s as an app records them, each with its model built for the
// call, paced by a schedule (not a sleep per event, which would drift): a
// second's warm-up, then the measured window.
int steadyFigure(const Settings& s, bool online) {
    constexpr int kRate = 600;
    const char* group = online ? "steady" : "steady offline";
    const long windowEvents = s.steadySeconds * kRate;
    const bool routes = online && s.network == "routes";
    const std::string detail = ",\"rate\":" + std::to_string(kRate) +
                               ",\"seconds\":" + std::to_string(s.steadySeconds) +
                               ",\"server\":\"" + (online ? "answers 200" : "no network") + "\"" +
                               (routes ? ",\"network\":\"the route tables\"" : "");
    ServerProcess server;
    if (online) {
        if (!startWithServer(server, s.home, "ok", group,
                             routes ? std::nullopt : std::optional<bool>(true))) {
            return 1;
        }
    } else if (s.home.empty() || !startSdk(s.home, "http://127.0.0.1:9", false)) {
        fail(group, "the SDK did not become active");
        return 1;
    }
    ServerProcess* reader = online ? &server : nullptr;
    const auto period = std::chrono::nanoseconds(1000000000 / kRate);
    const auto t0 = Clock::now();
    const long warmup = kRate;
    Window start;
    std::vector<sorvel::bench::ThreadInfo> threadsBefore;
    // The caller's CPU inside its model builds and record calls in the
    // window: the rest of its CPU is the pacing (waking from each sleep),
    // which is the app's, not the SDK's.
    double inCalls = 0;
    for (long i = 0; i < warmup + windowEvents; ++i) {
        if (i == warmup) {
            threadsBefore = sorvel::bench::listThreads();
            start = Window::now(reader);
        }
        std::this_thread::sleep_until(t0 + period * i);
        const double before = sorvel::bench::thisThreadCpuSeconds();
        {
            const auto attrs = fiveStrings();
            SorvelKV::getInstance().eventWithAttr(kEventName, attrs);
        }
        if (i >= warmup) {
            inCalls += sorvel::bench::thisThreadCpuSeconds() - before;
        }
    }
    // The window ends where the next event would have been recorded.
    std::this_thread::sleep_until(t0 + period * (warmup + windowEvents));
    const Window end = Window::now(reader);
    const auto threadsAfter = sorvel::bench::listThreads();
    const auto events = static_cast<double>(windowEvents);
    const double pacing = end.callerCpu - start.callerCpu - inCalls;
    printFigure(std::string(group) + " CPU per event",
                detail + ",\"counted\":\"SDK threads and the model builds and record calls\"",
                (end.sdkCpuSince(start) - pacing) * 1e6 / events, "us", online ? 20 : 30, true);
    printInfo(std::string(group) + " CPU per event of the pacing caller",
              detail + ",\"counted\":\"not in the figures: the caller's CPU between its calls\"",
              pacing * 1e6 / events, "us");
    // Preemptions grow with the machine's load, not with the SDK's work: told
    // apart so that runs at different loads compare.
    char involuntary[64];
    std::snprintf(involuntary, sizeof involuntary, ",\"involuntary_per_event\":%.3f",
                  static_cast<double>(end.sdkInvoluntarySince(start)) / events);
    const std::string wakeDetail = detail + involuntary + ",\"by_thread\":" +
                                   wakeupsByThread(threadsBefore, threadsAfter, reader);
    const double wakeups = static_cast<double>(end.sdkWakeupsSince(start)) / events;
    if (online) {
        printFigure("steady wake-ups per event", wakeDetail, wakeups, "per event", 1.5, true);
    } else {
        printInfo("steady offline wake-ups per event", wakeDetail, wakeups, "per event");
    }
    if (sorvel::bench::allocationCountingActive()) {
        printInfo(std::string(group) + " allocations per event", detail,
                  static_cast<double>(end.allocations - start.allocations) / events, "per event");
    }
    if (online) {
        const auto [count, names] = sdkThreads(reader);
        printFigure("SDK threads alive", detail + ",\"names\":" + names, count, "threads", 4, true);
        printInfo("steady acknowledged by the end of the window",
                  detail + ",\"recorded\":" + std::to_string(warmup + windowEvents),
                  static_cast<double>(server.acknowledged()), "events");
    }
    return 0;
}

int rssFigure(const Settings& s) {
    const std::string detail = ",\"events\":" + std::to_string(s.offlineEvents);
    const std::string& home = s.home;
    // No network; a closed loopback port refuses what still goes out.
    if (home.empty() || !startSdk(home, "http://127.0.0.1:9", false)) {
        fail("rss", "the SDK did not become active");
        return 1;
    }
    // Resident memory after the SDK's work has settled: unchanged for 1 s.
    auto settled = [] {
        long last = rssBytes();
        for (int same = 0, i = 0; same < 10 && i < 200; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const long now = rssBytes();
            same = now == last ? same + 1 : 0;
            last = now;
        }
        return last;
    };
    const long before = settled();
    const MemoryParts partsBefore = memoryParts();
    for (long i = 0; i < s.offlineEvents; ++i) {
        const auto attrs = fiveStrings();
        SorvelKV::getInstance().eventWithAttr(kEventName, attrs);
    }
    const long after = settled();
    const MemoryParts partsAfter = memoryParts();
    const auto events = static_cast<double>(s.offlineEvents);
    printFigure("rss per offline event", detail, static_cast<double>(after - before) / events,
                "bytes", 500, true);
    auto perEvent = [&](long MemoryParts::*part) {
        return (static_cast<double>(partsAfter.*part) - static_cast<double>(partsBefore.*part)) /
               events;
    };
    printInfo("heap in use per offline event", detail, perEvent(&MemoryParts::heapInUse), "bytes");
    // Where the resident growth lies: the heap's free chunks the allocator
    // keeps, its separately mapped blocks, and resident pages by kind.
    printInfo("heap held free per offline event", detail, perEvent(&MemoryParts::heapFree),
              "bytes");
    printInfo("heap mapped blocks per offline event", detail, perEvent(&MemoryParts::heapMapped),
              "bytes");
    printInfo("resident anonymous per offline event", detail,
              perEvent(&MemoryParts::residentAnonymous), "bytes");
    printInfo("resident file-backed per offline event", detail,
              perEvent(&MemoryParts::residentFile), "bytes");
    return 0;
}

// The child of the cold-start figure: prints the microseconds from initSorvel
// to the active state.
int coldStart(const std::string& home) {
    SorvelHost::setDataFolder(home + "/app");
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

// Runs this program with the arguments; returns its exit status and, when
// `out` is given, its stdout (otherwise stdout is shared).
int runChild(const std::vector<std::string>& args, std::string* out) {
    int pipeFds[2] = {-1, -1};
    if (out != nullptr && pipe2(pipeFds, O_CLOEXEC) != 0) {
        return -1;
    }
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        if (out != nullptr) {
            dup2(pipeFds[1], 1);
        }
        std::vector<char*> argv{self.data()};
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(self.c_str(), argv.data());
        _exit(127);
    }
    if (out != nullptr) {
        close(pipeFds[1]);
        char buf[256];
        ssize_t n;
        while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) {
            out->append(buf, static_cast<std::size_t>(n));
        }
        close(pipeFds[0]);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int coldFigure(const Settings& s) {
    std::vector<std::int64_t> micros;
    for (long i = 0; i < s.coldRuns; ++i) {
        const std::string home = makeTempDir();
        std::string text;
        const int status = home.empty() ? 1 : runChild({"--cold", home}, &text);
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
        if (status != 0 || std::atoll(text.c_str()) <= 0) {
            fail("cold start", "the SDK did not become active");
            return 1;
        }
        micros.push_back(std::atoll(text.c_str()));
    }
    printFigure("cold start median", ",\"runs\":" + std::to_string(s.coldRuns),
                percentile(micros, 0.5) / 1000, "ms", 20, true);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    self = std::filesystem::read_symlink("/proc/self/exe").string();
    Settings s;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--serve") {
        return serve(args[1]);
    }
    if (args.size() == 2 && args[0] == "--cold") {
        return coldStart(args[1]);
    }
    std::string run;
    std::string threads = "1";
    std::string mode = "ok";
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h" || i + 1 >= args.size()) {
            std::fputs(kUsage, a == "--help" || a == "-h" ? stdout : stderr);
            return a == "--help" || a == "-h" ? 0 : 2;
        }
        const std::string& v = args[++i];
        const long n = std::atol(v.c_str());
        if (a == "--only" && (v == "record" || v == "e2e" || v == "steady" ||
                              v == "steady-offline" || v == "rss" || v == "cold")) {
            s.only = v;
        } else if (a == "--run") {
            run = v;
        } else if (a == "--home") {
            s.home = v;
        } else if (a == "--threads") {
            threads = v;
        } else if (a == "--server") {
            mode = v;
        } else if (a == "--network" && (v == "host" || v == "routes")) {
            s.network = v;
        } else if (n > 0 && a == "--calls") {
            s.calls = n;
        } else if (n > 0 && a == "--events") {
            s.events = n;
        } else if (n > 0 && a == "--steady-seconds") {
            s.steadySeconds = n;
        } else if (n > 0 && a == "--offline-events") {
            s.offlineEvents = n;
        } else if (n > 0 && a == "--cold-runs") {
            s.coldRuns = n;
        } else {
            std::fprintf(stderr, "sorvel_e2e: bad argument %s %s\n%s", a.c_str(), v.c_str(),
                         kUsage);
            return 2;
        }
    }
    if (!run.empty()) {
        // A figure group in this process; the SDK's threads are not waited for.
        int status = 2;
        if (run == "record") {
            status = recordFigure(s, std::atoi(threads.c_str()), mode);
        } else if (run == "e2e") {
            status = endToEndFigure(s);
        } else if (run == "steady" || run == "steady-offline") {
            status = steadyFigure(s, run == "steady");
        } else if (run == "rss") {
            status = rssFigure(s);
        }
        std::fflush(stdout);
        _exit(status);
    }

    const std::vector<std::string> counts{"--calls",          std::to_string(s.calls),
                                          "--events",         std::to_string(s.events),
                                          "--offline-events", std::to_string(s.offlineEvents),
                                          "--steady-seconds", std::to_string(s.steadySeconds),
                                          "--network",        s.network};
    auto group = [&](std::vector<std::string> a) {
        const std::string home = makeTempDir();
        if (home.empty()) {
            return false;
        }
        a.insert(a.end(), counts.begin(), counts.end());
        a.insert(a.end(), {"--home", home});
        const bool ran = runChild(a, nullptr) == 0;
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
        return ran;
    };
    bool ok = true;
    if (s.only.empty() || s.only == "record") {
        for (const char* m : {"ok", "500", "hold"}) {
            for (const char* t : {"1", "8"}) {
                ok = group({"--run", "record", "--threads", t, "--server", m}) && ok;
            }
        }
    }
    if (s.only.empty() || s.only == "e2e") {
        ok = group({"--run", "e2e"}) && ok;
    }
    for (const char* steady : {"steady", "steady-offline"}) {
        if (s.only.empty() || s.only == steady) {
            ok = group({"--run", steady}) && ok;
        }
    }
    if (s.only.empty() || s.only == "rss") {
        ok = group({"--run", "rss"}) && ok;
    }
    if (s.only.empty() || s.only == "cold") {
        ok = coldFigure(s) == 0 && ok;
    }
    return ok ? 0 : 1;
}
