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

#include <algorithm>
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
// A line redrawn in place gets `progress()` appended, when given.
std::string untilStep(Child& c, std::chrono::seconds deadline,
                      const std::function<std::string()>& progress = {}) {
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
            if (inPlace && !line.empty() && progress) {
                line += progress();
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
            // The in-app views' events carry no log id: never counted as again.
            if (!id.empty() && !logIds_.insert(id).second) {
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
    // Waits until pred holds over the counts, 30 s at most by default.
    bool waitFor(const std::function<bool(const std::map<std::string, int>&)>& pred,
                 std::chrono::milliseconds limit = 30s) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, limit, [&] { return pred(events_); });
    }
    int count(const std::string& name) const {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = events_.find(name);
        return it == events_.end() ? 0 : it->second;
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
                // The in-app views' events carry no log id: never shown as again.
                const std::string id = Tally::logIdOf(evt);
                const bool again = !id.empty() && !shownIds.insert(id).second;
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

// The push token the sample app registers, as the SDK sends it.
constexpr const char* kSampleToken = "0aff1020";

// Whether the server acknowledged a "set_push" sent with the token.
bool tokenSent(const sorvel::tools::ServerDouble& server, const std::string& token) {
    for (const auto& r : server.requests(sorvel::tools::Endpoint::EVENT_BULK)) {
        if (r.status < 200 || r.status > 299) {
            continue;
        }
        auto body = Value::fromJson(r.decodedBody);
        const Value::Map* map = body ? body->getMap() : nullptr;
        const Value* common = map && map->count("common") ? &map->at("common") : nullptr;
        const Value::Map* c = common ? common->getMap() : nullptr;
        const Value::Map* identity =
            c && c->count("identity") ? c->at("identity").getMap() : nullptr;
        const bool carries = identity && identity->count("registration_id") &&
                             identity->at("registration_id") == Value(token);
        const auto events = Tally::eventsOf(r);
        if (carries && std::any_of(events.begin(), events.end(), [](const Value::Map& e) {
                return Tally::nameOf(e) == "svl:set_push";
            })) {
            return true;
        }
    }
    return false;
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

// The campaign list the double serves: one modal text campaign, shown in both
// orientations, for "custom:show_offer" at any time.
constexpr const char* kSampleCampaigns = R"({"data":{"status":"changed","checksum":"sample-1",
"minutes_to_expiry":60,"in_app_messages":[{"campaign_id":"spring-sale","type":"modal",
"layout":"text","contents":{"bg_style":{"bg_color":"#FFF8E7","overlay_color":"#99000000"},
"text":{"title":"Spring sale","body":"Everything is 20% off until Sunday.","title_color":"#202020",
"body_color":"#404040","align":"center"},"buttons":[{"button_id":"shop","text":"Shop now",
"text_color":"#FFFFFF","bg_color":"#E0245E","border_color":"#E0245E",
"click_action":{"action_id":"shop","action_type":"close","action_arg":""}}],
"default_close_button":{"color":"#FFFFFF","bg_color":"#E0245E"}},"frequency_cap":{},
"triggers":[{"evt":"custom:show_offer","type":"inappevent","priority":1}],"available_time":[],
"start_datetime":"2024-01-01T00:00:00","end_datetime":"null",
"last_updated_datetime":"2024-01-01T00:00:00.0000000Z",
"page_orientation":["portrait","landscape"],"timezone_type":"Local","timezone_offset":0,
"ext_attr":{}}]}})";

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
        // One in-app campaign: a modal text message for the event "show_offer".
        sorvel::tools::ScriptedAnswer campaigns;
        campaigns.body = kSampleCampaigns;
        server->setDefaultAnswer(sorvel::tools::Endpoint::IAM_CAMPAIGNS, campaigns);
    } else {
        std::printf("sending to %s (its requests are not shown here)\n", url.c_str());
    }
    std::string home = o.home;
    // A folder made here is removed on the way out, whatever the outcome; one
    // given with --home is the user's and stays.
    struct RemovedOnExit {
        std::string path;
        ~RemovedOnExit() {
            std::error_code ec;
            if (!path.empty()) {
                std::filesystem::remove_all(path, ec);
            }
        }
    } made;
    if (home.empty()) {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "sorvel-sample-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        made.path = tmpl;
        home = tmpl + "/app";  // its keychain goes beside it, in the same folder
    }
    std::printf("app data folder: %s%s\n\n", home.c_str(),
                made.path.empty() ? "" : " (removed at the end)");

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
    // The push round's own checks, whenever it runs; the runner adds the
    // token's arrival.
    std::string pushSteps = "not run";
    auto untilStepOfFirst = [&] {
        std::string step = untilStep(first, 60s);
        if (step.rfind("push ", 0) == 0) {
            pushSteps = step.substr(5);
            go(first);
            step = untilStep(first, 60s);
        }
        return step;
    };
    if (untilStepOfFirst() != "resigned") {
        return 1;
    }
    const std::vector<std::string> launch1 = {
        "custom:level_started", "svl:purchase", "svl:product_view",
        "svl:level_achieved",   "svl:login",    "svl:set_push"};
    if (o.offline) {
        const std::size_t bulks =
            server ? server->requests(sorvel::tools::Endpoint::EVENT_BULK).size() : 0;
        show();
        std::printf("  offline: %zu event uploads so far; the events wait on the device\n", bulks);
        if (bulks != 0) {
            tally.fail();
        }
        go(first);
        if (untilStepOfFirst() != "back-online") {
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
    const std::string push =
        "token=" + (server ? std::to_string(tokenSent(*server, kSampleToken) ? 1 : 0) : "?") + " " +
        pushSteps;
    if (push.find("=0") != std::string::npos || pushSteps == "not run") {
        std::printf("  the push round went wrong: %s\n", push.c_str());
        tally.fail();
    }

    const std::string burst =
        o.events > 0 ? ", a burst of " + std::to_string(o.events) + " events" : "";
    std::printf(
        "\nlaunch 2: a second process on the same data, opened by a tracking link%s;\n"
        "          then the user's data deleted and the SDK restarted\n",
        burst.c_str());
    // The user's message history on the server, for launch 2's inbox round.
    if (server) {
        for (int i = 1; i <= 3; ++i) {
            server->history().addEntry(
                "sample-user", R"({"id":"kakao-)" + std::to_string(i) +
                                   R"(","type":"KAKAOTALK","timestamp":)" +
                                   std::to_string(1000 + i) + R"(,"contents":{"title":"Coupon )" +
                                   std::to_string(i) +
                                   R"("},"campaign_id":"c","campaign_revision_no":1,"step_id":"s",)"
                                   R"("cycle_time":"y","action_group":"coupons"})");
        }
    }
    std::string history = "not run";
    Child second = spawn(o, 2, url, home);
    std::string step = untilStep(second, 120s);
    if (step != "reopened") {
        return 1;
    }
    if (server) {
        waitForEvents(tally, {"custom:app_reopened"});
    }
    // The in-app round: the message was shown, drawn to a PNG and tapped.
    const std::string inAppPicture = home + "/inapp-message.png";
    int inAppShown = 0;
    // Like everything else in the app's data folder, the picture is the
    // user's alone.
    std::error_code ec;
    const auto mode = std::filesystem::status(inAppPicture, ec).permissions();
    if (!ec && std::filesystem::exists(inAppPicture) &&
        (mode & std::filesystem::perms::mask) !=
            (std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)) {
        std::printf("  in-app: %s is not private to the user (0%o, not 0600)\n",
                    inAppPicture.c_str(),
                    static_cast<unsigned>(mode & std::filesystem::perms::mask));
        tally.fail();
    }
    if (server && std::filesystem::exists(inAppPicture)) {
        if (tally.waitFor([](const std::map<std::string, int>& events) {
                auto it = events.find("svl:in_app_message_action");
                return it != events.end() && it->second >= 2;
            })) {
            inAppShown = 1;
            std::printf(
                "  in-app: the message was drawn to %s%s; its impression and click arrived\n",
                inAppPicture.c_str(),
                made.path.empty() ? "" : " (removed at the end: keep it with --home)");
        }
    }
    if (server && inAppShown == 0) {
        std::printf("  in-app: no message was shown, drawn and tapped\n");
        tally.fail();
    }
    show();
    std::printf("  back within a minute: the session goes on\n");
    go(second);
    // The burst starts as the app goes on: from here to the last
    // acknowledgement is the end-to-end time.
    const auto burstStart = std::chrono::steady_clock::now();
    const auto uploaded = [&] {
        return server ? "  uploaded: " + std::to_string(tally.count("custom:burst")) + "/" +
                            std::to_string(o.events)
                      : std::string();
    };
    step = untilStep(second, 120s, uploaded);
    if (step == "burst") {
        const auto resigned = std::chrono::steady_clock::now();
        if (server) {
            // One line, redrawn in place a few times a second as the
            // acknowledgements come in.
            bool all = false;
            while (!all && std::chrono::steady_clock::now() - resigned < 60s) {
                all = tally.waitFor(
                    [&](const std::map<std::string, int>& events) {
                        auto it = events.find("custom:burst");
                        return it != events.end() && it->second >= o.events;
                    },
                    250ms);
                std::printf("\r  | recorded: %ld/%ld%s", o.events, o.events, uploaded().c_str());
                std::fflush(stdout);
            }
            const auto now = std::chrono::steady_clock::now();
            const double total = std::chrono::duration<double>(now - burstStart).count();
            const double after = std::chrono::duration<double>(now - resigned).count();
            if (all) {
                std::printf(", %.3f s after the app resigned; end to end %.0f events/s\n", after,
                            o.events / std::max(total, 1e-9));
            } else {
                std::printf("\n  the server has not acknowledged all %ld burst events\n", o.events);
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
    if (step.rfind("history ", 0) == 0) {
        history = step.substr(8);
        // One push and the three server entries, one of which is deleted.
        if (server && history != "pushes=1 fetched=3 deleted=1 inbox=3") {
            std::printf("  the inbox round went wrong: %s\n", history.c_str());
            tally.fail();
        }
        show();
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
        // Requests of every kind, against events (several ride in one upload,
        // and some requests carry none). An event resent is one whose upload was
        // answered just before its app ended, sent again at the next launch; it
        // is counted once in events_received.
        std::printf(
            "summary: %s launches=2 server_requests=%zu events_received=%d events_resent=%d "
            "failures=%d history: %s push: %s inapp=%d events:%s\n",
            ok ? "ok" : "FAILED", server->requestCount(), total, tally.duplicates(),
            tally.failures(), history.c_str(), push.c_str(), inAppShown, names.c_str());
    } else {
        // Only the server knows what it acknowledged: no "ok" is claimed.
        std::printf(
            "summary: %s launches=2 server=%s events_received=unknown (ask the server) push: %s\n",
            ok ? "ran" : "FAILED", url.c_str(), push.c_str());
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
