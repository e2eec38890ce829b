// Uses the public headers and the shared library the way an app would, and
// fails (exit code 1) when something it reads is not what the SDK promises:
// pure calls first, then a short session against the loopback server double
// (the program SORVEL_SERVER_DOUBLE names), whose event must arrive.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sorvel/SorvelHost.h>
#include <sorvel/SorvelKV.h>
#include <sorvel/SorvelKVVersion.h>
#include <sorvel/SorvelKvAttrModel.h>
#include <sorvel/Value.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

extern char** environ;

namespace {

// The server double as a child process; its standard output and error come
// through one pipe, a line each: "listening on <url>", then a JSON line per
// request.
class ServerProcess {
  public:
    explicit ServerProcess(const char* exe) {
        int fds[2];
        if (exe == nullptr || pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        std::string program(exe);
        std::string port = "--port", any = "0", key = "--secret-key",
                    secret = "ConsumerSecret01234567", life = "--lifetime-seconds", limit = "120";
        char* argv[] = {program.data(), port.data(), any.data(),   key.data(),
                        secret.data(),  life.data(), limit.data(), nullptr};
        if (posix_spawn(&pid_, exe, &actions, nullptr, argv, environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
    }
    ~ServerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            close(out_);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The first line holding every needle, or empty when none came in time.
    std::string lineWith(std::string_view a, std::string_view b, std::chrono::seconds deadline) {
        const auto until = std::chrono::steady_clock::now() + deadline;
        for (;;) {
            for (std::size_t end; (end = buffered_.find('\n')) != std::string::npos;) {
                std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) {
                    return line;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (pid_ <= 0 || left.count() <= 0 ||
                poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return "";
            }
            char buf[4096];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) {
                return "";
            }
            buffered_.append(buf, static_cast<std::size_t>(n));
        }
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffered_;
};

bool check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what);
    }
    return ok;
}

}  // namespace

int main() {
    const std::string version(reinterpret_cast<const char*>(SorvelKVVersionString));
    bool ok = check(!version.empty() && SorvelKVVersionNumber > 0, "version");

    sorvel::SorvelKvAttrModel attrs;
    attrs.setAttrDataString("plan", "gold");
    attrs.setAttrDataInt64("Bad Key!", 1);  // refused by the key rules
    const sorvel::Value value(sorvel::Value::Map{{"attrs", sorvel::Value(attrs.getAttrData())},
                                                 {"count", sorvel::Value(3)}});
    const std::string json = value.toJson();
    ok = check(json == R"({"attrs":{"plan":"gold"},"count":3})", "attribute model") && ok;

    // The facade's pure calls, on a data folder of its own.
    std::string home = (std::filesystem::temp_directory_path() / "sorvel-consumer-XXXXXX").string();
    if (mkdtemp(home.data()) == nullptr) {
        return 1;
    }
    sorvel::SorvelHost::setDataFolder(home + "/app");
    auto& sdk = sorvel::SorvelKV::getInstance();
    const auto category = sdk.createCommerceProductCategoryData("a", "", "c", "", "");
    ok = check(
             sdk.getSignUpChannel(13) == "AppleId" &&
                 sdk.convertCountInterval(45) == sorvel::SorvelEventUploadCountInterval::COUNT_30 &&
                 category.categoryStringArr && category.categoryStringArr->size() == 2,
             "pure calls") &&
         ok;

    // A session: an event recorded in the foreground is delivered once the
    // app goes to the background.
    {
        ServerProcess server(std::getenv("SORVEL_SERVER_DOUBLE"));
        const std::string listening =
            server.lineWith("listening on ", "http", std::chrono::seconds(30));
        ok = check(!listening.empty(), "the server double (SORVEL_SERVER_DOUBLE) did not start") &&
             ok;
        if (!listening.empty()) {
            sorvel::SorvelHost::setServerBaseUrl(listening.substr(listening.find("http")));
            sorvel::SorvelHost::setNetworkAvailable(true);
            sorvel::SorvelHost::MainLoopThread loop;
            sdk.initSorvel("ConsumerAppKey01234567", "ConsumerSecret01234567");
            sorvel::SorvelHost::applicationDidBecomeActive();
            sdk.eventWithAttr("consumer_event", attrs);
            sorvel::SorvelHost::applicationWillResignActive();
            const std::string line = server.lineWith(
                "\"consumer_event\"", "\"endpoint\":\"event_bulk\"", std::chrono::seconds(60));
            ok = check(!line.empty(), "the event was not delivered") && ok;
            ok = check(line.find("\"signature\":\"valid\"") != std::string::npos &&
                           line.find("\"status\":200") != std::string::npos &&
                           line.find("\"plan\":\"string:gold\"") != std::string::npos,
                       "the delivered event") &&
                 ok;
            if (!ok) {
                std::printf("%s\n", line.c_str());
            }
        }
    }

    std::printf("SDK %s: %s\n", version.c_str(), ok ? "ok" : "FAILED");
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return ok ? 0 : 1;
}
