#pragma once

// What the kernel says about this process and its threads: CPU time, context
// switches, thread names. Used by the end-to-end figures to leave the
// benchmark's own threads out of what they charge to the SDK.

#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace sorvel::bench {

// CPU seconds and context switches (voluntary + involuntary, and the
// involuntary ones: preemptions, which grow with the machine's load) of a
// thread or of the whole process.
struct Usage {
    double cpuSeconds = 0;
    long switches = 0;
    long involuntary = 0;

    Usage operator-(const Usage& o) const {
        return {cpuSeconds - o.cpuSeconds, switches - o.switches, involuntary - o.involuntary};
    }
};

inline Usage fromRusage(const rusage& u) {
    return {static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
            u.ru_nvcsw + u.ru_nivcsw, u.ru_nivcsw};
}

// The whole process, threads that already ended included (the kernel folds
// an ended thread's counts into the process's).
inline Usage processUsage() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return fromRusage(u);
}

// The calling thread only.
inline Usage thisThreadUsage() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return fromRusage(u);
}

struct Switches {
    long voluntary = -1;
    long involuntary = -1;

    bool valid() const { return voluntary >= 0 && involuntary >= 0; }
    long total() const { return voluntary + involuntary; }
};

// "voluntary_ctxt_switches" and "nonvoluntary_ctxt_switches" in the text of a
// /proc/.../status file; a missing or unreadable one stays -1.
inline Switches parseSwitches(std::string_view status) {
    auto read = [status](std::string_view key) {
        const auto at = status.find(key);
        if (at == std::string_view::npos) {
            return -1L;
        }
        const std::string rest(status.substr(at + key.size(), 32));
        char* end = nullptr;
        const long n = std::strtol(rest.c_str(), &end, 10);
        return end == rest.c_str() ? -1L : n;
    };
    return {read("\nvoluntary_ctxt_switches:"), read("\nnonvoluntary_ctxt_switches:")};
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Another thread of this process, alive: its switches so far (invalid when it is gone).
inline Switches threadSwitches(pid_t tid) {
    // The text starts with "Name:": the leading newline the parser looks for
    // is always there for the keys it wants.
    return parseSwitches(readFile("/proc/self/task/" + std::to_string(tid) + "/status"));
}

// Another thread of this process, alive: its CPU seconds so far (0 when it is gone).
// The calling thread's CPU clock, to the nanosecond.
inline double thisThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline double threadCpuSeconds(pthread_t thread) {
    clockid_t clock{};
    timespec ts{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &ts) != 0) {
        return 0;
    }
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct ThreadInfo {
    pid_t tid = 0;
    std::string name;  // what the thread calls itself (15 characters at most)
    long switches = 0;
};

// The threads of this process alive now, in id order.
inline std::vector<ThreadInfo> listThreads() {
    std::vector<ThreadInfo> threads;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return threads;
    }
    while (const dirent* entry = readdir(dir)) {
        const pid_t tid = static_cast<pid_t>(std::atol(entry->d_name));
        if (tid <= 0) {
            continue;
        }
        std::string name = readFile("/proc/self/task/" + std::to_string(tid) + "/comm");
        while (!name.empty() && name.back() == '\n') {
            name.pop_back();
        }
        const Switches switches = threadSwitches(tid);
        if (switches.valid()) {
            threads.push_back({tid, std::move(name), switches.total()});
        }
    }
    closedir(dir);
    std::sort(threads.begin(), threads.end(),
              [](const ThreadInfo& a, const ThreadInfo& b) { return a.tid < b.tid; });
    return threads;
}

}  // namespace sorvel::bench
