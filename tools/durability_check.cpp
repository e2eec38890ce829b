// How much of what an app recorded arrives when the app ends abruptly, in the
// ways apps end: it returns from main right after leaving the foreground, it
// is killed soon after that, it is killed right after a burst, two copies of
// it share one data folder. Also how large the data folder is after a long
// stream of delivered events.
//
// The program plays both sides: started with --app it is the app (public
// calls only); otherwise it runs each scenario in a fresh data folder,
// starting itself as the app, then launches the app once more with the
// loopback server double up and counts which numbered events arrived. One
// JSON line per scenario; exit 1 when a scenario lost events it must not.
//
//   sorvel_durability_check [--only NAME] [--stream N]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ServerDouble.h"
#include "sorvel/SorvelHost.h"
#include "sorvel/SorvelKV.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kAppKey = "DurabilityAppKey012345";
constexpr const char* kSecretKey = "DurabilitySecret012345";

// ---- The app ---------------------------------------------------------------

void say(const std::string& line) {
    const std::string text = line + "\n";
    (void)!write(1, text.data(), text.size());
}

class StartWatch : public sorvel::SorvelKVLogDelegate {
  public:
    void didPrintLog(sorvel::SorvelLogLevel, const std::string& log) override {
        if (log.find("dropped") != std::string::npos ||
            log.find("over the cap") != std::string::npos) {
            std::fprintf(stderr, "sdk-log: %s\n", log.c_str());
        }
        if (log.find("Result of initializing Sorvel SDK : Success") != std::string::npos) {
            std::lock_guard<std::mutex> lock(mu_);
            started_ = true;
            cv_.notify_all();
        }
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, 20s, [this] { return started_; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool started_ = false;
};

// --app MODE HOME SERVER(or "-") RUN FIRST COUNT
//   MODE: resign-return, resign-wait, wait, deliver
int runApp(int argc, char** argv) {
    if (argc < 8) {
        return 2;
    }
    const std::string mode = argv[2];
    const std::string home = argv[3];
    const std::string server = argv[4];
    const long long run = std::atoll(argv[5]);
    const long long first = std::atoll(argv[6]);
    const long long count = std::atoll(argv[7]);
    sorvel::SorvelHost::setDataFolder(home);
    sorvel::SorvelHost::setBundleId("com.example.durability");
    sorvel::SorvelHost::setAppVersion("1.0", "1");
    if (server == "-") {
        sorvel::SorvelHost::setNetworkAvailable(false);
    } else {
        sorvel::SorvelHost::setNetworkAvailable(true);
        sorvel::SorvelHost::setServerBaseUrl(server);
    }
    std::thread mainLoop([] { sorvel::SorvelHost::runMainLoop(); });
    auto& sdk = sorvel::SorvelKV::getInstance();
    auto watch = std::make_shared<StartWatch>();
    sdk.setLogDelegate(watch);
    sdk.initSorvel(kAppKey, kSecretKey);
    sorvel::SorvelHost::applicationDidBecomeActive();
    if (!watch->wait()) {
        say("failed");
        std::_Exit(2);
    }
    say("ready");
    for (long long n = first; n < first + count; ++n) {
        sorvel::SorvelKvAttrModel attrs;
        attrs.setAttrDataInt64("n", n);
        attrs.setAttrDataInt64("run", run);
        sdk.eventWithAttr("durability_tick", attrs);
    }
    say("last");
    if (mode == "wait") {
        pause();
    }
    sorvel::SorvelHost::applicationWillResignActive();
    say("resigned");
    if (mode == "resign-wait") {
        pause();
    }
    if (mode == "deliver") {
        // Until the checker has seen everything arrive (it closes stdin).
        char byte;
        while (read(0, &byte, 1) > 0) {
        }
        // An app that ends tells the SDK so, as the README says.
        sorvel::SorvelHost::applicationWillTerminate(std::chrono::seconds(2));
    }
    // An app's main returns: its loop stops, and nothing else is waited for.
    sorvel::SorvelHost::stopMainLoop();
    mainLoop.join();
    return 0;
}

// ---- The checker -----------------------------------------------------------

struct Child {
    pid_t pid = -1;
    int out = -1;
    int in = -1;
    std::string buffered;

    static Child start(const std::vector<std::string>& args) {
        int outP[2];
        int inP[2];
        if (pipe2(outP, O_CLOEXEC) != 0 || pipe2(inP, O_CLOEXEC) != 0) {
            std::perror("pipe");
            std::exit(2);
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, inP[0], 0);
        posix_spawn_file_actions_adddup2(&fa, outP[1], 1);
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        Child c;
        if (posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
            std::perror("posix_spawn");
            std::exit(2);
        }
        posix_spawn_file_actions_destroy(&fa);
        close(outP[1]);
        close(inP[0]);
        c.out = outP[0];
        c.in = inP[1];
        return c;
    }

    // Waits for a line holding the word; false at the deadline or the end.
    bool waitFor(const std::string& word, std::chrono::milliseconds deadline) {
        const auto end = Clock::now() + deadline;
        for (;;) {
            for (std::size_t nl; (nl = buffered.find('\n')) != std::string::npos;) {
                const std::string line = buffered.substr(0, nl);
                buffered.erase(0, nl + 1);
                if (line == word) {
                    return true;
                }
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) {
                return false;
            }
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = read(out, chunk, sizeof chunk);
            if (n <= 0) {
                return false;
            }
            buffered.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // The exit status; SIGKILL first when asked.
    int finish(bool kill) {
        if (kill) {
            ::kill(pid, SIGKILL);
        }
        close(in);
        int status = 0;
        waitpid(pid, &status, 0);
        close(out);
        return status;
    }
};

std::string self;

Child app(const std::string& mode, const std::string& home, const std::string& server, int run,
          long long first, long long count) {
    return Child::start({self, "--app", mode, home, server, std::to_string(run),
                         std::to_string(first), std::to_string(count)});
}

// Every numbered event the server took, by run; the double keeps only its
// latest requests, so each is counted as it comes.
class Arrivals {
  public:
    explicit Arrivals(sorvel::tools::ServerDouble& server) {
        server.setRequestObserver([this](const sorvel::tools::RecordedRequest& r) { take(r); });
    }
    std::set<long long> of(int run) const {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = got_.find(run);
        return it == got_.end() ? std::set<long long>{} : it->second;
    }
    // Waits until the run has at least `count` numbers, or the deadline.
    bool waitFor(int run, std::size_t count, std::chrono::seconds deadline) const {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, deadline, [&] {
            auto it = got_.find(run);
            return it != got_.end() && it->second.size() >= count;
        });
    }

  private:
    void take(const sorvel::tools::RecordedRequest& r) {
        if (r.endpoint != sorvel::tools::Endpoint::EVENT_BULK) {
            return;
        }
        auto body = nlohmann::json::parse(r.decodedBody, nullptr, false);
        if (!body.is_object() || !body.contains("evts")) {
            return;
        }
        for (const auto& e : body["evts"]) {
            if (!e.contains("param") || !e["param"].is_object()) {
                continue;
            }
            auto number = [&](const char* key) -> std::optional<long long> {
                const auto& p = e["param"];
                if (!p.contains(key) || !p[key].is_string()) {
                    return std::nullopt;
                }
                const std::string s = p[key].get<std::string>();
                return std::atoll(s.substr(s.find(':') + 1).c_str());
            };
            if (auto run = number("run"); run && number("n")) {
                std::lock_guard<std::mutex> lock(mu_);
                got_[static_cast<int>(*run)].insert(*number("n"));
            }
        }
        cv_.notify_all();
    }

    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::map<int, std::set<long long>> got_;
};

// "a..b" ranges of the numbers in [first, first + count) that did not arrive.
std::string missing(const std::set<long long>& got, long long first, long long count) {
    std::string out;
    for (long long n = first; n < first + count;) {
        if (got.count(n) != 0) {
            ++n;
            continue;
        }
        long long m = n;
        while (m + 1 < first + count && got.count(m + 1) == 0) {
            ++m;
        }
        out += (out.empty() ? "" : " ") + std::to_string(n) + ".." + std::to_string(m);
        n = m + 1;
    }
    return out;
}

std::uintmax_t folderBytes(const std::string& home) {
    std::uintmax_t total = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(home, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec)) {
            total += it->file_size(ec);
        }
    }
    return total;
}

// The files that hold most of the folder's bytes (16 KB or more each), by
// their path below it.
nlohmann::json largestFiles(const std::string& home) {
    nlohmann::json files = nlohmann::json::object();
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(home, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec) && it->file_size(ec) >= 16 * 1024) {
            files[fs::relative(it->path(), home, ec).string()] = it->file_size(ec);
        }
    }
    return files;
}

