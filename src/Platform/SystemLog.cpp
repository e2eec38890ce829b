#include "Platform/SystemLog.h"

#include <cstdio>
#include <mutex>

#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"

namespace sorvel::platform {
namespace {

struct LogState {
    Mutex mu;
    std::shared_ptr<ILogSink> sink GUARDED_BY(mu);
    LogRouter router GUARDED_BY(mu) = nullptr;
};

LogState& state() {
    // Never destroyed: threads of the SDK may still use it while the process exits.
    static NoDestructor<LogState> s;
    return s.get();
}

const char* levelName(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return "debug";
        case LogLevel::info:
            return "info";
        case LogLevel::warning:
            return "warning";
        case LogLevel::error:
            return "error";
    }
    return "error";
}

}  // namespace

void SystemLog::write(std::string_view line) {
    std::shared_ptr<ILogSink> sink;
    {
        MutexLock lock(state().mu);
        sink = state().sink;
    }
    if (sink) {
        sink->write(line);
        return;
    }
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

std::string SystemLog::prefix(LogLevel level) {
    return std::string("svlkv [") + levelName(level) + "]: ";
}

void SystemLog::log(LogLevel level, std::string_view text) {
    // Set while this thread is inside the router: the logger's queue failing
    // to start a thread logs through here again.
    thread_local bool routing = false;
    LogRouter router = nullptr;
    if (!routing) {
        MutexLock lock(state().mu);
        router = state().router;
    }
    if (router) {
        routing = true;
        router(level, text);
        routing = false;
        return;
    }
    if (level >= LogLevel::warning) {
        write(prefix(level) + std::string(text));
    }
}

void SystemLog::setRouter(LogRouter router) {
    MutexLock lock(state().mu);
    state().router = router;
}

namespace host {

void setSystemLogSink(std::shared_ptr<ILogSink> sink) {
    MutexLock lock(state().mu);
    state().sink = std::move(sink);
}

}  // namespace host

}  // namespace sorvel::platform
