// A campaign-list answer through the ingest into the real campaign store:
// nothing crashes, a bad answer changes nothing, and the checksum is stored
// only once the store holds exactly the campaigns of its list.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>

#include "Common/DataRegistry.h"
#include "Common/Extensions.h"
#include "InAppMessage/InAppMessageDAO.h"
#include "FuzzSupport.h"
#include "Platform/Host.h"
#include "Platform/ProcessState.h"

using namespace sorvel;
namespace fz = sorvel::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUpProcess();
    // Image downloads give up at once: the ingest is what is fuzzed.
    platform::host::setReachability(std::string("unknown"));
    return 0;
}

namespace {

// The campaign ids of a list the ingest takes whole, or nothing.
std::optional<std::set<std::string>> idsOf(const std::string& text) {
    auto json = ext::toDictionary(text);
    if (!json || !json->count("data") || !json->at("data").isMap()) {
        return std::nullopt;
    }
    const Value::Map& data = *json->at("data").getMap();
    if (!data.count("in_app_messages") || !data.at("in_app_messages").isArray()) {
        return std::nullopt;
    }
    std::set<std::string> ids;
    for (const auto& c : *data.at("in_app_messages").getArray()) {
        if (!c.isMap() || !c.getMap()->count("campaign_id") ||
            !c.getMap()->at("campaign_id").isString()) {
            return std::nullopt;
        }
        const std::string& id = *c.getMap()->at("campaign_id").getString();
        if (!id.empty()) {
            ids.insert(id);
        }
    }
    return ids;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::NoDestructor<std::shared_ptr<DataRegistry>> registry(fz::memoryRegistry());
    static platform::NoDestructor<std::shared_ptr<InAppMessageDAO>> dao(
        InAppMessageDAO::create(registry.get()));
    static std::uint64_t runs = 0;
    fz::check(dao.get() != nullptr, "the campaign store does not open");
    auto& store = dao.get()->store();
    if (++runs % 500 == 0) {
        // Counters and image rows of old lists would pile up without end.
        store.dropTables();
        store.createTables();
    }
    auto& reg = *registry.get();
    reg.putString(std::string("before"), DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM);
    const std::string text(reinterpret_cast<const char*>(data), size);
    dao.get()->insertApiResponse2Table(text);

    const std::string checksum =
        reg.getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, "before");
    const auto ids = idsOf(text);
    if (checksum != "before" && ids) {
        auto json = ext::toDictionary(text);
        const Value::Map& d = *json->at("data").getMap();
        const bool changed = d.at("status") != Value("unchanged") &&
                             d.at("checksum") != Value("__no_active_campaign__");
        if (changed) {
            auto stored = store.getAllCampaignId();
            const std::set<std::string> storedSet(stored.begin(), stored.end());
            fz::check(storedSet == *ids, "a settled checksum names a list the store does not hold");
        }
    }
    // Selection over whatever was stored never fails.
    (void)dao.get()->getInAppMessageByEventName("custom:buy", true);
    return 0;
}
