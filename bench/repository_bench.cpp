// One LOG_EVENT from the controller's submission through the dispatcher, the
// log-event use case and the repository (block list, sampling, model build,
// previous id) into the event buffer, over the real registry and pipeline,
// uploading to an in-process server double.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "BenchSupport.h"
#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/KeyChain.h"
#include "ContextSupport.h"
#include "Core/DefaultSVLContextController.h"
#include "Core/UseCases.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Data/DataProviders/DeviceStaticDataProvider.h"
#include "Data/Repository/Repository.h"
#include "Event/DefaultEventSender.h"
#include "Event/EventBuffer.h"
#include "Event/EventPackageContainer.h"
#include "Event/EventSamplingFilter.h"
#include "Event/NoWaitEventNameProvider.h"
#include "Event/UserPropertyManager.h"
#include "Network/S3ConfigHandler.h"
#include "Platform/Host.h"
#include "ServerDouble.h"

namespace {

using namespace sorvel;

constexpr const char* kAppKey = "APPKEY0123456789abcdef";
constexpr const char* kSecretKey = "SECRETKEY0123456789abc";

// The states as far as this road needs them: initialising answers success at
// once; active runs the log-event and flush-at-intervals use cases.
class RoadContext final : public bench::IdleContext {
  public:
    RoadContext(SVLContextState state, std::shared_ptr<IRepository> repository)
        : IdleContext(state), repository_(std::move(repository)) {}
    void logEvent(LogEventParameter parameter) override {
        if (isActive()) {
            LogEventUseCase(repository_).execute(std::move(parameter));
        }
    }
    void flushAtIntervals() override {
        if (isActive()) {
            FlushAtIntervalsUseCase(repository_).execute();
        }
    }

  private:
    const std::shared_ptr<IRepository> repository_;
};

// The batch of each iteration: dispatched one message at a time on the
// controller queue, the way the app's events arrive.
void BM_LogEventIntoBuffer(benchmark::State& state) {
    const int batch = static_cast<int>(state.range(0));
    bench::TempHome home;
    tools::ServerDouble server{tools::ServerDouble::Options{"127.0.0.1", 0, kSecretKey}};
    if (!server.start()) {
        state.SkipWithError("server double did not start");
        return;
    }
    platform::host::mapHttpHost("*", server.baseUrl());
    platform::host::setReachability(std::string("wifi"));

    auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    registry->putString(std::string(kAppKey), DataRegistryKey::STRING_APPKEY);
    registry->putString(std::string(kSecretKey), DataRegistryKey::STRING_SECRETKEY);
    S3ConfigHandler::shared().setDataRegistry(registry);
    auto realtime = std::make_shared<DeviceRealtimeDataProvider>(registry, Util_keychain::shared());
    realtime->refreshData();
    auto properties = std::make_shared<UserPropertyManager>(registry);
    properties->saveUserProperty({{"svl:user_id", Value("user-1")}, {"tier", Value("gold")}});
    auto container = std::make_shared<EventPackageContainer>(
        std::make_shared<DefaultEventSender>(registry, realtime), registry);
    auto buffer =
        EventBuffer::create(container, std::make_shared<DefaultNowaitEventNameProvider>());
    auto repository = std::make_shared<Repository>(
        properties, registry, buffer, EventSamplingFilter::create(registry), realtime,
        std::make_shared<DeviceStaticDataProvider>(registry));
    auto controller = DefaultSVLContextController::create(
        registry, repository,
        std::make_shared<bench::StateFactory>([repository](SVLContextState state) {
            return std::make_shared<RoadContext>(state, repository);
        }),
        [] {});
    controller->initialize(kAppKey, kSecretKey);
    controller->didBecomeActive();
    controller->waitForDispatched();

    LogEventParameter parameter;
    parameter.group = "custom";
    parameter.eventName = "tap";
    parameter.eventParam = {{"item", Value("string:book")}, {"price", Value("double:12.5")}};
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < batch; ++i) {
            controller->logEvent(parameter);
        }
        controller->waitForDispatched();
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        // The buffer's own work (packing, storing, uploading) is left out of
        // the figure, and done before the next batch.
        buffer->waitUntilIdle();
    }
    state.SetItemsProcessed(state.iterations() * batch);
    // Seconds per event, printed with its SI prefix ("11.2u" is 11.2 us).
    state.counters["per_event"] =
        benchmark::Counter(static_cast<double>(state.iterations() * batch),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    buffer->flushAllNow();
    buffer->waitUntilIdle();
    EventUploadIntervalManager::shared().removeObserver(buffer);
    (void)registry->waitForPendingWrites();
    platform::host::clearHttpHostMappings();
}
BENCHMARK(BM_LogEventIntoBuffer)
    ->Arg(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace
