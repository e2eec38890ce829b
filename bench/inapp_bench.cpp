// In-app campaigns: the app thread's share of a trigger (also while the
// in-app queue reads 10,000 trigger names again), the selection for an event
// among 1,000 stored campaigns, and the ingest of a 500- and a 10,000-campaign
// list, over the real campaign store in a temp home.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/KeyChain.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Data/DataProviders/DeviceStaticDataProvider.h"
#include "Data/Repository/Repository.h"
#include "Event/DefaultEventSender.h"
#include "Event/EventBuffer.h"
#include "Event/EventPackageContainer.h"
#include "Event/EventSamplingFilter.h"
#include "Event/EventUploadIntervalManager.h"
#include "Event/NoWaitEventNameProvider.h"
#include "Event/UserPropertyManager.h"
#include "InAppMessage/InAppMessageDAO.h"
#include "Platform/FileSystem.h"
#include "Platform/Host.h"
#include "Platform/Sqlite.h"

namespace {

using namespace sorvel;

// A campaign of the list's format with `triggers` event triggers
// ("custom:e0", "custom:e1", ... or, with distinct names, "custom:c<n>-e0", ...).
Value campaign(int n, int triggers, bool distinctNames = false) {
    Value::Array evts;
    const std::string prefix = distinctNames ? "custom:c" + std::to_string(n) + "-e" : "custom:e";
    for (int t = 0; t < triggers; ++t) {
        evts.push_back(Value(Value::Map{{"evt", Value(prefix + std::to_string(t))},
                                        {"type", Value("inappevent")},
                                        {"priority", Value(n % 7)}}));
    }
    return Value(Value::Map{
        {"campaign_id", Value("campaign-" + std::to_string(n))},
        {"type", Value("modal")},
        {"layout", Value("image_and_text")},
        {"contents",
         Value(Value::Map{
             {"bg_style", Value(Value::Map{{"bg_color", Value("#FFFFFF")}})},
             {"text", Value(Value::Map{{"title", Value("Title")}, {"body", Value("Body text")}})},
             {"buttons",
              Value(Value::Array{Value(Value::Map{
                  {"button_id", Value("b1")},
                  {"text", Value("OK")},
                  {"click_action", Value(Value::Map{{"action_type", Value("close")}})}})})},
             {"image", Value(Value::Map{
                           {"url", Value(Value::Map{{"portrait", Value("https://img.test/" +
                                                                       std::to_string(n))}})}})},
         })},
        {"frequency_cap", Value(Value::Map{})},
        {"triggers", Value(std::move(evts))},
        {"available_time", Value(Value::Array{})},
        {"start_datetime", Value("2024-01-01T00:00:00")},
        {"end_datetime", Value("null")},
        {"last_updated_datetime", Value("2024-01-01T00:00:00.0000000Z")},
        {"page_orientation", Value(Value::Array{Value("portrait")})},
        {"timezone_type", Value("Local")},
    });
}

std::string listOf(int campaigns, int triggers, const std::string& checksum,
                   bool distinctNames = false) {
    Value::Array list;
    for (int n = 0; n < campaigns; ++n) {
        list.push_back(campaign(n, triggers, distinctNames));
    }
    return Value(Value::Map{{"data", Value(Value::Map{{"status", Value("changed")},
                                                      {"checksum", Value(checksum)},
                                                      {"minutes_to_expiry", Value(60)},
                                                      {"in_app_messages", Value(list)}})}})
        .toJson();
}

// Wall-clock waits of single calls: the mean hides the rare long one, which
// is what an app's thread notices.
class Waits {
  public:
    explicit Waits(std::size_t n) { micros_.reserve(n); }
    template <class F>
    auto time(F&& f) {
        const auto start = std::chrono::steady_clock::now();
        auto out = f();
        micros_.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
        return out;
    }
    void report(benchmark::State& state) {
        if (micros_.empty()) {
            return;
        }
        std::sort(micros_.begin(), micros_.end());
        auto at = [&](double q) {
            return micros_[std::min(
                micros_.size() - 1,
                static_cast<std::size_t>(q * static_cast<double>(micros_.size())))];
        };
        state.counters["p50_us"] = at(0.5);
        state.counters["p99_us"] = at(0.99);
        state.counters["p999_us"] = at(0.999);
        state.counters["max_us"] = micros_.back();
    }

