#pragma once

// The options of the sample app, shared by the runner (sorvel_sample) and the
// app it runs (sorvel_sample_app).

#include <cstdio>
#include <cstdlib>
#include <string>

#include "SampleUsage.h"  // kHelp: the options, as --help prints them

namespace sample {

struct Options {
    std::string server;  // empty: the in-process double
    std::string appKey = "SampleAppKey0123456789";
    std::string secretKey = "SampleSecret0123456789";
    std::string home;  // empty: a fresh temporary folder
    long events = 0;
    bool offline = false;
    // Given to sorvel_sample_app by the runner: which launch it is (1 or 2).
    int launch = 0;
};

// A wrong command line: the problem and the options on stderr, exit code 2.
[[noreturn]] inline void usage(const char* problem) {
    std::fprintf(stderr, "%s\n%s", problem, kHelp);
    std::exit(2);
}

// --help: the options on stdout, exit code 0.
[[noreturn]] inline void help() {
    std::fputs(kHelp, stdout);
    std::exit(0);
}

inline Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(("missing value for " + arg).c_str());
            }
            return argv[++i];
        };
        if (arg == "--server") {
            o.server = value();
        } else if (arg == "--app-key") {
            o.appKey = value();
        } else if (arg == "--secret-key") {
            o.secretKey = value();
        } else if (arg == "--home") {
            o.home = value();
        } else if (arg == "--events") {
            std::string n = value();
            char* end = nullptr;
            o.events = std::strtol(n.c_str(), &end, 10);
            if (n.empty() || *end != '\0' || o.events < 0 || o.events > 10'000'000) {
                usage("--events takes a whole number from 0 to 10000000");
            }
        } else if (arg == "--offline") {
            o.offline = true;
        } else if (arg == "--launch") {
            o.launch = std::atoi(value().c_str());
        } else if (arg == "--help" || arg == "-h") {
            help();
        } else {
            usage(("unknown option " + arg).c_str());
        }
    }
    return o;
}

}  // namespace sample
