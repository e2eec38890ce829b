// The remote configuration file's text through applyConfig: anything that is
// not a configuration changes nothing and is logged; a configuration is
// applied, stored, and reads back the same after a reload.

#include <cstddef>
#include <cstdint>

#include "Common/DataRegistry.h"
#include "Event/EventSamplingFilter.h"
#include "Event/LogEventParameter.h"
#include "FuzzSupport.h"
#include "Network/S3ConfigHandler.h"
#include "Platform/ProcessState.h"

using namespace sorvel;
namespace fz = sorvel::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUpProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One registry and filter for the whole run: each starts threads, which
    // would cost more than the input. The handler stores every key anew.
    static platform::NoDestructor<std::shared_ptr<DataRegistry>> shared(fz::memoryRegistry());
    static platform::NoDestructor<std::shared_ptr<EventSamplingFilter>> filter(
        EventSamplingFilter::create(shared.get()));
    const auto& registry = shared.get();
    auto& handler = S3ConfigHandler::shared();
    handler.reset();
    handler.setDataRegistry(registry);
    // As a launch does: what the last input stored is loaded first.
    handler.initDefaultConfigValue();
    handler.applyConfig(std::string(reinterpret_cast<const char*>(data), size));

    const bool pause = handler.isPause();
    const bool allStop = handler.isAllStop();
    const bool inApp = handler.isInAppMessageActive();
    const auto blocked = handler.blockedEvents();
    const auto maxSize = handler.configPropertyMaxSize();
    const Value::Map sampling = handler.eventSamplingData();
    for (const auto& entry : blocked) {
        const auto colon = entry.find(':');
        if (colon != std::string::npos) {
            (void)handler.isEventBlocked(entry.substr(colon + 1), entry.substr(0, colon));
        }
    }

    // What the sampling filter makes of the stored map, for each event it names.
    for (const auto& [key, rule] : sampling) {
        const auto colon = key.find(':');
        const std::string group = colon == std::string::npos ? "custom" : key.substr(0, colon);
        const std::string name = colon == std::string::npos ? key : key.substr(colon + 1);
        (void)filter.get()->isBlocked(LogEventParameter::initWithEventName(group, name, {}));
    }

    // A fresh process reloads the same values from the registry.
    handler.reset();
    handler.setDataRegistry(registry);
    handler.initDefaultConfigValue();
    fz::check(handler.isPause() == pause && handler.isAllStop() == allStop &&
                  handler.isInAppMessageActive() == inApp,
              "a reload changed a flag");
    fz::check(handler.blockedEvents() == blocked, "a reload changed the block list");
    fz::check(handler.configPropertyMaxSize() == maxSize, "a reload changed the property limit");
    fz::check(handler.eventSamplingData() == sampling, "a reload changed the sampling map");
    return 0;
}
