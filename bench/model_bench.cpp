// The attribute model an app builds for every event it records: five string
// attributes set and the model destroyed, as the record call's caller pays it.
#include <benchmark/benchmark.h>

#include "sorvel/SorvelKvAttrModel.h"

namespace {

void BM_AttrModelFiveStrings(benchmark::State& state) {
    for (auto _ : state) {
        sorvel::SorvelKvAttrModel attrs;
        attrs.setAttrDataString("screen", "home");
        attrs.setAttrDataString("variant", "b");
        attrs.setAttrDataString("source", "push");
        attrs.setAttrDataString("campaign", "spring_sale");
        attrs.setAttrDataString("locale", "en_US");
        benchmark::DoNotOptimize(attrs);
    }
}
BENCHMARK(BM_AttrModelFiveStrings);

// The same with values outside ASCII (accents, a flag, a joined emoji), so
// the cut to a length counted in user-perceived characters walks multi-byte
// text.
void BM_AttrModelFiveStringsNonAscii(benchmark::State& state) {
    for (auto _ : state) {
        sorvel::SorvelKvAttrModel attrs;
        attrs.setAttrDataString("screen", "caf\xc3\xa9 cr\xc3\xa8me");
        attrs.setAttrDataString("variant", "\xf0\x9f\x87\xaf\xf0\x9f\x87\xb5");
        attrs.setAttrDataString("source", "\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb push");
        attrs.setAttrDataString("campaign",
                                "\xe6\x98\xa5\xe3\x81\xae\xe3\x82\xbb\xe3\x83\xbc\xe3\x83\xab");
        attrs.setAttrDataString("locale", "ja_JP");
        benchmark::DoNotOptimize(attrs);
    }
}
BENCHMARK(BM_AttrModelFiveStringsNonAscii);

}  // namespace
