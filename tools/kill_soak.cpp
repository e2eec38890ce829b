// The kill soak: an app (sorvel_kill_soak_driver) records numbered events
// into one persistent app home, with the server down, up or slow, and is
// killed with SIGKILL at a random moment, again and again; at the end the
// server comes up, the app runs once more to the end, and everything that
// arrived is counted. `sorvel_kill_soak --help` tells the options.
//
// Each launch continues the numbering after the highest number the previous
// one reported as recorded (its record call had returned). The kill of a
// launch is aimed at one of these moments:
//   record   a random moment while the app records;
//   flush    right after a no-wait event, while its flush packs the buffer
//            and sends the queue;
//   upload   while an upload is in flight (the server has the request and
//            has not answered), or just after the server answered;
//   store    at a write to the app's store files (the rewrite of the unsent
//            packages, or any other write of the SDK's stores).
// A launch whose aimed moment did not come is killed at a random moment
// within a few seconds all the same ("fallback").
//
// What it checks, exiting 1 when any limit is broken:
//   - no store was unreadable or moved aside (the SDK's log lines, and
//     "*.corrupt-*" files in the home);
//   - every launch but the last died of the SIGKILL, the last exited cleanly
//     once everything had arrived;
//   - lost events (recorded, never delivered) are only the last ones a killed
//     launch recorded, those it still held in memory: right after each kill
//     the soak reads what the app home holds (the unsent list and the
//     journals), and a lost event must have been missing from it and newer
//     than every event of its launch that was stored or delivered (the open
//     buffer, and after it what the pipeline had not yet drained into the
//     buffer); none of the final launch. An event stored at its kill may be
//     lost only to the store's cap of unsent events, and one missing below a
//     stored one only to a checkpoint's cap. How long the pipeline had held
//     the oldest event past the open buffer (its lag behind the record calls)
//     is reported per kill; past kPipelineLagLimit it stalled. No lost event
//     may have been recorded more than kLostAgeLimit before its kill (the
//     summary line gives the oldest). How many kills
//     lost 10 or more is reported, and how many events were lost beyond what
//     the kill took without a line of the SDK's log saying so;
//   - a duplicate is only an answer lost: the first copy was answered 200 and
//     the copy came again from a later launch; at most one package's worth
//     per kill.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "KillLosses.h"
#include "ServerDouble.h"
#include "StoredEvents.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using sorvel::tools::Endpoint;
using sorvel::tools::EventKey;
using sorvel::tools::eventNumber;
using sorvel::tools::RecordedRequest;
using sorvel::tools::ScriptedAnswer;
using sorvel::tools::ServerDouble;

constexpr const char* kSecretKey = "KillSoakSecret01234567";
// The unsent-package store keeps at most this many events; a longer backlog
// is cut by the SDK on purpose, so the soak keeps the backlog below it.
constexpr long long kStoreCap = 1000;
constexpr long long kBacklogLimit = kStoreCap * 6 / 10;
// What a killed launch may lose: the events still in memory. The open buffer
// is journaled at each wake of the pipeline, so those are only the newest,
// which the pipeline had not yet drained into the buffer: it waits up to 8 ms
// for more events before it drains, and lags no more than about 10 ms behind
// the record calls even at a load of 30 on 8 cores. Holding an event longer
// than kPipelineLagLimit is a stall, not a lag; losing one recorded more than
// kLostAgeLimit before the kill breaks what the SDK promises.
constexpr long long kOpenBuffer = 0;
constexpr auto kLostAgeLimit = std::chrono::milliseconds(50);
constexpr auto kPipelineLagLimit = std::chrono::milliseconds(500);
// Duplicates come only from a package whose upload the server had taken when
// the kill came, before its acknowledgement reached the journal: uploads go
// one at a time, so a kill cuts off the answer of at most one package of at
// most 10 events. The share of deliveries is reported beside it.
constexpr long long kDuplicatesPerKill = 10;
// The figure asked for: kills that lost 10 or more are counted.
constexpr long long kLostPerKill = 10;
constexpr auto kFinalDeadline = std::chrono::seconds(90);

enum class ServerMode { Offline, Refused, Up, Slow };
const char* modeName(ServerMode m) {
    switch (m) {
        case ServerMode::Offline:
            return "offline";
        case ServerMode::Refused:
            return "refused";
        case ServerMode::Up:
            return "up";
        case ServerMode::Slow:
            return "slow";
    }
    return "?";
}

enum class Trigger { Record, Flush, UploadInFlight, UploadAnswered, Store, Fallback };
constexpr int kTriggers = 6;
const char* triggerName(Trigger t) {
    static const char* names[] = {"record",          "flush", "upload_in_flight",
                                  "upload_answered", "store", "fallback"};
    return names[static_cast<int>(t)];
}

struct Options {
    int kills = 50;
    unsigned seed = 0;
    std::string driver = SORVEL_KILL_SOAK_DRIVER;
    bool keepHome = false;
    bool verbose = false;
};

[[noreturn]] void usage(int code) {
    std::fprintf(code == 0 ? stdout : stderr,
                 "usage: sorvel_kill_soak [--kills N] [--seed S] [--driver PATH] [--keep-home]\n"
                 "                        [--verbose]\n"
                 "  --kills N     launches killed before the final one (default 50)\n"
                 "  --seed S      the random seed (default: from the clock; printed)\n"
                 "  --driver P    the app to run (default: the one built beside this program)\n"
                 "  --keep-home   keep the app home folder (its path is printed)\n"
                 "  --verbose     one line per launch\n");
    std::exit(code);
}

