#include <benchmark/benchmark.h>

#include "Common/DatesAndIds.h"
#include "Event/TypedValueDictionary.h"

namespace {

namespace FvnUtil = sorvel::FvnUtil;
using sorvel::Value;

// A typical event parameter map: texts, numbers, a flag and a nested map.
Value::Map tenEntries() {
    return Value::Map{
        {"category", Value("shoes")},
        {"product", Value("Runner 2")},
        {"price", Value(129.99)},
        {"quantity", Value(std::int64_t{2})},
        {"points", Value(std::uint64_t{1500})},
        {"coupon", Value(true)},
        {"ratio", Value(0.1)},
        {"campaign", Value("spring_sale_2024")},
        {"level", Value(std::int64_t{-3})},
        {"extra", Value(Value::Map{{"a", Value("b")}, {"n", Value(std::int64_t{1})}})},
    };
}

void BM_ToTypedValueDictionary10(benchmark::State& state) {
    const Value::Map input = tenEntries();
    for (auto _ : state) {
        benchmark::DoNotOptimize(FvnUtil::toTypedValueDictionary(input));
    }
}
BENCHMARK(BM_ToTypedValueDictionary10);

void BM_GetSHA256HashToUInt32(benchmark::State& state) {
    const std::string text = "A3F1C2D4-1111-4222-8333-444455556666";
    for (auto _ : state) {
        benchmark::DoNotOptimize(FvnUtil::getSHA256HashToUInt32(text, 7));
    }
}
BENCHMARK(BM_GetSHA256HashToUInt32);

void BM_CreateEventId(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(FvnUtil::createEventId());
    }
}
BENCHMARK(BM_CreateEventId);

}  // namespace
