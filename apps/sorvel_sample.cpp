// A small app that uses the SDK the way any app does: through its public
// headers and the shared library. It plays a scripted app session against a
// loopback double of the maker's servers (or any loopback server given with
// --server) and prints what the server received.
//
// Every launch of the app is a process of its own: this program starts the
// server double and then runs the app (sorvel_sample_app, beside it) twice, so
// the second launch finds what the first one stored (first open, the session,
// unsent events). The app links the SDK and nothing else.
//
//   sorvel_sample [--server URL] [--app-key KEY] [--secret-key KEY] [--home DIR]
//                 [--events N] [--offline]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SampleOptions.h"
#include "ServerDouble.h"
#include "sorvel/SorvelHost.h"
#include "sorvel/SorvelKV.h"

using namespace std::chrono_literals;
using sorvel::SorvelHost;
using sorvel::SorvelKV;
using sorvel::Value;

using sample::Options;

namespace {

// ---------------------------------------------------------------------------
// The runner: starts the double, runs the launches and shows what arrived.

struct Child {
    pid_t pid = -1;
    int in = -1;   // the child's standard input
    int out = -1;  // the child's standard output
    std::string buffered;
};

Child spawn(const Options& o, int launch, const std::string& server, const std::string& home) {
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    // The app lies beside this program.
    const std::string app =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "sorvel_sample_app")
            .string();
    std::vector<std::string> args = {app,
                                     "--launch",
                                     std::to_string(launch),
                                     "--server",
                                     server,
                                     "--home",
                                     home,
                                     "--app-key",
                                     o.appKey,
                                     "--secret-key",
                                     o.secretKey,
                                     "--events",
                                     std::to_string(o.events)};
    if (o.offline) {
        args.push_back("--offline");
    }
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    return Child{pid, toChild[1], fromChild[0], {}};
}

// Relays the child's lines until it reaches a step (returned) or ends (empty).
std::string untilStep(Child& c, std::chrono::seconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        std::size_t end;
        // A line ended by "\r" (a progress line) is redrawn in place.
        while ((end = c.buffered.find_first_of("\r\n")) != std::string::npos) {
            const bool inPlace = c.buffered[end] == '\r';
            std::string line = c.buffered.substr(0, end);
            c.buffered.erase(0, end + 1);
            if (line.rfind("@step ", 0) == 0) {
                return line.substr(6);
            }
            if (!line.empty() || !inPlace) {
                std::printf("\r  | %s%s", line.c_str(), inPlace ? "" : "\n");
                std::fflush(stdout);
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            std::printf("  the app did not reach its next step in time\n");
            kill(c.pid, SIGKILL);
            return "";
        }
        pollfd p{c.out, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buf[4096];
        ssize_t n = read(c.out, buf, sizeof buf);
        if (n <= 0) {
            return "";
        }
        c.buffered.append(buf, static_cast<std::size_t>(n));
    }
}

void go(Child& c) {
    if (write(c.in, "go\n", 3) != 3) {
        std::printf("  the app went away\n");
    }
}

int finish(Child& c) {
    close(c.in);
    untilStep(c, 60s);
    close(c.out);
    int status = 0;
    waitpid(c.pid, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (code != 0) {
        std::printf("  the app ended with status %d\n", code);
    }
    return code;
}

// What the server acknowledged, counted as each answer goes out (so a burst
// longer than what the double keeps is still counted whole).
class Tally {
  public:
    void count(const sorvel::tools::RecordedRequest& r) {
        std::vector<std::pair<std::string, std::string>> named;  // (name, log id)
        if (r.endpoint == sorvel::tools::Endpoint::EVENT_BULK) {
            for (const auto& evt : eventsOf(r)) {
                named.emplace_back(nameOf(evt), logIdOf(evt));
            }
        }
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& [name, id] : named) {
            // An event that arrives again: its upload was answered, but the app
            // ended before the SDK stored that, so the next launch sent it again.
            if (!logIds_.insert(id).second) {
                ++duplicates_;
                continue;
            }
            ++events_[name];
        }
        if (r.status < 200 || r.status >= 300 || r.signature == "invalid") {
            ++failures_;
        }
        cv_.notify_all();
    }
    // Waits until pred holds over the counts, 30 s at most.
    bool waitFor(const std::function<bool(const std::map<std::string, int>&)>& pred) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, 30s, [&] { return pred(events_); });
    }
    std::map<std::string, int> events() const {
        std::lock_guard<std::mutex> lock(mu_);
        return events_;
    }
    int failures() const {
        std::lock_guard<std::mutex> lock(mu_);
        return failures_;
    }
    int duplicates() const {
        std::lock_guard<std::mutex> lock(mu_);
        return duplicates_;
    }
    void fail() {
        std::lock_guard<std::mutex> lock(mu_);
        ++failures_;
    }

    static std::vector<Value::Map> eventsOf(const sorvel::tools::RecordedRequest& r) {
        std::vector<Value::Map> out;
        auto body = Value::fromJson(r.decodedBody);
        const Value::Map* map = body ? body->getMap() : nullptr;
        auto it = map ? map->find("evts") : Value::Map::const_iterator{};
        if (map && it != map->end() && it->second.isArray()) {
            for (const auto& e : *it->second.getArray()) {
                if (const Value::Map* evt = e.getMap()) {
                    out.push_back(*evt);
                }
            }
        }
        return out;
    }
    static std::string logIdOf(const Value::Map& evt) {
        auto it = evt.find("log_id");
        return it != evt.end() && it->second.isString() ? *it->second.getString() : std::string();
    }
    static std::string nameOf(const Value::Map& evt) {
        auto text = [&](const char* key) {
            auto it = evt.find(key);
            return it != evt.end() && it->second.isString() ? *it->second.getString()
                                                            : std::string();
        };
        return text("group") + ":" + text("event_name");
    }

  private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::map<std::string, int> events_;
    std::set<std::string> logIds_;
    int failures_ = 0;
    int duplicates_ = 0;
};