Options parse(int argc, char** argv) {
    Options o;
    o.seed = static_cast<unsigned>(Clock::now().time_since_epoch().count());
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(0);
        } else if (arg == "--keep-home") {
            o.keepHome = true;
        } else if (arg == "--verbose") {
            o.verbose = true;
        } else if (i + 1 < argc && arg == "--kills") {
            o.kills = std::atoi(argv[++i]);
        } else if (i + 1 < argc && arg == "--seed") {
            o.seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (i + 1 < argc && arg == "--driver") {
            o.driver = argv[++i];
        } else {
            usage(2);
        }
    }
    if (o.kills < 0) {
        usage(2);
    }
    return o;
}

// One copy of an event the server received.
struct Copy {
    int launch = 0;  // the launch whose server received it
    int status = 0;  // what the server answered
    std::string logId;
};

// What the servers received, by event.
struct Ledger {
    std::mutex mu;
    std::map<EventKey, std::vector<Copy>> copies;
    long long bulkRequests = 0;
    long long unreadableBodies = 0;
    long long unnumberedEvents = 0;
    Clock::time_point lastBulk = Clock::now();

    void collect(const nlohmann::json& j, int launch, int status) {
        if (j.is_array()) {
            for (const auto& e : j) {
                collect(e, launch, status);
            }
            return;
        }
        if (!j.is_object()) {
            return;
        }
        if (auto evts = j.find("evts"); evts != j.end() && evts->is_array()) {
            for (const auto& e : *evts) {
                const auto param = e.is_object() && e.contains("param") ? e["param"] : nullptr;
                const auto n = eventNumber(param, "n");
                if (!n) {
                    // The SDK's own events (sessions, first open) carry no number.
                    continue;
                }
                Copy c;
                c.launch = launch;
                c.status = status;
                if (e.contains("log_id") && e["log_id"].is_string()) {
                    c.logId = e["log_id"].get<std::string>();
                }
                copies[{eventNumber(param, "run").value_or(-1), *n}].push_back(std::move(c));
            }
        }
    }

    void take(const RecordedRequest& r, int launch) {
        if (r.endpoint != Endpoint::EVENT_BULK) {
            return;
        }
        auto body = nlohmann::json::parse(r.decodedBody, nullptr, false);
        std::lock_guard<std::mutex> lock(mu);
        ++bulkRequests;
        lastBulk = Clock::now();
        if (r.bodyCut() || body.is_discarded()) {
            ++unreadableBodies;
            return;
        }
        collect(body, launch, r.status);
    }

    bool has(long long run, long long n) {
        std::lock_guard<std::mutex> lock(mu);
        return copies.count({run, n}) != 0;
    }
    Clock::time_point lastBulkAt() {
        std::lock_guard<std::mutex> lock(mu);
        return lastBulk;
    }
};

// A launch of the app as a child process with pipes on its three standard
// streams.
struct Child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
    std::string outBuf;
    std::string errText;

    bool spawn(const std::vector<std::string>& argv) {
        int inP[2], outP[2], errP[2];
        if (pipe2(inP, O_CLOEXEC) != 0 || pipe2(outP, O_CLOEXEC) != 0 ||
            pipe2(errP, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, inP[0], 0);
        posix_spawn_file_actions_adddup2(&fa, outP[1], 1);
        posix_spawn_file_actions_adddup2(&fa, errP[1], 2);
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        const int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(inP[0]);
        close(outP[1]);
        close(errP[1]);
        in = inP[1];
        out = outP[0];
        err = errP[0];
        return rc == 0;
    }

    // Reads what is there on fd into the buffer; false at end of file.
    static bool drain(int fd, std::string& into) {
        char buf[65536];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            return n < 0 && errno == EINTR;
        }
        into.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    // Takes the complete lines read so far.
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        std::size_t start = 0;
        for (std::size_t nl; (nl = outBuf.find('\n', start)) != std::string::npos; start = nl + 1) {
            out.push_back(outBuf.substr(start, nl - start));
        }
        outBuf.erase(0, start);
        return out;
    }

    // Kills (when still running) and reaps it; its wait status.
    int reap(bool kill9) {
        if (kill9) {
            ::kill(pid, SIGKILL);
        }
        // The pipes end when the process does; read them to the end.
        for (int fd : {out, err}) {
            if (fd < 0) {
                continue;
            }
            std::string& into = fd == out ? outBuf : errText;
            pollfd p{fd, POLLIN, 0};
            while (poll(&p, 1, 10000) > 0 && drain(fd, into)) {
            }
        }
        int status = 0;
        waitpid(pid, &status, 0);
        for (int* fd : {&in, &out, &err}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
        return status;
    }
};

// Watches every folder under the app home for writes to its files.
struct StoreWatch {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ~StoreWatch() { close(fd); }
    void watchAll(const fs::path& root) {
        std::error_code ec;
        if (!fs::exists(root, ec)) {
            return;
        }
        inotify_add_watch(fd, root.c_str(), IN_MODIFY);
        for (auto it = fs::recursive_directory_iterator(root, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_directory(ec)) {
                inotify_add_watch(fd, it->path().c_str(), IN_MODIFY);
            }
        }
    }
    // The number of writes reported since the last call.
    int take() {
        alignas(inotify_event) char buf[16384];
        int events = 0;
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
            for (char* p = buf; p < buf + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                ++events;
                p += sizeof(inotify_event) + e->len;
            }
        }
        return events;
    }
};

