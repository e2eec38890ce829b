// The floor of one signed upload: pre-built, pre-signed bodies of a burst's
// package (ten events, about 9 KB of Base64) posted through our HttpSession to
// the server double in a process of its own, so what is counted is the
// transport alone, before any event work. Each figure gives this process's CPU
// (getrusage, every thread) and its allocations (every thread) per request.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <memory>
#include <string>
#include <vector>

#include "AllocationCount.h"
#include "BenchSupport.h"
#include "Common/Constants.h"
#include "Network/ApiConnection.h"
#include "Network/RequestSigner.h"
#include "OutOfProcessDouble.h"
#include "Platform/Crypto.h"
#include "Platform/Host.h"
#include "Platform/Http.h"

namespace {

using namespace sorvel;

constexpr const char* kSecret = "SECRETKEY0123456789abc";
constexpr const char* kAppKey = "APPKEY0123456789abcdef";
constexpr const char* kTime = "2024-05-06T07:08:09.123Z";

double processCpuMicros() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// A package's JSON as a burst of the end-to-end figure sends it: the common
// block and ten events of five string attributes, about 6.7 KB.
std::string packageJson(int n) {
    std::string json =
        R"({"common":{"request_datetime":")" + std::string(kTime) + R"(","app_key":")" + kAppKey +
        R"(","sdk_version":"2.1.0.1","api_version":"6.0.0","package_name":"com.sorvel.sample",)"
        R"("identity":{"adid":"3F2504E0-4F89-41D3-9A0C-0305E82C3301","idfv":)"
        R"("8D1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8","is_push_enable":true,"is_ad_tracking":false},)"
        R"("device":{"model":"iPhone14,2","os":"iOS","os_version":"17.1","network_type":"wifi",)"
        R"("language":"en","country":"US","timezone":"Asia/Seoul","carrier":"none"}},"evts":[)";
    for (int i = 0; i < 10; ++i) {
        const std::string id = std::to_string(1714979289123 + n * 10 + i);
        json += (i == 0 ? "" : ",");
        json += R"({"event_id":")" + id +
                R"(:3F2504E0-4F89-41D3-9A0C-0305E82C3310",)"
                R"("prev_id":"1714979289000:3F2504E0-4F89-41D3-9A0C-0305E82C3300",)"
                R"("group":"custom","name":"bench_e2e","event_datetime":")" +
                std::string(kTime) +
                R"(","session_id":"1714979280000:8D1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8",)"
                R"("session_order_no":12,"event_order_no":)" +
                std::to_string(n * 10 + i) +
                R"(,"param":{"campaign":"string:spring_sale","locale":"string:en_US",)"
                R"("screen":"string:home","source":"string:push","variant":"string:b"},)"
                R"("user_properties":{"svl:user_id":"string:user-778899","tier":"string:gold",)"
                R"("visits":"long:12","svl:push_enable":"bool:true","level":"long:42",)"
                R"("svl:app_version":"string:3.4.1"}})";
    }
    return json + "]}";
}

// Requests made and signed once, before any figure is taken, the way the
// uploader hands them to the session.
std::vector<std::shared_ptr<const platform::HttpRequest>> signedRequests(int count) {
    const std::string url = Constants::fill(Constants::EVENT_BULK_URL(), {kAppKey});
    std::vector<std::shared_ptr<const platform::HttpRequest>> requests;
    for (int n = 0; n < count; ++n) {
        auto signedBody = signRequestBody(packageJson(n), BodyEncoding::BASE64, kSecret, kTime);
        if (!signedBody) {
            return {};
        }
        auto r = std::make_shared<platform::HttpRequest>();
        r->method = "POST";
        r->url = url;
        r->timeout = ApiConnection::TIMEOUT;
        r->headers = {{"Content-Type", signedBody->contentType},
                      {"User-Agent", ApiConnection::userAgent()},
                      {"svl-auth-time", signedBody->authTime},
                      {"svl-auth-cs", signedBody->authCs}};
        r->body = std::move(signedBody->body);
        requests.push_back(std::move(r));
    }
    return requests;
}

struct Floor {
    bench::TempHome home;
    bench::OutOfProcessDouble server{home.path, kSecret};
    std::vector<std::shared_ptr<const platform::HttpRequest>> requests = signedRequests(64);
    platform::HttpSession session;
    bool ok() const { return !server.baseUrl.empty() && !requests.empty(); }
    Floor() { platform::host::mapHttpHost("*", server.baseUrl); }
    ~Floor() { platform::host::clearHttpHostMappings(); }
};

// CPU and allocations of the whole process per request, from the first
// measured request to the last answer.
class PerRequest {
  public:
    explicit PerRequest(benchmark::State& state, int requestsPerIteration = 1)
        : state_(state),
          requestsPerIteration_(requestsPerIteration),
          cpu0_(processCpuMicros()),
          allocs0_(bench::allocationsInProcess()) {}
    ~PerRequest() {
        const auto n = static_cast<double>(state_.iterations() * requestsPerIteration_);
        if (n <= 0) {
            return;
        }
        state_.counters["cpu_us_per_request"] = (processCpuMicros() - cpu0_) / n;
        if (bench::allocationCountingActive()) {
            state_.counters["allocs_per_request"] =
                static_cast<double>(bench::allocationsInProcess() - allocs0_) / n;
        }
    }

  private:
    benchmark::State& state_;
    const int requestsPerIteration_;
    const double cpu0_;
    const long allocs0_;
};

bool usable(const Floor& floor, benchmark::State& state) {
    if (!floor.ok()) {
        state.SkipWithError("server double did not start");
    }
    return floor.ok();
}

// One request at a time on the calling thread, over one kept-alive
// connection, as an upload round sends its packages.
void BM_SignedPostFloorBlocking(benchmark::State& state) {
    Floor floor;
    if (!usable(floor, state)) {
        return;
    }
    // Warm: the connection is open before the figures start.
    if (floor.session.dataTask(*floor.requests[0]).status != 200) {
        state.SkipWithError("the double refused the request");
        return;
    }
    std::size_t next = 0;
    int failed = 0;
    {
        PerRequest measure(state);
        for (auto _ : state) {
            const auto& request = *floor.requests[next++ % floor.requests.size()];
            failed += floor.session.dataTask(request).status != 200 ? 1 : 0;
        }
    }
    if (failed > 0) {
        state.SkipWithError("a request failed");
    }
    state.counters["body_bytes"] = static_cast<double>(floor.requests[0]->body.size());
}
BENCHMARK(BM_SignedPostFloorBlocking)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The digest a signature takes over the Base64 body, alone.
void BM_Md5OfSignedBody(benchmark::State& state) {
    const auto requests = signedRequests(1);
    if (requests.empty()) {
        state.SkipWithError("signing failed");
        return;
    }
    const std::string& body = requests[0]->body;
    platform::crypto::Md5Digest digest{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(platform::crypto::md5Into(body, digest));
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
    state.counters["body_bytes"] = static_cast<double>(body.size());
}
BENCHMARK(BM_Md5OfSignedBody)->Unit(benchmark::kMicrosecond);

}  // namespace
