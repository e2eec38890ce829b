// The loopback double of the maker's servers as a program of its own: the
// sample app and manual runs point the SDK's hosts at it. Every request it
// receives is printed on stdout as one line of JSON; status lines go to stderr.
// `sorvel-server-double --help` tells the options.
#include <signal.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "CampaignListServer.h"
#include "ServerDouble.h"

namespace {

using sorvel::tools::ServerDouble;

constexpr const char* kUsage =
    "usage: sorvel-server-double [--host H] [--port P] [--secret-key K] [--config FILE]\n"
    "                            [--campaigns FILE] [--images DIR]\n"
    "                            [--port-file FILE] [--max-requests N] [--lifetime-seconds S]\n";

void help() {
    const ServerDouble::Options defaults;
    std::cout
        << kUsage
        << "\n"
           "Plays the maker's servers on loopback: checks each request as a real server would\n"
           "(signing headers, User-Agent, body encoding, JSON), answers it, and prints it on\n"
           "stdout as one line of JSON once answered. Status lines go to stderr.\n"
           "\n"
           "  --host H              address to listen on (default 127.0.0.1)\n"
           "  --port P              port to listen on, 0 to 65535 (default 0: any free port)\n"
           "  --secret-key K        key the signatures are checked with (default: recorded,\n"
           "                        not checked)\n"
           "  --config FILE         the configuration endpoint's answer\n"
           "  --campaigns FILE      the in-app campaign list (a JSON array of campaigns),\n"
           "                        answered in full, or \"unchanged\" to a device that has it\n"
           "  --images DIR          files served at /iam-images/<name>\n"
           "  --port-file FILE      the bound port is written there once listening\n"
           "  --max-requests N      stop after N requests (default 0: no limit)\n"
           "  --lifetime-seconds S  stop after S seconds (default 0: no limit)\n"
           "  --help                this text\n"
           "\n"
           "What is kept: every request is checked and answered in full, but only the\n"
           "first "
        << defaults.keptBytesEach / 1024
        << " KiB of each body (as received, and decoded) and of its headers\n"
           "are kept and printed; \"raw_body_bytes\" and \"body_bytes\" give the whole sizes\n"
           "and \"body_cut\" says whether a body was cut. In memory it keeps the most recent\n"
        << defaults.keptRequests << " requests, " << defaults.keptBytes / (1024 * 1024)
        << " MiB in all at most.\n"
           "\n"
           "Up to "
        << ServerDouble::MAX_CONNECTION_THREADS
        << " connections are served at once; an idle one is kept alive "
        << ServerDouble::KEEP_ALIVE_SECONDS
        << " s.\n"
           "SIGINT and SIGTERM stop it.\n";
}

[[noreturn]] void refuse(const std::string& why) {
    std::cerr << "sorvel-server-double: " << why << "\n" << kUsage;
    std::exit(2);
}

// A whole decimal number from min to max, and nothing else (no sign, space
// or suffix); refuses the program's start otherwise.
long wholeNumber(const std::string& option, const std::string& text, long min, long max) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || text.front() == '-' || error != std::errc() || stop != end || value < min ||
        value > max) {
        refuse(option + " wants a whole number from " + std::to_string(min) + " to " +
               std::to_string(max) + ", not \"" + text + "\"");
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    ServerDouble::Options options;
    std::string configPath;
    std::string campaignsPath;
    std::string imagesDir;
    std::string portFile;
    long maxRequests = 0;
    long lifetimeSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help();
            return 0;
        }
        static const std::set<std::string> kOptions{
            "--host",      "--port",         "--secret-key",       "--config",
            "--port-file", "--max-requests", "--lifetime-seconds", "--campaigns",
            "--images"};
        if (kOptions.count(arg) == 0) {
            refuse("unknown argument " + arg);
        }
        if (i + 1 >= argc) {
            refuse(arg + " wants a value");
        }
        const std::string value = argv[++i];
        if (arg == "--host") {
            if (value.empty()) {
                refuse("--host wants an address");
            }
            options.host = value;
        } else if (arg == "--port") {
            options.port = static_cast<int>(wholeNumber(arg, value, 0, 65535));
        } else if (arg == "--secret-key") {
            options.secretKey = value;
        } else if (arg == "--config") {
            configPath = value;
        } else if (arg == "--campaigns") {
            campaignsPath = value;
        } else if (arg == "--images") {
            imagesDir = value;
        } else if (arg == "--port-file") {
            portFile = value;
        } else if (arg == "--max-requests") {
            maxRequests = wholeNumber(arg, value, 0, 1000L * 1000 * 1000);
        } else {
            lifetimeSeconds = wholeNumber(arg, value, 0, 100L * 365 * 24 * 3600);
        }
    }

    // SIGINT and SIGTERM end the program through sigtimedwait below; every
    // thread started from here on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ServerDouble server(options);
    if (!configPath.empty()) {
        std::ifstream in(configPath);
        if (!in) {
            std::cerr << "cannot read " << configPath << "\n";
            return 1;
        }
        std::stringstream text;
        text << in.rdbuf();
        server.setConfigText(text.str());
    }

    sorvel::tools::CampaignListServer campaigns(server);
    if (!campaignsPath.empty()) {
        std::ifstream in(campaignsPath);
        if (!in) {
            std::cerr << "cannot read " << campaignsPath << "\n";
            return 1;
        }
        std::stringstream text;
        text << in.rdbuf();
        // The list's checksum changes with its text.
        campaigns.setCampaigns(text.str(),
                               "file-" + std::to_string(std::hash<std::string>()(text.str())));
    }
    if (!imagesDir.empty()) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(imagesDir, ec)) {
            if (!entry.is_regular_file()) {
                continue;
            }
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream bytes;
            bytes << in.rdbuf();
            const std::string name = entry.path().filename().string();
            campaigns.addImage(name, bytes.str(),
                               name.ends_with(".png") ? "image/png" : "image/jpeg");
        }
    }

    std::mutex outMu;
    long printed = 0;
    // Printed once answered, so the last request is answered before the
    // program stops.
    server.setAnswerObserver([&](const sorvel::tools::RecordedRequest& r) {
        std::lock_guard<std::mutex> lock(outMu);
        std::cout << r.toJsonLine() << std::endl;
        ++printed;
        if (maxRequests > 0 && printed >= maxRequests) {
            kill(getpid(), SIGTERM);
        }
    });
    if (!server.start()) {
        std::cerr << "cannot listen on " << options.host << ":" << options.port << "\n";
        return 1;
    }
    std::cerr << "listening on " << server.baseUrl() << std::endl;
    if (!portFile.empty()) {
        std::string tmp = portFile + ".tmp";
        {
            std::ofstream out(tmp);
            out << server.port() << "\n";
        }
        std::rename(tmp.c_str(), portFile.c_str());
    }

    timespec limit{};
    limit.tv_sec = lifetimeSeconds > 0 ? lifetimeSeconds : 365L * 24 * 3600;
    siginfo_t info{};
    sigtimedwait(&stopSignals, &info, &limit);
    server.stop();
    return 0;
}