// One launch: its numbers and how it ended.
struct Launch {
    int index = 0;
    ServerMode mode = ServerMode::Up;
    Trigger aimed = Trigger::Record;
    Trigger hit = Trigger::Fallback;
    long long first = 0;
    long long last = 0;  // the highest number reported; first - 1 when none
    bool final = false;
    bool ready = false;
    int waitStatus = 0;
    // When each number was reported, from first on; when the kill was sent.
    std::vector<Clock::time_point> reportedAt;
    Clock::time_point killedAt{};
    // Lines in which the SDK said it dropped events (a torn journal tail, the
    // cap, a package of a deleted user).
    int lossLines = 0;
    // Events the launch said it dropped at its start for the cap of 1,000
    // stored events (the newest of what the launch before it left).
    long long cappedAtStart = 0;
    // Events over the cap that a checkpoint of the launch before left out of
    // the list, and that its end took, as this launch's start counted them.
    long long lostWithPrevious = 0;
    long long backlogAtStart = 0;
    // What the app home held right after the kill: which of this launch's
    // numbers were stored (index n - first), how many events of any kind a
    // start would restore, and when a journal was last written, from the
    // kill (negative: before it).
    std::vector<bool> storedAtKill;
    long long pendingAtKill = 0;
    std::optional<Clock::duration> journalWrittenFromKill;
    std::string storedProblem;
    // What the SDK's threads were doing right before the kill.
    std::string threadsAtKill;
};

// The SDK's threads of a running process ("sorvel-..." names) and their state
// as the kernel saw it: R runs or waits for a core; S sleeps, with where
// (wchan): a futex is a lock or a condition, a poll the network. Tells a
// pipeline that waits for a core under load from one that waits on something.
std::string threadStates(pid_t pid) {
    std::string out;
    std::error_code ec;
    const fs::path tasks = fs::path("/proc") / std::to_string(pid) / "task";
    for (auto it = fs::directory_iterator(tasks, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        auto read = [&](const char* name) {
            std::ifstream in(it->path() / name);
            std::string text;
            std::getline(in, text);
            return text;
        };
        const std::string comm = read("comm");
        if (comm.rfind("sorvel-", 0) != 0) {
            continue;
        }
        const std::string stat = read("stat");
        const auto close = stat.rfind(')');
        const char state =
            close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
        out += (out.empty() ? "" : ", ") + comm + " " + state;
        if (state != 'R') {
            const std::string wchan = read("wchan");
            out += wchan.empty() || wchan == "0" ? "" : " " + wchan;
        }
    }
    return out;
}

int countCorruptFiles(const fs::path& root) {
    int n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->path().filename().string().find(".corrupt-") != std::string::npos) {
            ++n;
        }
    }
    return n;
}

// Lines of the app's standard error that tell of a store the SDK could not
// open or read.
int countLossLines(const std::string& err) {
    int n = 0;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("sdk-log: ", 0) == 0 && (line.find("dropped") != std::string::npos ||
                                                line.find("over the cap") != std::string::npos ||
                                                line.find("not sent") != std::string::npos)) {
            ++n;
        }
    }
    return n;
}

// The events the SDK's lines starting with `mark` said it dropped or did not
// store for the cap of unsent events: a start's restore, or a checkpoint.
long long countCapped(const std::string& err, const std::string& mark,
                      const std::string& what = "over the cap") {
    long long n = 0;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find(mark);
        if (at != std::string::npos && line.find(what) != std::string::npos) {
            n += std::atoll(line.c_str() + at + mark.size());
        }
    }
    return n;
}

int countCorruptLines(const std::string& err, std::vector<std::string>& seen) {
    static const char* kMarks[] = {"is unreadable",
                                   "can not open store",
                                   "can not be written",
                                   "getPreviousPackageQueue :: can not",
                                   "getPreviousPackageQueue :: error",
                                   "moved aside",
                                   "was damaged"};
    int n = 0;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        for (const char* mark : kMarks) {
            if (line.find(mark) != std::string::npos) {
                ++n;
                seen.push_back(line);
                break;
            }
        }
    }
    return n;
}

class Soak {
  public:
    explicit Soak(Options o) : o_(std::move(o)), rng_(o_.seed) {
        std::string pattern = (fs::temp_directory_path() / "sorvel-kill-soak-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(2);
        }
        root_ = pattern;
        home_ = root_ / "app";
    }
    ~Soak() {
        if (!o_.keepHome) {
            std::error_code ec;
            fs::remove_all(root_, ec);
        }
    }

    int run() {
        std::printf("kill soak: %d kills, seed %u, home %s\n", o_.kills, o_.seed, root_.c_str());
        std::fflush(stdout);
        long long next = 1;
        for (int i = 0; i <= o_.kills; ++i) {
            Launch l;
            l.index = i;
            l.first = next;
            l.final = i == o_.kills;
            choose(l);
            if (!launch(l)) {
                fault("launch " + std::to_string(i) + " did not start");
                break;
            }
            next = l.last + 1;
            if (o_.verbose) {
                std::printf("launch %d: %s, aimed %s, hit %s, events %lld..%lld\n", i,
                            modeName(l.mode), triggerName(l.aimed), triggerName(l.hit), l.first,
                            l.last);
                std::fflush(stdout);
            }
            launches_.push_back(l);
        }
        return report();
    }

  private:
    void fault(const std::string& what) {
        faults_.push_back(what);
        std::fprintf(stderr, "kill soak: %s\n", what.c_str());
    }

    // The launch's server and where its kill is aimed. The backlog (recorded,
    // not yet delivered) stays well under the store's cap: past it, the SDK
    // keeps the oldest events on purpose.
    void choose(Launch& l) {
        std::uniform_int_distribution<int> pct(0, 99);
        if (l.final) {
            l.mode = ServerMode::Up;
            return;
        }
        const long long backlog = storedBacklog();
        l.backlogAtStart = backlog;
        const int m = pct(rng_);
        if (backlog > kBacklogLimit / 2) {
            l.mode = m < 70 ? ServerMode::Up : ServerMode::Slow;
        } else {
            l.mode = m < 20   ? ServerMode::Offline
                     : m < 40 ? ServerMode::Refused
                     : m < 80 ? ServerMode::Up
                              : ServerMode::Slow;
        }
        const bool serverUp = l.mode == ServerMode::Up || l.mode == ServerMode::Slow;
        const int t = pct(rng_);
        if (t < 30) {
            l.aimed = Trigger::Record;
        } else if (t < 50) {
            l.aimed = Trigger::Flush;
        } else if (t < 75 && serverUp) {
            l.aimed = t < 63 ? Trigger::UploadInFlight : Trigger::UploadAnswered;
        } else {
            l.aimed = Trigger::Store;
        }
    }

