// The event pipeline: building one event, rewriting the stored list of unsent
// packages, events delivered from a logging thread to a server double on
// loopback, and an upload round over a backlog with no network.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <thread>
#include <unordered_map>

#include "AllocationCount.h"
#include "BenchSupport.h"
#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/KeyChain.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Event/DefaultEventSender.h"
#include "Event/EventBuffer.h"
#include "Event/EventCounters.h"
#include "Event/EventModelProvider.h"
#include "Event/EventPackageContainer.h"
#include "Event/NoWaitEventNameProvider.h"
#include "Event/UnsentPackageStore.h"
#include "Event/UserPropertyManager.h"
#include "OutOfProcessDouble.h"
#include "Platform/Host.h"
#include "Platform/Http.h"

namespace {

using namespace sorvel;

constexpr const char* kSecret = "SECRETKEY0123456789abc";
constexpr const char* kAppKey = "APPKEY0123456789abcdef";

double processCpuMicros() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// The process's CPU time in the kernel (system calls, the loopback network
// stack, waking threads).
double processSystemMicros() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(usage.ru_stime.tv_usec);
}

// A registry in a temp home with both keys, ten user properties and the
// values a running app has stored.
struct Host {
    bench::TempHome home;
    std::shared_ptr<DataRegistry> registry =
        std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    std::shared_ptr<UserPropertyManager> properties =
        std::make_shared<UserPropertyManager>(registry, [] { return 100; });
    Host() {
        registry->putString(std::string(kSecret), DataRegistryKey::STRING_SECRETKEY);
        registry->putString(std::string(kAppKey), DataRegistryKey::STRING_APPKEY);
        registry->putString(std::string("1714979280000:8D1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8"),
                            DataRegistryKey::STRING_LAST_CREATED_SESSION_ID);
        registry->putString(std::string("1714979289000:3F2504E0-4F89-41D3-9A0C-0305E82C3300"),
                            DataRegistryKey::STRING_PREV_ID);
        Value::Map props;
        for (int i = 0; i < 10; ++i) {
            props["prop_" + std::to_string(i)] =
                i % 2 == 0 ? Value("value-" + std::to_string(i)) : Value(i * 1000);
        }
        properties->saveUserProperty(props);
        (void)registry->waitForPendingWrites();
        platform::host::setReachability(std::string("wifi"));
        counters = std::make_shared<EventCounters>(registry);
    }
    std::shared_ptr<EventCounters> counters;
    LogEventParameter parameter(int i) const {
        Value::Map params;
        for (int k = 0; k < 5; ++k) {
            params["param_" + std::to_string(k)] = Value("string:some value " + std::to_string(k));
        }
        auto p = LogEventParameter::initWithEventName("custom", "purchase_completed", params);
        p.eventId = "1714979289123:3F2504E0-4F89-41D3-9A0C-0305E82C" + std::to_string(1000 + i);
        return p;
    }
};

// Builds events of 5 string parameters and 10 user properties with `build`,
// counting the allocations of the build alone (the parameter is made
// beforehand) as "allocs".
template <typename Build>
void buildEvents(benchmark::State& state, Host& host, Build build) {
    int i = 0;
    long allocations = 0;
    for (auto _ : state) {
        LogEventParameter parameter = host.parameter(++i);
        const long before = bench::allocationsOnThisThread();
        EventModel m = build(std::move(parameter));
        allocations += bench::allocationsOnThisThread() - before;
        benchmark::DoNotOptimize(m);
    }
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    (void)host.registry->waitForPendingWrites();
}

// Every event reads what it carries from the registry.
void BM_BuildEventModel(benchmark::State& state) {
    Host host;
    buildEvents(state, host, [&host](LogEventParameter parameter) {
        return EventModelProvider(host.properties, host.registry, host.counters,
                                  std::move(parameter))
            .buildEventModel();
    });
}
BENCHMARK(BM_BuildEventModel)->Unit(benchmark::kMicrosecond);

// As the repository builds them: the context shared while nothing in it changes.
void BM_BuildEventModelSharedContext(benchmark::State& state) {
    Host host;
    auto contexts = std::make_shared<EventContextCache>(host.properties, host.registry);
    buildEvents(state, host, [&host, &contexts](LogEventParameter parameter) {
        return EventModelProvider(host.properties, host.registry, host.counters, contexts,
                                  std::move(parameter))
            .buildEventModel();
    });
}
BENCHMARK(BM_BuildEventModelSharedContext)->Unit(benchmark::kMicrosecond);

// Built as the repository builds them, sharing their context.
std::vector<std::shared_ptr<const EventPackage>> thousandEvents(Host& host) {
    std::vector<std::shared_ptr<const EventPackage>> packages;
    auto contexts = std::make_shared<EventContextCache>(host.properties, host.registry);
    for (int p = 0; p < 100; ++p) {
        std::vector<EventModel> events;
        for (int e = 0; e < 10; ++e) {
            events.push_back(EventModelProvider(host.properties, host.registry, host.counters,
                                                contexts, host.parameter(p * 10 + e))
                                 .buildEventModel());
        }
        packages.push_back(std::make_shared<const EventPackage>(std::move(events)));
    }
    return packages;
}

