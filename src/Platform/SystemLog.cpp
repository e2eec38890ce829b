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
};

LogState& state() {
    // Never destroyed: threads of the SDK may still use it while the process exits.
    static NoDestructor<LogState> s;
    return s.get();
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

namespace host {

void setSystemLogSink(std::shared_ptr<ILogSink> sink) {
    MutexLock lock(state().mu);
    state().sink = std::move(sink);
}

}  // namespace host

}  // namespace sorvel::platform