    // The events the app's store holds now: what a start would restore from
    // what the last kill left on disk (nothing has run on the home since).
    long long storedBacklog() const {
        return launches_.empty() ? 0 : launches_.back().pendingAtKill;
    }

    bool launch(Launch& l) {
        std::uniform_int_distribution<int> ms(0, 1999);
        std::unique_ptr<ServerDouble> server;
        std::string url;
        std::atomic<pid_t> armed{-1};
        std::atomic<int> hitBy{-1};
        std::atomic<Clock::rep> killNs{0};
        std::mutex statesMu;
        std::string states;
        // Kills the app once it is armed, and once only (the server's threads
        // aim at it too); what its threads were doing goes with the launch.
        auto killArmed = [&](Trigger t) {
            const pid_t pid = armed.exchange(-1);
            if (pid <= 0) {
                return;
            }
            std::string seen = threadStates(pid);
            killNs = Clock::now().time_since_epoch().count();
            hitBy = static_cast<int>(t);
            ::kill(pid, SIGKILL);
            std::lock_guard<std::mutex> lock(statesMu);
            states = std::move(seen);
        };
        if (l.mode == ServerMode::Up || l.mode == ServerMode::Slow) {
            ServerDouble::Options so;
            so.secretKey = kSecretKey;
            // Every body is read whole by the observer; little is kept.
            so.keptBytesEach = 64 * 1024 * 1024;
            so.keptRequests = 4;
            so.keptBytes = 256 * 1024 * 1024;
            server = std::make_unique<ServerDouble>(so);
            if (l.mode == ServerMode::Slow) {
                ScriptedAnswer slow;
                slow.delay = std::chrono::milliseconds(20 + ms(rng_) % 130);
                server->setDefaultAnswer(Endpoint::EVENT_BULK, slow);
            }
            const int index = l.index;
            const Trigger aimed = l.aimed;
            server->setRequestObserver([&, index, aimed](const RecordedRequest& r) {
                ledger_.take(r, index);
                if (aimed == Trigger::UploadInFlight && r.endpoint == Endpoint::EVENT_BULK) {
                    killArmed(Trigger::UploadInFlight);
                }
            });
            if (aimed == Trigger::UploadAnswered) {
                server->setAnswerObserver([&](const RecordedRequest& r) {
                    if (r.endpoint == Endpoint::EVENT_BULK) {
                        killArmed(Trigger::UploadAnswered);
                    }
                });
            }
            if (!server->start()) {
                return false;
            }
            url = server->baseUrl();
        } else if (l.mode == ServerMode::Refused) {
            url = "http://127.0.0.1:1";  // nothing listens there
        }

        StoreWatch watch;
        watch.watchAll(home_);
        std::vector<std::string> argv{o_.driver,
                                      "--home",
                                      home_.string(),
                                      "--first",
                                      std::to_string(l.first),
                                      "--count",
                                      std::to_string(eventsFor(l)),
                                      "--run",
                                      std::to_string(l.index),
                                      "--seed",
                                      std::to_string(rng_())};
        if (url.empty()) {
            argv.push_back("--offline");
        } else {
            argv.push_back("--server");
            argv.push_back(url);
        }
        if (l.final) {
            argv.push_back("--final");
        }
        Child c;
        if (!c.spawn(argv)) {
            return false;
        }
        l.last = l.first - 1;

        // Where the kill goes: a random moment for "record", the k-th
        // no-wait event or store write for the others; a fallback deadline
        // for all.
        const auto recordAt = std::chrono::milliseconds(20 + ms(rng_) % 1500);
        const auto fallbackAt = std::chrono::milliseconds(1500 + ms(rng_));
        int flushesLeft = 1 + ms(rng_) % 3;
        int writesLeft = 1 + ms(rng_) % 40;
        const auto flushDelay = std::chrono::microseconds(ms(rng_) * 1000 / 1999);
        Clock::time_point readyAt{};
        const auto started = Clock::now();
        bool killed = false;
        bool done = false;
        Clock::time_point doneAt{};
        bool outOpen = true;

        auto killNow = [&](Trigger t) {
            killArmed(t);
            killed = true;
        };

        while (outOpen) {
            const auto now = Clock::now();
            if (!l.ready && now - started > std::chrono::seconds(30)) {
                fault("launch " + std::to_string(l.index) + " did not become ready");
                killNow(Trigger::Fallback);
                break;
            }
            if (l.ready && !l.final && !killed) {
                if (l.aimed == Trigger::Record && now - readyAt >= recordAt) {
                    killNow(Trigger::Record);
                } else if (now - readyAt >= fallbackAt) {
                    killNow(Trigger::Fallback);
                }
            }
            if (l.final && done) {
                if (finalDelivered(l) && now - ledger_.lastBulkAt() > std::chrono::seconds(1)) {
                    close(c.in);
                    c.in = -1;
                    break;
                }
                if (now - doneAt > kFinalDeadline) {
                    fault("the final launch did not deliver everything within " +
                          std::to_string(kFinalDeadline.count()) + " s");
                    killNow(Trigger::Fallback);
                    break;
                }
            }
            if (killed) {
                break;
            }
            pollfd fds[3] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}, {watch.fd, POLLIN, 0}};
            poll(fds, 3, 2);
            if (fds[1].revents != 0) {
                Child::drain(c.err, c.errText);
            }
            if (fds[2].revents != 0) {
                const int writes = watch.take();
                if (l.ready && !l.final && l.aimed == Trigger::Store) {
                    writesLeft -= writes;
                    if (writesLeft <= 0) {
                        killNow(Trigger::Store);
                        break;
                    }
                }
            }
            if (fds[0].revents != 0 && !Child::drain(c.out, c.outBuf)) {
                outOpen = false;
            }
            for (const auto& line : c.lines()) {
                take(l, line, readyAt, done, doneAt);
                if (!killed && l.aimed == Trigger::Flush && !l.final && line.rfind("F ", 0) == 0 &&
                    --flushesLeft == 0) {
                    const auto until = Clock::now() + flushDelay;
                    while (Clock::now() < until) {
                    }
                    killNow(Trigger::Flush);
                }
            }
            if (l.ready && !l.final && armed.load() == -1 && !killed && hitBy.load() < 0) {
                armed = c.pid;
            }
            if (hitBy.load() >= 0) {
                killed = true;
            }
        }
        armed = -1;
        const auto reapAt = Clock::now();
        l.waitStatus = c.reap(!l.final || !done);
        l.killedAt =
            killNs.load() != 0 ? Clock::time_point(Clock::duration(killNs.load())) : reapAt;
        for (const auto& line : c.lines()) {
            take(l, line, readyAt, done, doneAt);
        }
        if (server) {
            // Ends the connections and waits for their handlers: every request
            // of this launch is counted before the next one starts.
            server->stop();
        }
        l.hit = hitBy.load() >= 0 ? static_cast<Trigger>(hitBy.load()) : Trigger::Fallback;
        {
            std::lock_guard<std::mutex> lock(statesMu);
            l.threadsAtKill = std::move(states);
        }
        corruptLines_ += countCorruptLines(c.errText, corruptSeen_);
        l.lossLines = countLossLines(c.errText);
        l.cappedAtStart =
            countCapped(c.errText, "getPreviousPackageQueue :: ", "unsent events dropped");
        l.lostWithPrevious =
            countCapped(c.errText, "getPreviousPackageQueue :: ", "were lost with the process");
        if (!l.final) {
            noteStored(l);
        }
        if (o_.verbose && l.lossLines > 0) {
            std::istringstream in(c.errText);
            for (std::string line; std::getline(in, line);) {
                if (line.rfind("sdk-log: ", 0) == 0) {
                    std::printf("launch %d: %s\n", l.index, line.c_str());
                }
            }
        }
        if (l.final) {
            if (!done || !WIFEXITED(l.waitStatus) || WEXITSTATUS(l.waitStatus) != 0) {
                fault("the final launch did not end cleanly (status " +
                      std::to_string(l.waitStatus) + "): " + c.errText.substr(0, 2000));
            }
        } else if (!WIFSIGNALED(l.waitStatus) || WTERMSIG(l.waitStatus) != SIGKILL) {
            fault("launch " + std::to_string(l.index) + " ended by itself (status " +
                  std::to_string(l.waitStatus) + "): " + c.errText.substr(0, 2000));
        }
        return l.ready;
    }

    // Reads what the killed launch left on disk, before anything else opens
    // its home.
    void noteStored(Launch& l) {
        const sorvel::tools::StoredEvents stored = sorvel::tools::readStoredEvents(home_);
        const auto sinceKill = Clock::now() - l.killedAt;
        l.storedAtKill.assign(static_cast<std::size_t>(l.last - l.first + 1), false);
        for (long long n = l.first; n <= l.last; ++n) {
            l.storedAtKill[static_cast<std::size_t>(n - l.first)] =
                stored.numbered.count({l.index, n}) != 0;
        }
        l.pendingAtKill = stored.pending;
        l.storedProblem = stored.problem;
        if (stored.journalWrittenAt) {
            const auto ago = fs::file_time_type::clock::now() - *stored.journalWrittenAt;
            l.journalWrittenFromKill = sinceKill - std::chrono::duration_cast<Clock::duration>(ago);
        }
    }

    // How many events a launch may record: the backlog stays under the
    // store's cap while the server is down or slower than the app records;
    // the final launch records a few.
    long long eventsFor(const Launch& l) {
        if (l.final) {
            return 200;
        }
        if (l.mode != ServerMode::Up) {
            const long long backlog = storedBacklog();
            return std::max(0LL, kBacklogLimit - backlog);
        }
        return 100000;
    }

    void take(Launch& l, const std::string& line, Clock::time_point& readyAt, bool& done,
              Clock::time_point& doneAt) {
        if (line == "ready") {
            l.ready = true;
            readyAt = Clock::now();
        } else if (line == "done") {
            done = true;
            doneAt = Clock::now();
        } else if (!line.empty() && (std::isdigit(static_cast<unsigned char>(line[0])) ||
                                     line.rfind("F ", 0) == 0)) {
            const long long n = std::atoll(line.c_str() + (line[0] == 'F' ? 2 : 0));
            if (n != l.last + 1) {
                fault("launch " + std::to_string(l.index) + " reported " + std::to_string(n) +
                      " after " + std::to_string(l.last));
            }
            l.last = std::max(l.last, n);
            l.reportedAt.resize(static_cast<std::size_t>(l.last - l.first + 1), Clock::now());
        }
    }

    // Whether every event of the final launch arrived (it sends after the
    // restored ones, so those arrived by then too).
    bool finalDelivered(const Launch& l) {
        for (long long n = l.last; n >= l.first; --n) {
            if (!ledger_.has(l.index, n)) {
                return false;
            }
        }
        return true;
    }

    // Where each lost event of a killed launch was, in runs of events alike,
    // with how long before the kill they were recorded.
    void showLosses(const Launch& l, const sorvel::tools::KillLosses& losses, const Launch* next) {
        auto ms = [](Clock::duration d) {
            return static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
        };
        std::string journal = "no journal";
        if (l.journalWrittenFromKill) {
            journal = "a journal last written " + std::to_string(-ms(*l.journalWrittenFromKill)) +
                      " ms before the kill";
        }
        std::printf(
            "launch %d (%s, killed at %s, backlog %lld at its start, %lld events pending on disk "
            "after the kill, %s): lost %zu of %lld..%lld; the open buffer held events recorded up "
            "to %lld ms before the kill, the pipeline %lld past it, recorded up to %lld ms "
            "before; the next start dropped %lld for the cap, and counted %lld lost that the "
            "launch's checkpoints had left out for it\n",
            l.index, modeName(l.mode), triggerName(l.hit), l.backlogAtStart, l.pendingAtKill,
            journal.c_str(), losses.lost.size(), l.first, l.last, ms(losses.bufferAge),
            losses.inPipeline, ms(losses.pipelineLag), next != nullptr ? next->cappedAtStart : 0,
            next != nullptr ? next->lostWithPrevious : 0);
        if (!l.threadsAtKill.empty()) {
            std::printf("  threads at the kill: %s\n", l.threadsAtKill.c_str());
        }
        std::string runs;
        for (std::size_t i = 0; i < losses.lost.size();) {
            const auto [from, fromAge] = losses.lost[i];
            const bool stored = l.storedAtKill[static_cast<std::size_t>(from - l.first)];
            std::size_t j = i;
            while (j + 1 < losses.lost.size() &&
                   losses.lost[j + 1].first == losses.lost[j].first + 1 &&
                   l.storedAtKill[static_cast<std::size_t>(losses.lost[j + 1].first - l.first)] ==
                       stored) {
                ++j;
            }
            std::printf("  %lld..%lld %s, recorded %lld..%lld ms before the kill\n", from,
                        losses.lost[j].first, stored ? "stored" : "in memory", ms(fromAge),
                        ms(losses.lost[j].second));
            i = j + 1;
        }
    }

    int report() {
        long long killsOverBuffer = 0, lostSilently = 0, lostToCap = 0, lostInMemory = 0,
                  lostInPipeline = 0, lostStored = 0, lostStoredUnexplained = 0, lostGap = 0,
                  lostGapUnexplained = 0, killsLagOver50ms = 0, killsLagOver250ms = 0,
                  killsLagOverLimit = 0, killsOverAge = 0;
        int lostShown = 0;
        Clock::duration pipelineLag{0}, bufferAge{0}, oldestLost{0};
        long long recorded = 0, delivered = 0, lost = 0, maxLost = 0, lostNotLast = 0,
                  lostFinal = 0, unreported = 0, duplicates = 0, answerLost = 0, badDuplicates = 0,
                  wrongRun = 0;
        int hits[kTriggers] = {};
        long long dupByPhase[kTriggers] = {};
        int modes[4] = {};
        std::lock_guard<std::mutex> lock(ledger_.mu);
        for (const auto& l : launches_) {
            recorded += l.last - l.first + 1;
            if (!l.final) {
                ++hits[static_cast<int>(l.hit)];
                ++modes[static_cast<int>(l.mode)];
            }
            const long long run = l.index;
            long long lostHere = 0;
            long long lostGapHere = 0;
            long long highestDelivered = l.first - 1;
            for (long long n = l.first; n <= l.last; ++n) {
                if (ledger_.copies.count({run, n}) != 0) {
                    highestDelivered = n;
                }
            }
            for (long long n = l.first; n <= l.last; ++n) {
                auto it = ledger_.copies.find({run, n});
                if (it == ledger_.copies.end()) {
                    ++lostHere;
                    if (n < highestDelivered) {
                        ++lostNotLast;
                        ++lostGapHere;
                    }
                    continue;
                }
                ++delivered;
                const auto& copies = it->second;
                for (std::size_t k = 1; k < copies.size(); ++k) {
                    ++duplicates;
                    // Allowed only when the server had answered an earlier copy
                    // of the same event with 200 and this copy came from a later
                    // launch.
                    bool allowed = false;
                    int answeredIn = -1;
                    for (std::size_t e = 0; e < k; ++e) {
                        if (copies[e].status == 200 && copies[k].launch > copies[e].launch &&
                            copies[k].logId == copies[e].logId) {
                            allowed = true;
                            answeredIn = copies[e].launch;
                        }
                    }
                    // Where the answer went: the kill of the launch the
                    // server answered.
                    if (answeredIn >= 0 &&
                        static_cast<std::size_t>(answeredIn) < launches_.size()) {
                        ++dupByPhase[static_cast<int>(
                            launches_[static_cast<std::size_t>(answeredIn)].hit)];
                    }
                    if (o_.verbose && k == 1 && n % 10 == 0) {
                        std::printf("launch %d: event %lld came %zu times, first from launch %d\n",
                                    l.index, n, copies.size(), copies[0].launch);
                    }
                    if (allowed) {
                        ++answerLost;
                    } else {
                        ++badDuplicates;
                    }
                }
            }
            if (lostGapHere > 0 && lostShown++ < 20) {
                std::string ranges;
                for (long long n = l.first; n <= l.last;) {
                    const bool has = ledger_.copies.count({run, n}) != 0;
                    long long m = n;
                    while (m + 1 <= l.last && (ledger_.copies.count({run, m + 1}) != 0) == has) {
                        ++m;
                    }
                    ranges +=
                        (has ? " got " : " lost ") + std::to_string(n) + ".." + std::to_string(m);
                    n = m + 1;
                }
                std::printf("launch %d (%s, killed at %s, backlog %lld at its start):%s\n", l.index,
                            modeName(l.mode), triggerName(l.hit), l.backlogAtStart, ranges.c_str());
            }
            if (!l.final && lostHere > 0) {
                const std::size_t at = static_cast<std::size_t>(&l - launches_.data());
                const Launch* next = at + 1 < launches_.size() ? &launches_[at + 1] : nullptr;
                const auto losses = sorvel::tools::classifyKillLosses(
                    l.first, l.last, kOpenBuffer,
                    [&](long long n) {
                        return l.killedAt - l.reportedAt[static_cast<std::size_t>(n - l.first)];
                    },
                    [&](long long n) {
                        return ledger_.copies.count({run, n}) != 0;
                    },
                    [&](long long n) {
                        return l.storedAtKill[static_cast<std::size_t>(n - l.first)];
                    });
                lostInMemory += losses.inMemory;
                lostInPipeline += losses.inPipeline;
                pipelineLag = std::max(pipelineLag, losses.pipelineLag);
                bufferAge = std::max(bufferAge, losses.bufferAge);
                oldestLost = std::max(oldestLost, losses.oldestLost);
                killsOverAge += losses.oldestLost > kLostAgeLimit ? 1 : 0;
                killsLagOver50ms += losses.pipelineLag > std::chrono::milliseconds(50) ? 1 : 0;
                killsLagOver250ms += losses.pipelineLag > std::chrono::milliseconds(250) ? 1 : 0;
                const bool lagBroken = losses.pipelineLag > kPipelineLagLimit;
                killsLagOverLimit += lagBroken ? 1 : 0;
                // What reached the store may be lost only to the cap of unsent
                // events: at a later start, which restores the store and keeps
                // the oldest events up to the cap, or (what was in memory
                // only) at a checkpoint of the launch itself. The next start
                // says how many it dropped, unless it was killed before its
                // log line came out; a start killed before its own checkpoint
                // lands leaves the drop to the one after it. What the disk
                // held over the cap is dropped whichever start does it.
                const long long overCap = std::max(l.pendingAtKill - kStoreCap, 0LL);
                const long long storedToCap = std::min(
                    std::max(next != nullptr ? next->cappedAtStart : 0, overCap), losses.onDisk);
                const long long gapToCap =
                    std::min(next != nullptr ? next->lostWithPrevious : 0, losses.memoryGap);
                lostStored += losses.onDisk;
                lostStoredUnexplained += losses.onDisk - storedToCap;
                lostGap += losses.memoryGap;
                lostGapUnexplained += losses.memoryGap - gapToCap;
                lostToCap += storedToCap + gapToCap;
                const long long beyond = losses.onDisk - storedToCap + losses.memoryGap - gapToCap;
                const bool logged = l.lossLines > 0 || (next != nullptr && next->lossLines > 0);
                if (!logged) {
                    lostSilently += losses.onDisk + losses.memoryGap;
                }
                if (o_.verbose || ((beyond > 0 || lagBroken || losses.oldestLost > kLostAgeLimit) &&
                                   lostShown++ < 40)) {
                    showLosses(l, losses, next);
                }
            }
            lost += lostHere;
            maxLost = std::max(maxLost, lostHere);
            if (!l.final && lostHere >= kLostPerKill) {
                ++killsOverBuffer;
            }
            if (l.final) {
                lostFinal = lostHere;
            }
        }
        // Events outside their launch's reported numbers: one the app recorded
        // as it died, after its last line (the next launch reuses the number);
        // anything else carries a mark no launch gave it.
        for (const auto& [key, copies] : ledger_.copies) {
            const auto [run, n] = key;
            if (run < 0 || run >= static_cast<long long>(launches_.size()) ||
                n < launches_[static_cast<std::size_t>(run)].first) {
                ++wrongRun;
            } else if (n > launches_[static_cast<std::size_t>(run)].last) {
                ++unreported;
            }
        }
        const int corruptFiles = countCorruptFiles(root_);
        const int corrupt = corruptLines_ + corruptFiles;
        const int kills = static_cast<int>(launches_.size()) - (launches_.empty() ? 0 : 1);

        std::vector<std::string> broken = faults_;
        if (corrupt > 0) {
            broken.push_back(std::to_string(corrupt) + " corrupt stores");
            for (const auto& line : corruptSeen_) {
                broken.push_back("  " + line);
            }
        }
        if (lostStoredUnexplained > 0) {
            broken.push_back(std::to_string(lostStoredUnexplained) +
                             " lost events were stored at their kill, beyond what the next start "
                             "dropped for the cap");
        }
        if (lostGapUnexplained > 0) {
            broken.push_back(std::to_string(lostGapUnexplained) +
                             " lost events left memory unstored while newer ones were stored, "
                             "beyond what a checkpoint left out for the cap");
        }
        if (killsLagOverLimit > 0) {
            broken.push_back(std::to_string(killsLagOverLimit) +
                             " kills found the pipeline holding events recorded over " +
                             std::to_string(kPipelineLagLimit.count()) + " ms before");
        }
        const long long oldestLostMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(oldestLost).count();
        if (killsOverAge > 0) {
            broken.push_back(std::to_string(killsOverAge) + " kills lost an event recorded over " +
                             std::to_string(kLostAgeLimit.count()) +
                             " ms before them (the oldest " + std::to_string(oldestLostMs) +
                             " ms)");
        }
        for (const auto& l : launches_) {
            if (!l.storedProblem.empty()) {
                broken.push_back("launch " + std::to_string(l.index) +
                                 " left a store the soak could not read: " + l.storedProblem);
            }
        }
        if (lostNotLast > 0) {
            broken.push_back(std::to_string(lostNotLast) +
                             " lost events were followed by delivered ones of their launch");
        }
        if (lostFinal > 0) {
            broken.push_back("the final launch lost " + std::to_string(lostFinal) + " events");
        }
        if (answerLost > kDuplicatesPerKill * kills) {
            broken.push_back(std::to_string(answerLost) + " duplicates, over " +
                             std::to_string(kDuplicatesPerKill) + " per kill");
        }
        if (badDuplicates > 0) {
            broken.push_back(std::to_string(badDuplicates) + " duplicates not from a lost answer");
        }
        if (wrongRun > 0) {
            broken.push_back(std::to_string(wrongRun) + " events carried another launch's mark");
        }
        if (ledger_.unreadableBodies > 0) {
            broken.push_back(std::to_string(ledger_.unreadableBodies) + " unreadable uploads");
        }

        nlohmann::json j;
        j["seed"] = o_.seed;
        j["runs"] = launches_.size();
        j["kills"] = kills;
        j["corrupt_stores"] = corrupt;
        j["recorded"] = recorded;
        j["delivered"] = delivered;
        j["lost"] = lost;
        j["lost_max_per_kill"] = maxLost;
        j["kills_losing_10_or_more"] = killsOverBuffer;
        const long long lagMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(pipelineLag).count();
        j["lost_in_memory"] = lostInMemory;
        j["lost_in_pipeline"] = lostInPipeline;
        j["pipeline_lag_max_ms"] = lagMs;
        j["open_buffer_age_max_ms"] =
            std::chrono::duration_cast<std::chrono::milliseconds>(bufferAge).count();
        j["kills_pipeline_lag_over_50ms"] = killsLagOver50ms;
        j["lost_oldest_age_ms"] = oldestLostMs;
        j["kills_losing_events_older_than_limit"] = killsOverAge;
        j["kills_pipeline_lag_over_250ms"] = killsLagOver250ms;
        j["lost_stored"] = lostStored;
        j["lost_stored_unexplained"] = lostStoredUnexplained;
        j["lost_unstored_gap"] = lostGap;
        j["lost_unstored_gap_unexplained"] = lostGapUnexplained;
        j["lost_not_last"] = lostNotLast;
        j["lost_silently"] = lostSilently;
        j["lost_to_the_cap"] = lostToCap;
        j["unreported_delivered"] = unreported;
        j["duplicates"] = duplicates;
        j["duplicates_answer_lost"] = answerLost;
        j["duplicates_other"] = badDuplicates;
        j["duplicates_share_percent"] =
            delivered > 0 ? 100.0 * static_cast<double>(duplicates) / static_cast<double>(delivered)
                          : 0.0;
        j["bulk_requests"] = ledger_.bulkRequests;
        for (int t = 0; t < kTriggers; ++t) {
            j["kills_by_phase"][triggerName(static_cast<Trigger>(t))] = hits[t];
            j["duplicates_by_kill_phase"][triggerName(static_cast<Trigger>(t))] = dupByPhase[t];
        }
        for (int m = 0; m < 4; ++m) {
            j["kills_by_server"][modeName(static_cast<ServerMode>(m))] = modes[m];
        }
        j["ok"] = broken.empty();
        std::printf("%s\n", j.dump().c_str());
        std::printf(
            "runs %zu (%d killed), corrupt stores %d\n"
            "events recorded %lld, delivered %lld, lost %lld (at most %lld in one kill; "
            "%lld kills lost %lld or more; the oldest lost event recorded %lld ms before its "
            "kill, limit %lld ms)\n"
            "lost in memory at the kill %lld (the open buffer's oldest recorded up to %lld ms "
            "before; %lld in the pipeline past the buffer, its lag at a kill at most %lld ms, "
            "limit %lld ms; over 50 ms at %lld kills, over 250 ms at %lld)\n"
            "lost though stored %lld, or unstored between stored ones %lld: dropped for the cap "
            "%lld, unexplained %lld\n"
            "duplicates %lld (answer lost %lld, other %lld); delivered though unreported %lld\n"
            "kills by phase: record %d, flush %d, upload in flight %d, upload answered %d, "
            "store write %d, fallback %d\n"
            "kills by server: offline %d, refused %d, up %d, slow %d\n",
            launches_.size(), kills, corrupt, recorded, delivered, lost, maxLost, killsOverBuffer,
            kLostPerKill, oldestLostMs, static_cast<long long>(kLostAgeLimit.count()), lostInMemory,
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(bufferAge).count()),
            lostInPipeline, lagMs, static_cast<long long>(kPipelineLagLimit.count()),
            killsLagOver50ms, killsLagOver250ms, lostStored, lostGap, lostToCap,
            lostStoredUnexplained + lostGapUnexplained, duplicates, answerLost, badDuplicates,
            unreported, hits[0], hits[1], hits[2], hits[3], hits[4], hits[5], modes[0], modes[1],
            modes[2], modes[3]);
        for (const auto& b : broken) {
            std::printf("LIMIT BROKEN: %s\n", b.c_str());
        }
        std::printf("summary: %s (the oldest lost event was recorded %lld ms before its kill)\n",
                    broken.empty() ? "ok" : "FAILED", oldestLostMs);
        return broken.empty() ? 0 : 1;
    }

    const Options o_;
    std::mt19937 rng_;
    fs::path root_;
    fs::path home_;
    Ledger ledger_;
    std::vector<Launch> launches_;
    std::vector<std::string> faults_;
    int corruptLines_ = 0;
    std::vector<std::string> corruptSeen_;
};

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    return Soak(parse(argc, argv)).run();
}
