// The loopback double of the maker's servers as a program of its own: the
// sample app and manual runs point the SDK's hosts at it. Every request it
// receives is printed on stdout as one line of JSON; status lines go to stderr.
//
//   sorvel-server-double [--host 127.0.0.1] [--port 0] [--secret-key KEY]
//                        [--config FILE] [--port-file FILE]
//                        [--max-requests N] [--lifetime-seconds S]
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "ServerDouble.h"

namespace {

void usage() {
    std::cerr << "usage: sorvel-server-double [--host H] [--port P] [--secret-key K] "
                 "[--config FILE] [--port-file FILE] [--max-requests N] [--lifetime-seconds S]\n";
}

}  // namespace

int main(int argc, char** argv) {
    sorvel::tools::ServerDouble::Options options;
    std::string configPath;
    std::string portFile;
    long maxRequests = 0;
    long lifetimeSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--host") {
            options.host = value();
        } else if (arg == "--port") {
            options.port = std::atoi(value().c_str());
        } else if (arg == "--secret-key") {
            options.secretKey = value();
        } else if (arg == "--config") {
            configPath = value();
        } else if (arg == "--port-file") {
            portFile = value();
        } else if (arg == "--max-requests") {
            maxRequests = std::atol(value().c_str());
        } else if (arg == "--lifetime-seconds") {
            lifetimeSeconds = std::atol(value().c_str());
        } else {
            usage();
            return 2;
        }
    }

    // SIGINT and SIGTERM end the program through sigtimedwait below; every
    // thread started from here on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    sorvel::tools::ServerDouble server(options);
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
