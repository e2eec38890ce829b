// The attribute model an app builds for every event it records: five string
// attributes set and the model destroyed, as the record call's caller pays it.
#include <benchmark/benchmark.h>

#include "FiveAttributes.h"

namespace {

void BM_AttrModelFiveStrings(benchmark::State& state) {
    for (auto _ : state) {
        auto attrs = sorvel::bench::fiveStrings();
        benchmark::DoNotOptimize(attrs);
    }
}
BENCHMARK(BM_AttrModelFiveStrings);

void BM_AttrModelFiveStringsMultiByte(benchmark::State& state) {
    for (auto _ : state) {
        auto attrs = sorvel::bench::fiveStrings(sorvel::bench::kMultiByteValues);
        benchmark::DoNotOptimize(attrs);
    }
}
BENCHMARK(BM_AttrModelFiveStringsMultiByte);

}  // namespace