// One event, readable: its name and its parameters (a product list counted).
std::string describeEvent(const Value::Map& evt) {
    std::string s = Tally::nameOf(evt);
    auto param = evt.find("param");
    if (param == evt.end() || !param->second.isMap() || param->second.getMap()->empty()) {
        return s;
    }
    std::string inner;
    for (const auto& [k, v] : *param->second.getMap()) {
        std::string rendered = v.isString() ? *v.getString() : v.render();
        if (v.isArray()) {
            rendered = "[" + std::to_string(v.getArray()->size()) + " items]";
        } else if (rendered.size() > 40) {
            rendered = rendered.substr(0, 37) + "...";
        }
        inner += (inner.empty() ? "" : " ") + k + "=" + rendered;
    }
    auto session = evt.find("session_id");
    if (session != evt.end() && session->second.isString()) {
        inner += " (session " + session->second.getString()->substr(0, 8) + ")";
    }
    return s + " {" + inner + "}";
}

// Prints the requests the server kept since the last call.
void printNewRequests(const sorvel::tools::ServerDouble& server, std::uint64_t& lastShown,
                      std::set<std::string>& shownIds) {
    for (const auto& r : server.requests()) {
        if (r.sequence <= lastShown) {
            continue;
        }
        lastShown = r.sequence;
        std::printf("  server <- #%llu %s %s  [%s, %d, signature %s]\n",
                    static_cast<unsigned long long>(r.sequence), r.method.c_str(), r.path.c_str(),
                    sorvel::tools::endpointName(r.endpoint), r.status, r.signature.c_str());
        if (r.endpoint == sorvel::tools::Endpoint::EVENT_BULK) {
            for (const auto& evt : Tally::eventsOf(r)) {
                const bool again = !shownIds.insert(Tally::logIdOf(evt)).second;
                std::printf("                %s%s\n", describeEvent(evt).c_str(),
                            again ? "  (again: answered as the last launch ended)" : "");
            }
        } else if (r.endpoint == sorvel::tools::Endpoint::DRWORKS) {
            auto body = Value::fromJson(r.decodedBody);
            std::string keys;
            if (const Value::Map* map = body ? body->getMap() : nullptr) {
                for (const auto& [k, v] : *map) {
                    if (k != "common") {
                        keys += " " + k + "=" + (v.isString() ? *v.getString() : v.render());
                    }
                }
            }
            std::printf("               %s\n", keys.c_str());
        }
    }
}

// Waits until every name has arrived at least once.
bool waitForEvents(Tally& tally, const std::vector<std::string>& names) {
    bool ok = tally.waitFor([&](const std::map<std::string, int>& events) {
        for (const auto& n : names) {
            if (!events.count(n)) {
                return false;
            }
        }
        return true;
    });
    if (!ok) {
        auto events = tally.events();
        std::printf("  still missing after 30 s:");
        for (const auto& n : names) {
            if (!events.count(n)) {
                std::printf(" %s", n.c_str());
            }
        }
        std::printf("\n");
        tally.fail();
    }
    return ok;
}