struct Home {
    std::string path;
    Home() {
        char tmpl[] = "/tmp/sorvel-durability-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~Home() {
        std::error_code ec;
        fs::remove_all(path, ec);
        fs::remove_all(path + "-keychain", ec);
    }
};

// One scenario's fresh data folder and server double.
struct Scenario {
    Home home;
    sorvel::tools::ServerDouble server{{"127.0.0.1", 0, kSecretKey}};
    Arrivals arrivals{server};
    Scenario() { server.start(); }

    Child launch(const std::string& mode, const std::string& serverUrl, long long first,
                 long long count) {
        return app(mode, home.path, serverUrl, 1, first, count);
    }
    // The launch after: server up, until every expected number arrived or 30 s.
    std::set<long long> deliver(std::size_t expected) {
        Child c = app("deliver", home.path, server.baseUrl(), 999, 1, 0);
        arrivals.waitFor(1, expected, 30s);
        c.finish(false);
        return arrivals.of(1);
    }
};

bool report(const std::string& name, long long recorded, const std::set<long long>& got,
            long long first, long long mustArrive, nlohmann::json extra = {}) {
    nlohmann::json j = std::move(extra);
    j["scenario"] = name;
    j["recorded"] = recorded;
    j["delivered"] = got.size();
    j["missing"] = missing(got, first, recorded);
    const bool ok = static_cast<long long>(got.size()) >= mustArrive;
    j["ok"] = ok;
    std::printf("%s\n", j.dump().c_str());
    std::fflush(stdout);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--app") == 0) {
        return runApp(argc, argv);
    }
    signal(SIGPIPE, SIG_IGN);
    self = fs::canonical("/proc/self/exe").string();
    std::string only;
    long long stream = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--only") == 0) {
            only = argv[i + 1];
        } else if (std::strcmp(argv[i], "--stream") == 0) {
            stream = std::atoll(argv[i + 1]);
        }
    }
    auto wanted = [&](const std::string& name) { return only.empty() || name.rfind(only, 0) == 0; };
    bool ok = true;
    constexpr long long kBurst = 1000;

    if (wanted("resign_return")) {
        Scenario s;
        Child c = s.launch("resign-return", "-", 1, kBurst);
        c.waitFor("resigned", 60s);
        const int status = c.finish(false);
        ok &= report("resign_return", kBurst, s.deliver(kBurst), 1, kBurst,
                     {{"exit_status", status}});
    }
    if (wanted("resign_kill_100ms")) {
        Scenario s;
        Child c = s.launch("resign-wait", "-", 1, kBurst);
        c.waitFor("resigned", 60s);
        std::this_thread::sleep_for(100ms);  // the moment of the kill, not a wait for work
        c.finish(true);
        ok &= report("resign_kill_100ms", kBurst, s.deliver(kBurst), 1, kBurst);
    }
    for (int delay : {0, 10, 50, 100}) {
        const std::string name = "burst_kill_" + std::to_string(delay) + "ms";
        if (!wanted(name)) {
            continue;
        }
        Scenario s;
        Child c = s.launch("wait", "-", 1, kBurst);
        c.waitFor("last", 60s);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));  // the kill's moment
        c.finish(true);
        // Figures only: a kill this close to the calls may take what is on
        // its way through the SDK's queues.
        report(name, kBurst, s.deliver(kBurst), 1, 0);
    }
    if (wanted("two_processes")) {
        Scenario s;
        Child a = s.launch("resign-return", "-", 1, 500);
        Child b = s.launch("resign-return", "-", 501, 500);
        a.waitFor("resigned", 60s);
        b.waitFor("resigned", 60s);
        a.finish(false);
        b.finish(false);
        ok &= report("two_processes", 1000, s.deliver(1000), 1, 1000);
    }
    if (wanted("folder_size")) {
        Scenario s;
        Child c = s.launch("deliver", s.server.baseUrl(), 1, stream);
        c.waitFor("resigned", 600s);
        s.arrivals.waitFor(1, static_cast<std::size_t>(stream), 300s);
        const auto got = s.arrivals.of(1);
        c.finish(false);
        const auto bytes = folderBytes(s.home.path);
        report("folder_size", stream, got, 1, stream,
               {{"folder_bytes", bytes}, {"largest_files", largestFiles(s.home.path)}});
        ok &= bytes < 1024 * 1024;
    }
    std::printf("summary: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
