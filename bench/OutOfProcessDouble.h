#pragma once

// The server double as a program of its own, so the benchmark process's CPU
// time is the SDK's alone.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace sorvel::bench {

struct OutOfProcessDouble {
    pid_t pid = -1;
    std::string baseUrl;
    // Its output goes nowhere; `dir` holds the file it writes its port to.
    OutOfProcessDouble(const std::string& dir, const std::string& secretKey) {
        const std::string portFile = dir + "/port";
        std::string exe = SORVEL_SERVER_DOUBLE_EXE;
        std::vector<std::string> args{exe, "--secret-key", secretKey, "--port-file", portFile};
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 500 && pid > 0 && baseUrl.empty(); ++i) {
            std::ifstream in(portFile);
            int port = 0;
            if (in >> port && port > 0) {
                baseUrl = "http://127.0.0.1:" + std::to_string(port);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
    ~OutOfProcessDouble() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    OutOfProcessDouble(const OutOfProcessDouble&) = delete;
    OutOfProcessDouble& operator=(const OutOfProcessDouble&) = delete;
};

}  // namespace sorvel::bench
