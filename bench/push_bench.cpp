// Push payloads: parsing a typical payload, the facade's parse and open on the
// caller's thread, and a decoration without image from receive to handler.

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "Common/DataRegistry.h"
#include "Core/DiContainer.h"
#include "Platform/Host.h"
#include "sorvel/SorvelKV.h"
#include "sorvel/SorvelPushService.h"

namespace {

using namespace sorvel;

// The console lines of the extension go nowhere while measuring.
struct Drop : platform::ILogSink {
    void write(std::string_view) override {}
};

const Value::Map& typicalPayload() {
    static const Value::Map payload = *Value::fromJson(R"({"aps":{
        "alert":{"title":"Weekend sale","subtitle":"Today only","body":"Up to 50% off shoes",
                 "img":"https://img.example/sale.jpg"},
        "gen_sound":"1","gen_vibe":"1","deep_link_url":"shop://sale?id=12",
        "deep_link_json":{"id":12,"tab":"shoes"},"notification_id":123456,
        "svl:gf:campaign_id":"cmp-2026-12","svl:gf:campaign_revision_no":3,
        "svl:gf:step_id":"step-1","svl:gf:cycle_time":"20261207",
        "custom_alert":{"KO":{"title":"주말 세일","body":"신발 최대 50%"},
                        "EN":{"title":"Weekend sale","body":"Up to 50% off"}}}})")
                                           ->getMap();
    return payload;
}

void BM_ParsePayload(benchmark::State& state) {
    const Value::Map& payload = typicalPayload();
    for (auto _ : state) {
        benchmark::DoNotOptimize(SvlRemotePushModel::fromUserInfo(payload, nullptr));
    }
}
BENCHMARK(BM_ParsePayload);

// parsePushData then openPush on the caller's thread (the event is queued).
void BM_ParseAndOpenPush(benchmark::State& state) {
    bench::TempHome home;
    auto registry = DiContainer::shared().dataRegistry();
    registry->putBool(true, DataRegistryKey::BOOL_IS_PUSH_ENABLE);
    registry->putBool(true, DataRegistryKey::BOOL_IS_PUSH_ENABLE_OS);
    auto& kv = SorvelKV::getInstance();
    const Value::Map& payload = typicalPayload();
    for (auto _ : state) {
        auto model = kv.parsePushData(payload);
        if (model)
            kv.openPush(*model);
    }
}
BENCHMARK(BM_ParseAndOpenPush);

void BM_DecorateWithoutImage(benchmark::State& state) {
    platform::host::setPreferredLanguages(std::vector<std::string>{"ko-KR"});
    SorvelPushService service;
    NotificationRequest request;
    request.content.userInfo = typicalPayload();
    Value::Map& aps = *request.content.userInfo["aps"].getMap();
    aps.erase("img");
    platform::host::setSystemLogSink(std::make_shared<Drop>());
    for (auto _ : state) {
        bool delivered = false;
        service.didReceive(request, [&](NotificationContent) { delivered = true; });
        benchmark::DoNotOptimize(delivered);
    }
}

BENCHMARK(BM_DecorateWithoutImage);

}  // namespace