  private:
    std::vector<double> micros_;
};

struct Store {
    bench::TempHome home;
    std::shared_ptr<DataRegistry> registry =
        std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    std::shared_ptr<InAppMessageDAO> dao;
    Store() {
        // No image is fetched: the figures are the store's own.
        platform::host::setReachability(std::string("unknown"));
        dao = InAppMessageDAO::create(registry);
    }
};

// What the app's thread pays for a trigger: the switch read and a submission.
void BM_GetInAppMessageOnTheCallingThread(benchmark::State& state) {
    Store s;
    s.registry->putBool(true, DataRegistryKey::BOOL_S3_CONFIG_IN_APP_MESSAGE_ACTIVE);
    auto realtime =
        std::make_shared<DeviceRealtimeDataProvider>(s.registry, Util_keychain::shared());
    auto buffer = EventBuffer::create(
        std::make_shared<EventPackageContainer>(
            std::make_shared<DefaultEventSender>(s.registry, realtime), s.registry),
        std::make_shared<DefaultNowaitEventNameProvider>());
    auto repository = std::make_shared<Repository>(
        std::make_shared<UserPropertyManager>(s.registry), s.registry, buffer,
        EventSamplingFilter::create(s.registry), realtime,
        std::make_shared<DeviceStaticDataProvider>(s.registry), nullptr, s.dao);
    s.dao->store().refreshTriggerEventNames();
    const std::string event = "custom:nothing";
    for (auto _ : state) {
        repository->getInAppMessage(event);
    }
    repository->waitForInAppQueue();
    buffer->waitUntilIdle();
    EventUploadIntervalManager::shared().removeObserver(buffer);
}
BENCHMARK(BM_GetInAppMessageOnTheCallingThread)->Iterations(100000)->UseRealTime();

// The app's thread answering an event no campaign names while another thread
// reads the store's 10,000 trigger names again and again (each time after a
// commit by another connection, as another process or the in-app queue
// makes): the caller's mean and longest wait.
void BM_TriggerCheckWhileTenThousandNamesAreReadAgain(benchmark::State& state) {
    Store s;
    s.dao->insertApiResponse2Table(listOf(1000, 10, "bench", true));
    InAppMessageSqliteStore& store = s.dao->store();
    store.refreshTriggerEventNames();
    if (!store.triggerEventNames() || store.triggerEventNames()->size() != 10000) {
        state.SkipWithError("the names were not stored");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<long> refreshes{0};
    std::atomic<bool> failed{false};
    std::thread refresher([&] {
        int rc = 0;
        auto other = platform::sqlite::Connection::open(
            platform::documentsFolder() + "/" + InAppMessageSqliteStore::DATABASE_NAME,
            SQLITE_OPEN_READWRITE, rc);
        if (other) {
            other->setBusyTimeout(5000);
        }
        while (!stop.load()) {
            // A new value each time: a write that changes nothing commits nothing.
            if (!other ||
                other->execute("UPDATE CurrentFrequency SET CurrentFrequencyCapPerSession = " +
                               std::to_string(refreshes.load() % 2)) !=
                    platform::sqlite::Outcome::Done) {
                failed.store(true);
                return;
            }
            store.refreshTriggerEventNames();
            refreshes.fetch_add(1);
        }
    });
    const std::string event = "custom:nothing";
    Waits waits(static_cast<std::size_t>(state.max_iterations));
    long yes = 0;
    for (auto _ : state) {
        yes += waits.time([&] { return store.mayTrigger(event); }) ? 1 : 0;
    }
    stop.store(true);
    refresher.join();
    if (failed.load()) {
        state.SkipWithError("the other connection could not write");
    }
    waits.report(state);
    state.counters["refreshes"] = static_cast<double>(refreshes.load());
    // Calls that could not be answered here (the names were being read again
    // after a commit) and would take the in-app queue.
    state.counters["to_queue"] = static_cast<double>(yes);
}
BENCHMARK(BM_TriggerCheckWhileTenThousandNamesAreReadAgain)
    ->Iterations(2000000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// The same answer with nothing changing: the names are current.
void BM_TriggerCheckOfTenThousandCurrentNames(benchmark::State& state) {
    Store s;
    s.dao->insertApiResponse2Table(listOf(1000, 10, "bench", true));
    InAppMessageSqliteStore& store = s.dao->store();
    store.refreshTriggerEventNames();
    const std::string event = "custom:nothing";
    Waits waits(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        if (waits.time([&] { return store.mayTrigger(event); })) {
            state.SkipWithError("the names were taken for stale");
            break;
        }
    }
    waits.report(state);
}
BENCHMARK(BM_TriggerCheckOfTenThousandCurrentNames)->Iterations(200000)->UseRealTime();

// The selection walk as the in-app queue runs it, every stored campaign a
// candidate, the first one shown (and counted).
void BM_SelectionAmong1000CampaignsOf10Triggers(benchmark::State& state) {
    Store s;
    s.dao->insertApiResponse2Table(listOf(1000, 10, "bench"));
    for (auto _ : state) {
        auto message = s.dao->getInAppMessageByEventName("custom:e3", true);
        if (!message) {
            state.SkipWithError("no message");
            break;
        }
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(BM_SelectionAmong1000CampaignsOf10Triggers)->Unit(benchmark::kMicrosecond);

// A changed 500-campaign list rewritten into the store, images not fetched.
void BM_IngestOf500Campaigns(benchmark::State& state) {
    Store s;
    int round = 0;
    std::string list = listOf(500, 3, "r0");
    for (auto _ : state) {
        s.dao->insertApiResponse2Table(list);
        state.PauseTiming();
        list = listOf(500, 3, "r" + std::to_string(++round));
        state.ResumeTiming();
    }
}
BENCHMARK(BM_IngestOf500Campaigns)->Unit(benchmark::kMillisecond)->Iterations(10);

// A changed 10,000-campaign list, the size at which a rewrite is long enough
// for a kill to land in it.
void BM_IngestOf10000Campaigns(benchmark::State& state) {
    Store s;
    int round = 0;
    std::string list = listOf(10000, 1, "r0");
    for (auto _ : state) {
        s.dao->insertApiResponse2Table(list);
        state.PauseTiming();
        list = listOf(10000, 1, "r" + std::to_string(++round));
        state.ResumeTiming();
    }
}
BENCHMARK(BM_IngestOf10000Campaigns)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
