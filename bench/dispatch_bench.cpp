#include <benchmark/benchmark.h>

#include <atomic>

#include "Platform/Dispatch.h"

namespace {

using sorvel::platform::DispatchQueue;

// Caller-side cost of DispatchQueue::async onto a serial queue whose worker
// runs concurrently (the figure the SDK's hot paths pay per call).
void BM_SerialAsync(benchmark::State& state) {
    auto queue = DispatchQueue::makeSerial("bench.serial");
    std::atomic<long> ran{0};
    for (auto _ : state) {
        queue->async([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
    }
    queue->sync([] {});
    if (ran.load() != static_cast<long>(state.iterations())) {
        state.SkipWithError("blocks lost");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SerialAsync);

// Submit a batch of blocks and wait until the worker ran them all: the full
// per-block cost, hand-off and execution included.
void BM_SerialAsyncRoundTrip(benchmark::State& state) {
    auto queue = DispatchQueue::makeSerial("bench.serial");
    const long batch = state.range(0);
    std::atomic<long> ran{0};
    for (auto _ : state) {
        for (long i = 0; i < batch; ++i) {
            queue->async([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
        }
        queue->sync([] {});
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_SerialAsyncRoundTrip)->Arg(1)->Arg(1000);

// sync onto a serial queue from another thread: two thread hand-offs.
void BM_SerialSync(benchmark::State& state) {
    auto queue = DispatchQueue::makeSerial("bench.serial");
    long n = 0;
    for (auto _ : state) {
        queue->sync([&n] { ++n; });
    }
    benchmark::DoNotOptimize(n);
}
BENCHMARK(BM_SerialSync);

}  // namespace