// Encoding 1,000 queued events from scratch: the JSON each package writes of
// its events when it is made, and the stored list put together from it.
void BM_EncodeStoreOf1000EventsCold(benchmark::State& state) {
    Host host;
    auto packages = thousandEvents(host);
    std::size_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::vector<EventModel>> events;
        for (const auto& p : packages) {
            events.push_back(p->eventModels());
        }
        state.ResumeTiming();
        std::vector<std::shared_ptr<const EventPackage>> made;
        for (auto& e : events) {
            made.push_back(std::make_shared<const EventPackage>(std::move(e)));
        }
        bytes = UnsentPackageStore::encode(made).size();
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeStoreOf1000EventsCold)->Unit(benchmark::kMillisecond);

// One rewrite of a queue of 1,000 events as the store's queue does it, durable
// on return: the list put together from the packages' JSON, the registry write
// and the SQLite commit. None of it runs on the thread that logs events.
void BM_RewriteStoreOf1000Events(benchmark::State& state) {
    Host host;
    auto packages = thousandEvents(host);
    for (auto _ : state) {
        std::string text = UnsentPackageStore::encode(packages);
        host.registry->putData(Value::Bytes(text.begin(), text.end()),
                               DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
        (void)host.registry->waitForPendingWrites();
    }
}
BENCHMARK(BM_RewriteStoreOf1000Events)->Unit(benchmark::kMillisecond)->UseRealTime();

// Events recorded in a tight loop on one thread, each followed by the
// controller's flush-at-intervals, until every event has been delivered.
void BM_PipelineDelivery(benchmark::State& state) {
    const int events = static_cast<int>(state.range(0));
    Host host;
    bench::OutOfProcessDouble server(host.home.path, kSecret);
    if (server.baseUrl.empty()) {
        state.SkipWithError("server double did not start");
        return;
    }
    platform::host::mapHttpHost("*", server.baseUrl);
    std::atomic<int> delivered{0};
    struct CountingSender : IEventSender {
        std::shared_ptr<IEventSender> inner;
        std::atomic<int>* delivered;
        void sendEventPackage(std::shared_ptr<const EventPackage> p, Completion done) override {
            inner->sendEventPackage(p, [&](const IEventSendActionResult& r) {
                if (r.kind == IEventSendActionResult::Kind::onSuccess) {
                    *delivered += static_cast<int>(r.package->eventCount());
                }
                done(r);
            });
        }
    };
    auto sender = std::make_shared<CountingSender>();
    sender->inner = std::make_shared<DefaultEventSender>(
        host.registry,
        std::make_shared<DeviceRealtimeDataProvider>(host.registry, Util_keychain::shared()));
    sender->delivered = &delivered;
    auto container = std::make_shared<EventPackageContainer>(sender, host.registry);
    auto buffer =
        EventBuffer::create(container, std::make_shared<DefaultNowaitEventNameProvider>());

    int round = 0;
    for (auto _ : state) {
        const int target = delivered.load() + events;
        // The app's own work, making its parameter maps, is done before the
        // clocks start: what is measured is the SDK's.
        std::vector<LogEventParameter> parameters;
        parameters.reserve(static_cast<std::size_t>(events));
        for (int i = 0; i < events; ++i) {
            parameters.push_back(host.parameter(round * events + i));
        }
        const double cpu0 = processCpuMicros();
        const double sys0 = processSystemMicros();
        auto t0 = std::chrono::steady_clock::now();
        for (auto& parameter : parameters) {
            buffer->addEvent(EventModelProvider(host.properties, host.registry,
                                                container->counters(), std::move(parameter))
                                 .buildEventModel());
            buffer->flushAtIntervals();
        }
        const double loopSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        buffer->flushAllNow();
        buffer->waitUntilIdle();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = processCpuMicros() - cpu0;
        const double sys = processSystemMicros() - sys0;
        if (delivered.load() < target) {
            state.SkipWithError("not every event was delivered");
            break;
        }
        state.SetIterationTime(seconds);
        state.counters["events_per_s"] = events / seconds;
        state.counters["cpu_us_per_event"] = cpu / events;
        state.counters["kernel_us_per_event"] = sys / events;
        state.counters["logging_loop_us_per_event"] = loopSeconds * 1e6 / events;
        ++round;
    }
    container->waitForStoreWrites();
    EventUploadIntervalManager::shared().removeObserver(buffer);
    platform::host::clearHttpHostMappings();
}
BENCHMARK(BM_PipelineDelivery)
    ->Arg(20000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Counts the packages handed to the standard sender, and passes them on.
struct AttemptCountingSender : IEventSender {
    std::shared_ptr<IEventSender> inner;
    std::uint64_t attempts = 0;
    void sendEventPackage(std::shared_ptr<const EventPackage> p, Completion done) override {
        ++attempts;
        inner->sendEventPackage(std::move(p), std::move(done));
    }
};

// How the SDK finds no network, and what an attempt costs then.
enum class NoNetwork : std::int64_t {
    // The platform says so (the host's reachability override): each attempt
    // fails at the network check, before any request is made.
    REACHABILITY = 0,
    // The route tables have no default route and nothing watches them (a
    // kernel that refuses the route socket): each network check reads them.
    ROUTE_TABLES = 1,
    // The platform says there is a network but nothing answers: each
    // attempt builds and signs its request, and the loopback connection is
    // refused (status 0). Not what the SDK calls offline, for comparison.
    REFUSED = 2,
};

// One sendAllEventPackages with no network over a backlog of range(0)
// packages of range(1) events each, on the calling thread as the upload queue
// runs it. The backlog is the same after each round, as every package fails.
// 1,000 packages of one event (events flushed one at a time) are the most a
// launch restores, the stored list keeping 1,000 events; 100 packages are the
// stored list's worth of full packages; a process offline for long queues
// more in memory, one package per 10 events.
void BM_OfflineRound(benchmark::State& state) {
    const auto packages = static_cast<int>(state.range(0));
    const auto eventsPerPackage = static_cast<int>(state.range(1));
    const auto mode = static_cast<NoNetwork>(state.range(2));
    Host host;
    std::string routes;
    if (mode == NoNetwork::ROUTE_TABLES) {
        routes = host.home.path + "/route";
        std::ofstream(routes) << "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\t"
                                 "Mask\t\tMTU\tWindow\tIRTT\n";
        std::ofstream(routes + "6") << "";
        platform::host::setRouteTableFiles(routes, routes + "6");
        platform::host::setReachability(std::nullopt);
    } else if (mode == NoNetwork::REFUSED) {
        // The discard port, closed on the loopback.
        platform::host::mapHttpHost("*", "http://127.0.0.1:9");
    } else {
        platform::host::setReachability(std::string("unknown"));
    }
    auto sender = std::make_shared<AttemptCountingSender>();
    sender->inner = std::make_shared<DefaultEventSender>(
        host.registry,
        std::make_shared<DeviceRealtimeDataProvider>(host.registry, Util_keychain::shared()));
    auto container = std::make_shared<EventPackageContainer>(sender, host.registry);
    auto contexts = std::make_shared<EventContextCache>(host.properties, host.registry);
    for (int p = 0; p < packages; ++p) {
        std::vector<EventModel> events;
        for (int e = 0; e < eventsPerPackage; ++e) {
            events.push_back(EventModelProvider(host.properties, host.registry,
                                                container->counters(), contexts,
                                                host.parameter(p * eventsPerPackage + e))
                                 .buildEventModel());
        }
        container->addEventPackage(std::make_shared<const EventPackage>(std::move(events)));
    }
    // The packages past the stored list's worth are deflated by a pass a
    // moment after they are queued: it runs before the clocks start.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const std::size_t deep =
        static_cast<std::size_t>(packages) -
        std::min(static_cast<std::size_t>(packages), EventPackageContainer::PLAIN_BACKLOG);
    auto packed = [&] {
        std::size_t n = 0;
        for (const auto& p : container->snapshot()) {
            n += p->packed() ? 1 : 0;
        }
        return n;
    };
    while (packed() < deep && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto waitingBefore = container->snapshot();
    sender->attempts = 0;
    const double cpu0 = processCpuMicros();
    for (auto _ : state) {
        container->sendAllEventPackages();
    }
    const double cpu = processCpuMicros() - cpu0;
    const auto rounds = static_cast<double>(state.iterations());
    const double attempts = static_cast<double>(sender->attempts);
    if (container->snapshot() != waitingBefore) {
        state.SkipWithError("the backlog changed");
    }
    state.counters["attempts_per_round"] = attempts / rounds;
    state.counters["process_cpu_us_per_round"] = cpu / rounds;
    state.counters["process_cpu_ns_per_attempt"] = attempts > 0 ? cpu * 1e3 / attempts : 0;
    container->waitForStoreWrites();
    if (mode == NoNetwork::ROUTE_TABLES) {
        platform::host::setRouteTableFiles("", "");
    }
    platform::host::clearHttpHostMappings();
    platform::host::setReachability(std::string("wifi"));
}
BENCHMARK(BM_OfflineRound)
    ->ArgNames({"packages", "events", "no_network"})
    ->Args({1000, 1, static_cast<std::int64_t>(NoNetwork::REACHABILITY)})
    ->Args({100, 10, static_cast<std::int64_t>(NoNetwork::REACHABILITY)})
    ->Args({10000, 10, static_cast<std::int64_t>(NoNetwork::REACHABILITY)})
    ->Args({1000, 1, static_cast<std::int64_t>(NoNetwork::ROUTE_TABLES)})
    ->Args({100, 10, static_cast<std::int64_t>(NoNetwork::REFUSED)})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
