// In-app campaigns: the app thread's share of a trigger, the selection for an
// event among 1,000 stored campaigns, and the ingest of a 500-campaign list,
// over the real campaign store in a temp home.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "BenchSupport.h"
#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "InAppMessage/InAppMessageDAO.h"
#include "Data/Repository/Repository.h"
#include "Platform/Host.h"

namespace {

using namespace sorvel;

// A campaign of the list's format with `triggers` event triggers
// ("custom:e0", "custom:e1", ...).
Value campaign(int n, int triggers) {
    Value::Array evts;
    for (int t = 0; t < triggers; ++t) {
        evts.push_back(Value(Value::Map{{"evt", Value("custom:e" + std::to_string(t))},
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

std::string listOf(int campaigns, int triggers, const std::string& checksum) {
    Value::Array list;
    for (int n = 0; n < campaigns; ++n) {
        list.push_back(campaign(n, triggers));
    }
    return Value(Value::Map{{"data", Value(Value::Map{{"status", Value("changed")},
                                                      {"checksum", Value(checksum)},
                                                      {"minutes_to_expiry", Value(60)},
                                                      {"in_app_messages", Value(list)}})}})
        .toJson();
}

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
    auto repository = std::make_shared<Repository>(nullptr, s.registry, nullptr, nullptr, nullptr,
                                                   nullptr, nullptr, s.dao);
    const std::string event = "custom:nothing";
    for (auto _ : state) {
        repository->getInAppMessage(event);
    }
    repository->waitForInAppQueue();
}
BENCHMARK(BM_GetInAppMessageOnTheCallingThread)->Iterations(100000)->UseRealTime();

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

}  // namespace
