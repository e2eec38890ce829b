// Request signing and the signed round trip to the loopback server double.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "AllocationCount.h"
#include "BenchSupport.h"
#include "Common/Constants.h"
#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/KeyChain.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Event/DefaultEventSender.h"
#include "Event/EventCounters.h"
#include "Event/EventModelProvider.h"
#include "Event/EventPackage.h"
#include "Event/LogEventParameter.h"
#include "Event/UserPropertyManager.h"
#include "Network/ApiConnection.h"
#include "Network/ApiConnectionManager.h"
#include "Network/RequestSigner.h"
#include "Platform/Dispatch.h"
#include "Platform/Host.h"
#include "Platform/Http.h"
#include "ServerDouble.h"
#include "sorvel/SorvelHost.h"

namespace {

using namespace sorvel;

constexpr const char* kSecret = "SECRETKEY0123456789abc";
constexpr const char* kAppKey = "APPKEY0123456789abcdef";

// An upload body of ten events, about 5 KB of JSON, shaped like the real one.
Value::Map tenEventBody() {
    Value::Map common{
        {"request_datetime", Value("2024-05-06T07:08:09.123Z")},
        {"app_key", Value(kAppKey)},
        {"sdk_version", Value("2.1.0.1")},
        {"api_version", Value("6.0.0")},
        {"package_name", Value("com.sorvel.sample")},
        {"identity", Value(Value::Map{{"adid", Value("3F2504E0-4F89-41D3-9A0C-0305E82C3301")},
                                      {"is_push_enable", Value(true)}})},
        {"device", Value(Value::Map{{"model", Value("iPhone14,2")},
                                    {"os_version", Value("17.1")},
                                    {"network_type", Value("wifi")}})}};
    Value::Array events;
    for (int i = 0; i < 10; ++i) {
        events.emplace_back(Value::Map{
            {"event_id",
             Value("1714979289123:3F2504E0-4F89-41D3-9A0C-0305E82C33" + std::to_string(10 + i))},
            {"prev_id", Value("1714979289000:3F2504E0-4F89-41D3-9A0C-0305E82C3300")},
            {"group", Value("custom")},
            {"name", Value("purchase_completed")},
            {"event_datetime", Value("2024-05-06T07:08:09.123Z")},
            {"session_id", Value("1714979280000:8D1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8")},
            {"session_order_no", Value(12)},
            {"event_order_no", Value(340 + i)},
            {"param", Value(Value::Map{{"svl:item_id", Value("string:SKU-000123")},
                                       {"svl:price", Value("double:12900.0")},
                                       {"svl:quantity", Value("long:2")},
                                       {"svl:currency", Value("string:KRW")},
                                       {"coupon", Value("string:SPRING-2024")}})},
            {"user_properties", Value(Value::Map{{"svl:user_id", Value("string:user-778899")},
                                                 {"tier", Value("string:gold")}})},
        });
    }
    return Value::Map{{"common", Value(std::move(common))}, {"evts", Value(std::move(events))}};
}

// The calling thread's allocations per iteration, as a counter.
class AllocationsPerIteration {
  public:
    explicit AllocationsPerIteration(benchmark::State& state)
        : state_(state), start_(bench::allocationsOnThisThread()) {}
    ~AllocationsPerIteration() {
        if (bench::allocationCountingActive() && state_.iterations() > 0) {
            state_.counters["allocs_per_iter"] =
                static_cast<double>(bench::allocationsOnThisThread() - start_) /
                static_cast<double>(state_.iterations());
        }
    }

