// Registry round trips on a warm store and the cost of a log call on the
// caller's thread.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "Platform/Host.h"
#include "Platform/SystemLog.h"

namespace {

using namespace sorvel;

struct NullSink : platform::ILogSink {
    void write(std::string_view) override {}
};

std::shared_ptr<DataRegistry> warmRegistry() {
    static std::shared_ptr<DataRegistry> registry = [] {
        auto home = std::filesystem::temp_directory_path() / "sorvel-bench-registry";
        std::filesystem::remove_all(home);
        platform::host::setHomeFolder(home.string());
        auto r = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
        r->putString("warm", DataRegistryKey::STRING_LAST_OPEN_ID);
        (void)r->waitForPendingWrites();
        return r;
    }();
    return registry;
}

void BM_RegistryPutGetString(benchmark::State& state) {
    auto r = warmRegistry();
    std::int64_t i = 0;
    for (auto _ : state) {
        r->putString("value-" + std::to_string(i++ & 1023), DataRegistryKey::STRING_LAST_OPEN_ID);
        benchmark::DoNotOptimize(r->getString(DataRegistryKey::STRING_LAST_OPEN_ID, ""));
    }
    // Outside the timed loop: let the queued durable writes land.
    if (Status saved = r->waitForPendingWrites(); !saved) {
        state.SkipWithError(saved.message().c_str());
    }
}
BENCHMARK(BM_RegistryPutGetString)->Repetitions(5)->ReportAggregatesOnly(true);

// The window between a put being visible and being on disk, with no backlog:
// the put, its commit on the registry's queue and the round trip to learn of it.
void BM_RegistryPutUntilOnDisk(benchmark::State& state) {
    auto r = warmRegistry();
    std::int64_t i = 0;
    for (auto _ : state) {
        r->putString("value-" + std::to_string(i++ & 1023), DataRegistryKey::STRING_LAST_OPEN_ID);
        if (Status saved = r->waitForPendingWrites(); !saved) {
            state.SkipWithError(saved.message().c_str());
            break;
        }
    }
}
BENCHMARK(BM_RegistryPutUntilOnDisk)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_RegistryGetString(benchmark::State& state) {
    auto r = warmRegistry();
    (void)r->waitForPendingWrites();  // only drains before the reads are timed
    for (auto _ : state) {
        benchmark::DoNotOptimize(r->getString(DataRegistryKey::STRING_LAST_OPEN_ID, ""));
    }
}
BENCHMARK(BM_RegistryGetString)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_SvlLogDebugOnCaller(benchmark::State& state) {
    platform::host::setSystemLogSink(std::make_shared<NullSink>());
    for (auto _ : state) {
        SvlLog::debug("Bench :: a typical log line of moderate length", true);
    }
    SvlLog::flush();
}
BENCHMARK(BM_SvlLogDebugOnCaller)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
