// The record call as apps make it: a fresh attribute model of five strings,
// then eventWithAttr, on the caller's thread; and the allocations an event
// costs, on the caller's thread and on the whole road to its package.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "AllocationCount.h"
#include "BenchSupport.h"
#include "Core/DiContainer.h"
#include "FiveAttributes.h"
#include "Platform/ProcessState.h"
#include "ServerDouble.h"
#include "sorvel/SorvelHost.h"
#include "sorvel/SorvelKV.h"

namespace {

using namespace sorvel;

constexpr const char* kAppKey = "APPKEY0123456789abcdef";
constexpr const char* kSecret = "SECRETKEY0123456789abc";

using bench::fiveStrings;

// One started SDK for the whole program, on a server double that answers 200.
struct Sdk {
    bench::TempHome home;
    tools::ServerDouble server{[] {
        tools::ServerDouble::Options o;
        o.secretKey = kSecret;
        o.keptRequests = 16;
        return o;
    }()};
    Sdk() {
        server.start();
        SorvelHost::setServerBaseUrl(server.baseUrl());
        SorvelHost::setNetworkAvailable(true);
        SorvelKV::getInstance().initSorvel(kAppKey, kSecret);
        SorvelHost::applicationDidBecomeActive();
        drain();
    }
    static void drain() { (void)DiContainer::shared().drain(); }
    static Sdk& get() {
        // Never destroyed: the SDK's threads run until the program ends.
        static platform::NoDestructor<Sdk> sdk;
        return sdk.get();
    }
};

void BM_AttrModelFiveStrings(benchmark::State& state) {
    const long before = bench::allocationsOnThisThread();
    for (auto _ : state) {
        SorvelKvAttrModel attrs = fiveStrings();
        benchmark::DoNotOptimize(attrs);
    }
    state.counters["allocs_per_model"] =
        static_cast<double>(bench::allocationsOnThisThread() - before) /
        static_cast<double>(state.iterations());
}
BENCHMARK(BM_AttrModelFiveStrings);

// The model built for the call, as apps do; the SDK's threads take the
// events to the server double meanwhile.
void BM_RecordCall(benchmark::State& state) {
    Sdk::get();
    const long before = bench::allocationsOnThisThread();
    long inCall = 0;
    for (auto _ : state) {
        SorvelKvAttrModel attrs = fiveStrings();
        const long start = bench::allocationsOnThisThread();
        SorvelKV::getInstance().eventWithAttr("level_done", attrs);
        inCall += bench::allocationsOnThisThread() - start;
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["allocs_per_call"] = static_cast<double>(inCall) / n;
    state.counters["allocs_with_model"] =
        static_cast<double>(bench::allocationsOnThisThread() - before) / n;
    if (state.thread_index() == 0) {
        Sdk::drain();
    }
}
BENCHMARK(BM_RecordCall)->Threads(1)->Threads(8)->UseRealTime();

// Everything the process allocates for an event, from the model to its
// package and journal record, with the network off (the server double's
// share would otherwise count too), and then for its upload.
void BM_RoadAllocations(benchmark::State& state) {
    Sdk::get();
    Sdk::drain();
    const int events = static_cast<int>(state.range(0));
    double stored = 0;
    double sent = 0;
    for (auto _ : state) {
        SorvelHost::setNetworkAvailable(false);
        const long before = bench::allocationsInProcess();
        for (int i = 0; i < events; ++i) {
            SorvelKV::getInstance().eventWithAttr("level_done", fiveStrings());
        }
        Sdk::drain();
        const long packed = bench::allocationsInProcess();
        stored = static_cast<double>(packed - before) / events;
        SorvelHost::setNetworkAvailable(true);
        SorvelHost::applicationWillResignActive();
        Sdk::drain();
        sent = static_cast<double>(bench::allocationsInProcess() - packed) / events;
        SorvelHost::applicationDidBecomeActive();
        Sdk::drain();
    }
    state.counters["allocs_to_package"] = stored;
    state.counters["allocs_to_ack_with_server"] = sent;
}
BENCHMARK(BM_RoadAllocations)->Arg(1000)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
