// The controller's submission cost on the caller's thread: LOG_EVENT once the
// gate is open, from one and from eight threads, with median and p99 of the
// single calls.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "ContextSupport.h"
#include "Core/DefaultSVLContextController.h"
#include "Platform/Host.h"

namespace {

using namespace sorvel;

// A state that does nothing but count events; it becomes active at once.
class NullContext final : public bench::IdleContext {
  public:
    NullContext(SVLContextState state, std::atomic<long>* events)
        : IdleContext(state), events_(events) {}
    void logEvent(LogEventParameter) override { events_->fetch_add(1, std::memory_order_relaxed); }

  private:
    std::atomic<long>* const events_;
};

struct Released {
    std::atomic<long> events{0};
    std::shared_ptr<DefaultSVLContextController> controller;

    Released() {
        auto home = std::filesystem::temp_directory_path() / "sorvel-bench-core";
        std::filesystem::remove_all(home);
        platform::host::setHomeFolder(home.string());
        auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
        // The bench never reaches the repository (no GDPR, pause or push).
        controller = DefaultSVLContextController::create(
            registry, nullptr, std::make_shared<bench::StateFactory>([this](SVLContextState state) {
                return std::make_shared<NullContext>(state, &events);
            }),
            [] {});
        controller->initialize("APPKEY_0123456789ABCDE", "SECRET_0123456789ABCDE");
        controller->didBecomeActive();
        controller->waitForDispatched();
    }
};

Released& released() {
    static Released r;
    return r;
}

double percentile(std::vector<double>& samples, double p) {
    if (samples.empty()) {
        return 0;
    }
    auto i = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(i), samples.end());
    return samples[i];
}

// Each call is timed on its own (two clock reads, about 40 ns, are included
// in the figures); median and p99 are per thread, averaged over the threads.
void BM_SubmitLogEventReleased(benchmark::State& state) {
    auto& r = released();
    LogEventParameter parameter;
    parameter.group = "custom";
    parameter.eventName = "purchase";
    parameter.eventParam = {{"item", Value("string:book")}, {"price", Value("double:12.5")}};
    if (state.thread_index() == 0) {
        // Before the timed loop: the previous run's messages have all run.
        r.controller->waitForDispatched();
    }
    std::vector<double> ns;
    ns.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        r.controller->logEvent(parameter);
        auto end = std::chrono::steady_clock::now();
        ns.push_back(std::chrono::duration<double, std::nano>(end - start).count());
    }
    state.counters["median_ns"] =
        benchmark::Counter(percentile(ns, 0.5), benchmark::Counter::kAvgThreads);
    state.counters["p99_ns"] =
        benchmark::Counter(percentile(ns, 0.99), benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_SubmitLogEventReleased)->Threads(1)->Threads(8)->Iterations(50000)->UseRealTime();

}  // namespace