  private:
    benchmark::State& state_;
    const long start_;
};

// Signing a ready JSON text: Base64, MD5, the two HMACs.
void BM_SignTenEventBody(benchmark::State& state) {
    const std::string json = Value(tenEventBody()).toJson();
    {
        AllocationsPerIteration allocations(state);
        for (auto _ : state) {
            auto signedBody =
                signRequestBody(json, BodyEncoding::BASE64, kSecret, "2024-05-06T07:08:09.123Z");
            benchmark::DoNotOptimize(signedBody);
        }
    }
    state.counters["json_bytes"] = static_cast<double>(json.size());
}
BENCHMARK(BM_SignTenEventBody);

// Serialising the body map once to compact JSON and signing it.
void BM_SerialiseAndSignTenEventBody(benchmark::State& state) {
    const Value body(tenEventBody());
    for (auto _ : state) {
        auto signedBody = signRequestBody(body.toJson(), BodyEncoding::BASE64, kSecret,
                                          "2024-05-06T07:08:09.123Z");
        benchmark::DoNotOptimize(signedBody);
    }
}
BENCHMARK(BM_SerialiseAndSignTenEventBody);

struct RoundTripHost {
    sorvel::bench::TempHome home;
    sorvel::tools::ServerDouble server{
        sorvel::tools::ServerDouble::Options{"127.0.0.1", 0, kSecret}};
    std::shared_ptr<DataRegistry> registry;
    bool ok = false;
    RoundTripHost() {
        ok = !home.path.empty() && server.start();
        platform::host::mapHttpHost("*", server.baseUrl());
        registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
        registry->putString(std::string(kSecret), DataRegistryKey::STRING_SECRETKEY);
    }
    ~RoundTripHost() {
        (void)registry->waitForPendingWrites();  // only drains; the timings are taken
        platform::host::clearHttpHostMappings();
    }
};

struct BulkModel : IApiModel {
    Value::Map body = tenEventBody();
    std::string getUrl() const override {
        return Constants::fill(Constants::EVENT_BULK_URL(), {kAppKey});
    }
    Value::Map toDictionary() const override { return body; }
};

// One signed POST of the ten-event body through the connection manager to the
// double, on a kept-alive connection; the double checks the signature.
void BM_SignedPostRoundTrip(benchmark::State& state) {
    RoundTripHost host;
    if (!host.ok) {
        state.SkipWithError("server double did not start");
        return;
    }
    const BulkModel model;
    // Warm the connection.
    auto warm = std::make_shared<ApiConnection>(host.registry);
    warm->setPostRequest(model);
    ApiConnectionManager().requestSync(warm);
    const auto opened = platform::HttpSession::shared().stats().connectionsOpened;
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(state.max_iterations));
    AllocationsPerIteration allocations(state);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        auto connection = std::make_shared<ApiConnection>(host.registry);
        connection->setPostRequest(model);
        Result r = ApiConnectionManager().requestSync(connection);
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                .count());
        if (!r.isSuccess()) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    if (!micros.empty()) {
        std::sort(micros.begin(), micros.end());
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p90_us"] = micros[micros.size() * 9 / 10];
    }
    state.counters["new_connections"] =
        static_cast<double>(platform::HttpSession::shared().stats().connectionsOpened - opened);
    auto recorded = host.server.requests();
    state.counters["bad_signatures"] = static_cast<double>(std::count_if(
        recorded.begin(), recorded.end(), [](const auto& r) { return r.signature != "valid"; }));
}
BENCHMARK(BM_SignedPostRoundTrip)->Unit(benchmark::kMicrosecond)->Iterations(2000);

// The sender of a round and one package of ten events, built as the
// pipeline builds them, with the server double answering.
struct PackageUploadHost : RoundTripHost {
    // The app's main thread is another one, as for the upload thread: the
    // permission is read from the OS, not taken from the store with an error.
    SorvelHost::MainLoopThread mainLoop;
    std::shared_ptr<const EventPackage> package;
    std::unique_ptr<DefaultEventSender> sender;

    PackageUploadHost() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (platform::isMainThread() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        ok = ok && !platform::isMainThread();
        registry->putString(std::string(kAppKey), DataRegistryKey::STRING_APPKEY);
        platform::host::setReachability(std::string("wifi"));
        auto properties = std::make_shared<UserPropertyManager>(registry, [] { return 100; });
        properties->saveUserProperty(Value::Map{{"tier", Value("gold")}, {"visits", Value(12)}});
        auto counters = std::make_shared<EventCounters>(registry);
        std::vector<EventModel> events;
        for (int i = 0; i < 10; ++i) {
            Value::Map params;
            for (int k = 0; k < 5; ++k) {
                params["param_" + std::to_string(k)] =
                    Value("string:some value " + std::to_string(k));
            }
            auto p = LogEventParameter::initWithEventName("custom", "purchase_completed", params);
            p.eventId = "1714979289123:3F2504E0-4F89-41D3-9A0C-0305E82C" + std::to_string(1000 + i);
            events.push_back(
                EventModelProvider(properties, registry, counters, p).buildEventModel());
        }
        package = std::make_shared<const EventPackage>(std::move(events));
        sender = std::make_unique<DefaultEventSender>(
            registry,
            std::make_shared<DeviceRealtimeDataProvider>(registry, Util_keychain::shared()),
            [](const GdprForgetMe::Done& done) {
                if (done) {
                    done();
                }
            });
    }
};

// One package of ten events posted by the event sender, as an upload round
// that sends one at a time does it: the common block, the body, the signed
// request and its round trip, on the calling thread.
void BM_EventPackageUpload(benchmark::State& state) {
    PackageUploadHost host;
    if (!host.ok) {
        state.SkipWithError("server double did not start");
        return;
    }
    bool ok = true;
    auto send = [&] {
        host.sender->sendEventPackage(host.package, [&](const IEventSendActionResult& r) {
            ok = ok && r.kind == IEventSendActionResult::Kind::onSuccess;
        });
    };
    send();  // warms the connection and the common block's text
    {
        AllocationsPerIteration allocations(state);
        for (auto _ : state) {
            send();
        }
    }
    if (!ok) {
        state.SkipWithError("an upload failed");
    }
    state.counters["json_bytes"] = static_cast<double>(host.package->eventsJsonSize());
}
BENCHMARK(BM_EventPackageUpload)->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace
