// Deeplink URLs: the URL helpers, the deeplink parameters, the used-or-expired
// check and the deeplink-open event. Any text is either a tracking link that
// raises one event, or is logged and dropped.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "Base/Url.h"
#include "Common/Constants.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Event/DeeplinkAutoEventGenerator.h"
#include "Event/DeeplinkParameterSet.h"
#include "Event/DeeplinkUrl.h"
#include "Event/LogEventParameter.h"
#include "FuzzSupport.h"
#include "Platform/Host.h"

using namespace sorvel;
namespace fz = sorvel::fuzz;

// The clock stands still at 2025-12-01 00:00 UTC, so an ad-key of the seed
// corpus ("ncpi:<epoch ms>") keeps its age from run to run.
static constexpr std::int64_t kNowMs = 1764547200000;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUpProcess();
    platform::host::setClock(std::make_shared<platform::ManualClock>(
        platform::WallTime(std::chrono::milliseconds(kNowMs))));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);

    if (const auto parts = text::parseUrl(url)) {
        (void)text::percentDecode(parts->path);
        if (parts->query) {
            (void)text::percentDecode(*parts->query);
        }
    }
    if (const auto http = text::parseHttpUrl(url)) {
        fz::check(!http->pathAndQuery.empty() && http->pathAndQuery[0] == '/',
                  "an http URL's path does not begin with /", url);
        fz::check(!http->port || (*http->port >= 0 && *http->port <= 65535),
                  "an http URL's port is out of range", url);
    }

    auto registry = fz::memoryRegistry();
    auto set = std::make_shared<DeeplinkParameterSet>(registry);
    const Value::Map parameters = FvnUtil::getDeeplinkParameters(url);
    if (auto it = parameters.find(Constants::PARAM_KEY_DEEPLINK_ADKEY); it != parameters.end()) {
        (void)DeeplinkParameterSet::parseNcpiParameter(*it->second.getString());
    }

    int raised = 0;
    DeeplinkAutoEventGenerator generator(registry, set, [&](const LogEventParameter& event) {
        ++raised;
        const std::string json = Value(event.eventParam).toJson();
        fz::check(Value::fromJson(json).has_value(), "the deeplink event's parameters", json);
    });
    registry->putString(url, DataRegistryKey::STRING_DEEPLINK_URL);
    generator.handleDeeplink();
    fz::check(!registry->getStringOrNil(DataRegistryKey::STRING_DEEPLINK_URL, std::nullopt),
              "the stored deeplink was not taken", url);
    const int first = raised;
    // The same link a second time: an ad-key once accepted is used up (a link
    // with a tracker id only has nothing to use up).
    registry->putString(url, DataRegistryKey::STRING_DEEPLINK_URL);
    generator.handleDeeplink();
    fz::check(raised == first || parameters.count(Constants::PARAM_KEY_DEEPLINK_ADKEY) == 0,
              "a used ad-key raised a second event", url);
    (void)set->isUsedOrExpiredDeeplink(parameters);
    return 0;
}
