#include "Common/Constants.h"

#include <array>

#include "Common/SdkState.h"
#include "Common/SvlLog.h"
#include "Platform/Http.h"
#include "Platform/Mutex.h"

namespace sorvel {
namespace {

enum class Tier { LIVE, STAGING, DEVELOPMENT };

struct EndpointRow {
    const char* region;
    Tier tier;
    const char* eventBase;
    const char* gdprBase;
    const char* configHost;
    const char* campaignHost;
    const char* webApiBase;
};

// The one table of server hosts. Tests and the sample app point all of them at
// the loopback server double through the platform's URL hook.
constexpr std::array<EndpointRow, 6> kEndpoints{{
    {"ap1", Tier::LIVE, "https://event-ap1.sorvel.example", "https://gdpr-ap1.sorvel.example",
     "https://config-ap1.sorvel.example", "https://iam-ap1.sorvel.example",
     "https://webapi-ap1.sorvel.example"},
    {"ap1", Tier::STAGING, "https://event-ap1.staging.sorvel.example",
     "https://gdpr-ap1.staging.sorvel.example", "https://config-ap1.staging.sorvel.example",
     "https://iam-ap1.staging.sorvel.example", "https://webapi-ap1.staging.sorvel.example"},
    {"ap1", Tier::DEVELOPMENT, "https://event-ap1.dev.sorvel.example",
     "https://gdpr-ap1.dev.sorvel.example", "https://config-ap1.dev.sorvel.example",
     "https://iam-ap1.dev.sorvel.example", "https://webapi-ap1.dev.sorvel.example"},
    {"ap2", Tier::LIVE, "https://event-ap2.sorvel.example", "https://gdpr-ap2.sorvel.example",
     "https://config-ap2.sorvel.example", "https://iam-ap2.sorvel.example",
     "https://webapi-ap2.sorvel.example"},
    {"ap2", Tier::STAGING, "https://event-ap2.staging.sorvel.example",
     "https://gdpr-ap2.staging.sorvel.example", "https://config-ap2.staging.sorvel.example",
     "https://iam-ap2.staging.sorvel.example", "https://webapi-ap2.staging.sorvel.example"},
    {"ap2", Tier::DEVELOPMENT, "https://event-ap2.dev.sorvel.example",
     "https://gdpr-ap2.dev.sorvel.example", "https://config-ap2.dev.sorvel.example",
     "https://iam-ap2.dev.sorvel.example", "https://webapi-ap2.dev.sorvel.example"},
}};

constexpr std::size_t kLiveAp2 = 3;

struct Selection : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::endpoints;

    platform::Mutex mu;
    std::size_t row GUARDED_BY(mu) = kLiveAp2;
};

Selection& selection() {
    return SdkState::shared().part<Selection>();
}

const EndpointRow& selectedRow() {
    auto& s = selection();
    platform::MutexLock lock(s.mu);
    return kEndpoints[s.row];
}

const char* tierName(Tier tier) {
    switch (tier) {
        case Tier::LIVE:
            return "live";
        case Tier::STAGING:
            return "staging";
        case Tier::DEVELOPMENT:
            return "development";
    }
    return "live";
}

}  // namespace

void Constants::configureEndpoints(std::int64_t serverMode, const std::string& region) {
    Tier tier = Tier::LIVE;
    if (serverMode == SERVER_MODE_DEVELOPMENT) {
        tier = Tier::DEVELOPMENT;
    } else if (serverMode == SERVER_MODE_STAGING) {
        tier = Tier::STAGING;
    }
    std::string effectiveRegion = region;
    if (region != REGION_AP1 && region != REGION_AP2) {
        SvlLog::warning("unknown Region, region = '" + region + "'", false);
        effectiveRegion = REGION_AP2;
    }
    std::size_t row = kLiveAp2;
    for (std::size_t i = 0; i < kEndpoints.size(); ++i) {
        if (effectiveRegion == kEndpoints[i].region && kEndpoints[i].tier == tier) {
            row = i;
            break;
        }
    }
    {
        auto& s = selection();
        platform::MutexLock lock(s.mu);
        s.row = row;
    }
    // Where the events go: a base URL the app set replaces the region's
    // server.
    std::string eventUrl = platform::effectiveHttpUrl(kEndpoints[row].eventBase);
    if (eventUrl.size() > 1 && eventUrl.back() == '/') {
        eventUrl.pop_back();  // a base without a path maps to one ending in "/"
    }
    SvlLog::debug("configureEndpoints :: serverMode = " + std::to_string(serverMode) + " (" +
                      tierName(tier) + "), region = " + effectiveRegion +
                      ", eventUrl = " + eventUrl,
                  true);
}

std::string Constants::EVENT_BULK_URL() {
    return std::string(selectedRow().eventBase) + EVENT_BULK_PATH;
}

std::string Constants::eventBulkUrl(std::string_view appKey) {
    const std::string_view base = selectedRow().eventBase;
    const std::string_view path = EVENT_BULK_PATH;
    const std::size_t hole = path.find("%@");
    std::string out;
    out.reserve(base.size() + path.size() + appKey.size());
    out.append(base).append(path.substr(0, hole)).append(appKey).append(path.substr(hole + 2));
    return out;
}

std::string Constants::DEFERRED_DEEPLINK_URL() {
    return std::string(selectedRow().eventBase) + DEFERRED_DEEPLINK_PATH;
}

std::string Constants::DRWORKS_URL() {
    return std::string(selectedRow().eventBase) + DRWORKS_PATH;
}

std::string Constants::GDPR_URL() {
    return std::string(selectedRow().gdprBase) + GDPR_PATH;
}

std::string Constants::CONFIG_URL() {
    const EndpointRow& row = selectedRow();
    return std::string(row.configHost) +
           (row.tier == Tier::DEVELOPMENT ? CONFIG_PATH_DEVELOPMENT : CONFIG_PATH_LIVE);
}

std::string Constants::IAM_CAMPAIGNS_URL() {
    return std::string(selectedRow().campaignHost) + IAM_CAMPAIGNS_PATH;
}

std::string Constants::WEB_API_BASE_URL() {
    return selectedRow().webApiBase;
}

std::string Constants::fill(std::string_view pattern,
                            std::initializer_list<std::string_view> args) {
    std::string out;
    out.reserve(pattern.size() + 64);
    auto next = args.begin();
    std::size_t pos = 0;
    while (pos < pattern.size()) {
        std::size_t hit = pattern.find("%@", pos);
        if (hit == std::string_view::npos || next == args.end()) {
            out.append(pattern.substr(pos));
            break;
        }
        out.append(pattern.substr(pos, hit - pos));
        out.append(*next++);
        pos = hit + 2;
    }
    return out;
}

}  // namespace sorvel