int runRunner(Options o) {
    // Declared first: the server's observer counts into it until the server stops.
    Tally tally;
    std::optional<sorvel::tools::ServerDouble> server;
    std::string url = o.server;
    if (url.empty()) {
        sorvel::tools::ServerDouble::Options so;
        so.secretKey = o.secretKey;
        server.emplace(so);
        if (!server->start()) {
            std::fprintf(stderr, "the server double could not start\n");
            return 1;
        }
        url = server->baseUrl();
        std::printf("server double listening at %s\n", url.c_str());
    } else {
        std::printf("sending to %s (its requests are not shown here)\n", url.c_str());
    }
    std::string home = o.home;
    if (home.empty()) {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "sorvel-sample-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        home = tmpl + "/app";
    }
    std::printf("app data folder: %s\n\n", home.c_str());

    if (server) {
        server->setAnswerObserver([&tally](const auto& r) { tally.count(r); });
    }
    std::uint64_t lastShown = 0;
    std::set<std::string> shownIds;
    int exitCodes = 0;
    auto show = [&] {
        if (server) {
            printNewRequests(*server, lastShown, shownIds);
        }
    };

    std::printf(
        "launch 1: init, become active, a custom event, one event of each family,\n"
        "          login and user properties, resign%s\n",
        o.offline ? " (network down)" : "");
    Child first = spawn(o, 1, url, home);
    if (untilStep(first, 60s) != "resigned") {
        return 1;
    }
    const std::vector<std::string> launch1 = {"custom:level_started", "svl:purchase",
                                              "svl:product_view", "svl:level_achieved",
                                              "svl:login"};
    if (o.offline) {
        const std::size_t bulks =
            server ? server->requests(sorvel::tools::Endpoint::EVENT_BULK).size() : 0;
        show();
        std::printf("  offline: %zu event uploads so far; the events wait on the device\n", bulks);
        if (bulks != 0) {
            tally.fail();
        }
        go(first);
        if (untilStep(first, 60s) != "back-online") {
            return 1;
        }
        std::printf("  back online: become active, resign\n");
    }
    if (server) {
        waitForEvents(tally, launch1);
    }
    show();
    go(first);
    exitCodes |= finish(first);

    const std::string burst =
        o.events > 0 ? ", a burst of " + std::to_string(o.events) + " events" : "";
    std::printf(
        "\nlaunch 2: a second process on the same data, opened by a tracking link%s;\n"
        "          then the user's data deleted and the SDK restarted\n",
        burst.c_str());
    Child second = spawn(o, 2, url, home);
    std::string step = untilStep(second, 120s);
    if (step != "reopened") {
        return 1;
    }
    if (server) {
        waitForEvents(tally, {"custom:app_reopened"});
    }
    show();
    std::printf("  back within a minute: the session goes on\n");
    go(second);
    step = untilStep(second, 120s);
    if (step == "burst") {
        const auto start = std::chrono::steady_clock::now();
        if (server) {
            const bool all = tally.waitFor([&](const std::map<std::string, int>& events) {
                auto it = events.find("custom:burst");
                return it != events.end() && it->second >= o.events;
            });
            const double s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (all) {
                std::printf(
                    "  the server acknowledged all %ld burst events %.3f s after the app "
                    "resigned\n",
                    o.events, s);
            } else {
                std::printf("  the server has not acknowledged all %ld burst events\n", o.events);
                tally.fail();
            }
            // Counted, not listed.
            for (const auto& r : server->requests()) {
                lastShown = std::max(lastShown, r.sequence);
            }
        }
        go(second);
        step = untilStep(second, 120s);
    }
    if (step != "privacy") {
        return 1;
    }
    if (server) {
        waitForEvents(tally, {"custom:after_restart"});
    }
    show();
    go(second);
    exitCodes |= finish(second);

    std::printf("\n");
    std::string names;
    int total = 0;
    const auto events = tally.events();
    for (const auto& [name, count] : events) {
        names += " " + name + (count > 1 ? "x" + std::to_string(count) : "");
        total += count;
    }
    // A stopped SDK records nothing: the event made between the delete and the
    // restart must not have arrived.
    if (events.count("custom:after_delete")) {
        std::printf("an event recorded while the SDK was stopped was sent\n");
        tally.fail();
    }
    const bool ok = exitCodes == 0 && tally.failures() == 0;
    if (server) {
        server->setAnswerObserver(nullptr);
        // A duplicate is an upload answered just before its app ended, sent again
        // at the next launch; it is counted once above.
        std::printf(
            "summary: %s launches=2 requests=%zu acknowledged=%d duplicates=%d failures=%d "
            "events:%s\n",
            ok ? "ok" : "FAILED", server->requestCount(), total, tally.duplicates(),
            tally.failures(), names.c_str());
    } else {
        // Only the server knows what it acknowledged: no "ok" is claimed.
        std::printf("summary: %s launches=2 server=%s acknowledged=unknown (ask the server)\n",
                    exitCodes == 0 ? "ran" : "FAILED", url.c_str());
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = sample::parse(argc, argv);
    if (o.launch != 0) {
        sample::usage("--launch is for sorvel_sample_app");
    }
    return runRunner(o);
}
