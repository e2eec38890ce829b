// The message-history store: storing received pushes one by one (the history
// queue's work, and what the caller's thread pays), reading a page and the
// whole inbox of 10,000 rows, and merging a server list of 1,000 entries, on a
// real SQLite file in a temp home.
#include <benchmark/benchmark.h>

#include <future>
#include <memory>
#include <string>

#include "ActionHistory/ActionHistoryDAO.h"
#include "BenchSupport.h"
#include "Data/Repository/Repository.h"

namespace {

using namespace sorvel;

const std::vector<std::string> kTypes{"PUSH_ANDROID", "PUSH_IOS", "KAKAOTALK", "TEXT_MESSAGE"};

Value::Map pushPayload(std::int64_t id) {
    Value::Map alert{{"title", Value("Spring sale " + std::to_string(id))},
                     {"body", Value("Everything in the shop is 20% off until Sunday.")},
                     {"img", Value("https://img.example/banner.png")},
                     {"deep_link_json", Value(R"({"screen":"sale","id":"42"})")},
                     {"deep_link_url", Value("app://sale")}};
    Value::Map aps{{"custom_alert", Value(Value::Map{})},
                   {"alert", Value(alert)},
                   {"notification_id", Value(id)},
                   {"svl:gf:campaign_id", Value("C-1")},
                   {"svl:gf:campaign_revision_no", Value(3)},
                   {"svl:gf:step_id", Value("S-1")},
                   {"svl:gf:cycle_time", Value("20240101")}};
    return {{"aps", Value(aps)}};
}

Value::Array serverList(std::size_t n, std::int64_t base) {
    Value::Array list;
    for (std::size_t i = 0; i < n; ++i) {
        list.emplace_back(Value::Map{
            {"id", Value("srv-" + std::to_string(i))},
            {"type", Value("KAKAOTALK")},
            {"timestamp", Value(base + static_cast<std::int64_t>(i))},
            {"contents", Value(Value::Map{{"title", Value("Order shipped")},
                                          {"body", Value("Your order is on its way.")}})},
            {"campaign_id", Value("C")},
            {"campaign_revision_no", Value(1)},
            {"step_id", Value("S")},
            {"cycle_time", Value("Y")},
            {"action_group", Value("G")}});
    }
    return list;
}

void BM_InsertPushOnHistoryQueue(benchmark::State& state) {
    bench::TempHome home;
    ActionHistoryDAO dao(nullptr);
    std::int64_t id = 0;
    for (auto _ : state) {
        dao.insertPushData(pushPayload(++id));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertPushOnHistoryQueue)->Iterations(10000)->Unit(benchmark::kMicrosecond);

void BM_InsertPushCallerThread(benchmark::State& state) {
    bench::TempHome home;
    auto repository =
        std::make_shared<Repository>(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     std::make_shared<ActionHistoryDAO>(nullptr));
    std::vector<Value::Map> payloads;
    for (std::int64_t i = 1; i <= state.max_iterations; ++i) {
        payloads.push_back(pushPayload(i));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        repository->insertPushData(payloads[i++]);
    }
    // Drained outside the timing, which ended with the loop.
    std::promise<void> drained;
    repository->getActionHistory(0, 1, kTypes,
                                 [&](const ActionHistoryResult&) { drained.set_value(); });
    drained.get_future().wait();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertPushCallerThread)->Iterations(10000)->Unit(benchmark::kMicrosecond);

// 10,000 rows: half pushes, half server entries.
struct FullStore {
    bench::TempHome home;
    ActionHistoryDAO dao{nullptr};
    FullStore() {
        dao.insertActionHistory2Table(serverList(5000, 1));
        for (std::int64_t i = 1; i <= 5000; ++i) {
            dao.insertPushData(pushPayload(i));
        }
    }
};

void BM_ReadPageOf50From10000(benchmark::State& state) {
    FullStore store;
    std::int64_t skip = 0;
    for (auto _ : state) {
        auto page = store.dao.getActionHistory(skip, 50, kTypes);
        benchmark::DoNotOptimize(page);
        skip = (skip + 50) % 9950;
    }
}
BENCHMARK(BM_ReadPageOf50From10000)->Unit(benchmark::kMillisecond);

void BM_ReadAll10000(benchmark::State& state) {
    FullStore store;
    for (auto _ : state) {
        auto all = store.dao.getAllActionHistory(kTypes);
        if (all.size() != 10000) {
            state.SkipWithError("not 10,000 rows");
        }
        benchmark::DoNotOptimize(all);
    }
}
BENCHMARK(BM_ReadAll10000)->Unit(benchmark::kMillisecond);

void BM_MergeServerList1000(benchmark::State& state) {
    bench::TempHome home;
    ActionHistoryDAO dao(nullptr);
    const Value::Array list = serverList(1000, 1);
    for (auto _ : state) {
        dao.insertActionHistory2Table(list);
    }
}
BENCHMARK(BM_MergeServerList1000)->Unit(benchmark::kMillisecond);

}  // namespace
