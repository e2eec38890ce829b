#include "InAppMessage/InAppMessageDAO.h"

#include <algorithm>
#include <limits>
#include <unordered_set>
#include <utility>

#include "Common/DataRegistry.h"
#include "Common/DatesAndIds.h"
#include "Common/Extensions.h"
#include "Common/SvlLog.h"
#include "Platform/Clock.h"

namespace sorvel {
namespace {

using inapp::LANDSCAPE;
using inapp::NO_IMAGE;
using inapp::PORTRAIT;

const Value* find(const Value::Map& map, const char* key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

const Value::Map* mapAt(const Value::Map& map, const char* key) {
    const Value* v = find(map, key);
    return v ? v->getMap() : nullptr;
}

const std::string* textAt(const Value::Map& map, const char* key) {
    const Value* v = find(map, key);
    return v ? v->getString() : nullptr;
}

std::optional<std::string> optionalTextAt(const Value::Map& map, const char* key) {
    const std::string* text = textAt(map, key);
    return text ? std::optional<std::string>(*text) : std::nullopt;
}

std::optional<std::int64_t> integerAt(const Value::Map& map, const char* key) {
    const Value* v = find(map, key);
    return v && v->isInteger() ? v->toInt64() : std::nullopt;
}

std::optional<std::int32_t> int32At(const Value::Map& map, const char* key) {
    auto v = integerAt(map, key);
    if (!v || *v < std::numeric_limits<std::int32_t>::min() ||
        *v > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*v);
}

// An array whose every element is an object; nothing otherwise.
const Value::Array* objectArrayAt(const Value::Map& map, const char* key) {
    const Value* v = find(map, key);
    const Value::Array* array = v ? v->getArray() : nullptr;
    if (!array) {
        return nullptr;
    }
    for (const auto& element : *array) {
        if (!element.isMap()) {
            return nullptr;
        }
    }
    return array;
}

// An array whose every element is a text; nothing otherwise.
std::optional<std::vector<std::string>> textArrayAt(const Value::Map& map, const char* key) {
    const Value* v = find(map, key);
    const Value::Array* array = v ? v->getArray() : nullptr;
    if (!array) {
        return std::nullopt;
    }
    std::vector<std::string> out;
    out.reserve(array->size());
    for (const auto& element : *array) {
        if (!element.isString()) {
            return std::nullopt;
        }
        out.push_back(*element.getString());
    }
    return out;
}

std::string objectJson(const Value::Map* map) {
    return ext::toJsonFormat(map ? *map : Value::Map{});
}

std::optional<std::int64_t> parseDate(const std::string& text) {
    auto date = FvnUtil::DATE_FORMATTER_UTC_MILLIS().date(text);
    if (!date) {
        date = FvnUtil::DATE_FORMATTER_UTC_SECONDS().date(text);
    }
    if (!date) {
        return std::nullopt;
    }
    return ext::toMillis(*date);
}

}  // namespace

// ---- Construction ----------------------------------------------------------------

std::shared_ptr<InAppMessageDAO> InAppMessageDAO::create(
    std::shared_ptr<DataRegistry> dataRegistry, std::shared_ptr<InAppMessageSqliteStore> store) {
    if (!store) {
        store = InAppMessageSqliteStore::open();
        if (!store) {
            return nullptr;
        }
    }
    return std::shared_ptr<InAppMessageDAO>(
        new InAppMessageDAO(std::move(dataRegistry), std::move(store)));
}

InAppMessageDAO::InAppMessageDAO(std::shared_ptr<DataRegistry> dataRegistry,
                                 std::shared_ptr<InAppMessageSqliteStore> store)
    : dataRegistry_(std::move(dataRegistry)),
      store_(std::move(store)),
      imageDispatchQueue_(platform::DispatchQueue::makeSerial("inAppMessageImageDownloadQueue")) {}

InAppMessageDAO::~InAppMessageDAO() = default;

// ---- Ingest ---------------------------------------------------------------------------

void InAppMessageDAO::insertApiResponse2Table(const std::string& response) {
    const auto json = ext::toDictionary(response);
    if (!json) {
        SvlLog::error(
            "InAppMessageDAO.insertApiResponse2Table : can not cast response to jsonObject, "
            "response : " +
                response,
            true);
        return;
    }
    const Value::Map* data = mapAt(*json, "data");
    const std::string* status = data ? textAt(*data, "status") : nullptr;
    const std::string* checksum = data ? textAt(*data, "checksum") : nullptr;
    const auto minutes = data ? integerAt(*data, "minutes_to_expiry") : std::nullopt;
    if (!status || !checksum || !minutes) {
        SvlLog::error(
            "InAppMessageDAO.insertApiResponse2Table : no status or checksum or minutesToExpiry ",
            true);
        return;
    }
    // The expiry first; the checksum only once the store holds what it names,
    // so that an interrupted or failed rewrite is asked for in full again.
    dataRegistry_->putInt(*minutes, DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY);
    dataRegistry_->putInt64(ext::toMillis(platform::clock().wallNow()),
                            DataRegistryKey::INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME);
    if (!isCampaignChanged(*status, *checksum, *minutes)) {
        dataRegistry_->putString(*checksum, DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM);
        return;
    }
    const std::uint64_t failuresBefore = store_->writeFailures();
    store_->deleteAllCampaigns();
    if (auto error = insertInAppMessages(*data)) {
        SvlLog::error(std::string("InAppMessageDAO.insertApiResponse2Table : ") + describe(*error),
                      true);
        return;
    }
    if (store_->writeFailures() != failuresBefore) {
        SvlLog::error(
            "InAppMessageDAO.insertApiResponse2Table : the campaign list was not stored whole; "
            "it is asked for again",
            true);
        return;
    }
    dataRegistry_->putString(*checksum, DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM);
}

bool InAppMessageDAO::isCampaignChanged(const std::string& status, const std::string& checksum,
                                        std::int64_t) {
    if (status == CHECKSUM_UNCHANGED) {
        SvlLog::debug("isCampaignChanged: inAppMessage Campaign " + status, true);
        return false;
    }
    if (checksum == CHECKSUM_NO_ACTIVE_CAMPAIGN) {
        SvlLog::debug("isCampaignChanged: No Active Campaign", true);
        return false;
    }
    return true;
}

std::optional<InAppMessageError> InAppMessageDAO::insertInAppMessages(const Value::Map& data) {
    const Value::Array* campaigns = objectArrayAt(data, "in_app_messages");
    if (!campaigns) {
        return InAppMessageError::NoValueError;
    }
    std::vector<std::string> campaignIds;
    campaignIds.reserve(campaigns->size());
    for (const auto& campaign : *campaigns) {
        if (auto error = insertCampaign(*campaign.getMap(), campaignIds)) {
            return error;
        }
    }
    deleteCampaignsNotIn(campaignIds);
    return std::nullopt;
}

std::optional<InAppMessageError> InAppMessageDAO::insertCampaign(
    const Value::Map& campaign, std::vector<std::string>& campaignIds) {
    constexpr auto kNoValue = InAppMessageError::NoValueError;
    const Value::Map* contents = mapAt(campaign, "contents");
    const std::string* campaignId = contents ? textAt(campaign, "campaign_id") : nullptr;
    const Value::Map* frequencyCap = campaignId ? mapAt(campaign, "frequency_cap") : nullptr;
    const Value::Array* triggers = frequencyCap ? objectArrayAt(campaign, "triggers") : nullptr;
    const Value::Array* times = triggers ? objectArrayAt(campaign, "available_time") : nullptr;
    if (!times) {
        return kNoValue;
    }
    const auto start = getStartDateTimeInt64(optionalTextAt(campaign, "start_datetime"));
    if (!start) {
        return kNoValue;
    }
    const auto end = getEndDateTimeInt64(optionalTextAt(campaign, "end_datetime"));
    if (!end) {
        return kNoValue;
    }
    const auto lastUpdated =
        getLastUpdatedDateTimeInt64(optionalTextAt(campaign, "last_updated_datetime"));
    if (!lastUpdated) {
        return kNoValue;
    }
    const auto orientations = textArrayAt(campaign, "page_orientation");
    if (!orientations) {
        return kNoValue;
    }
    const std::string& id = *campaignId;
    campaignIds.push_back(id);

    auto has = [&](const char* orientation) {
        return std::find(orientations->begin(), orientations->end(), orientation) !=
               orientations->end();
    };
    const Value::Map* bgStyle = mapAt(*contents, "bg_style");
    const Value::Map* closeButton = mapAt(*contents, "default_close_button");
    const Value::Map* perPeriod = mapAt(*frequencyCap, "per_period");
    const Value::Array* buttons = objectArrayAt(*contents, "buttons");
    auto textOr = [](const Value::Map* map, const char* key) {
        const std::string* text = map ? textAt(*map, key) : nullptr;
        return text ? *text : std::string();
    };
    auto int32Or = [](const Value::Map* map, const char* key) {
        return map ? int32At(*map, key).value_or(0) : 0;
    };

    CampaignRow row;
    row.campaignId = id;
    row.portraitAvailable = has(PORTRAIT) ? 1 : 0;
    row.landscapeAvailable = has(LANDSCAPE) ? 1 : 0;
    row.externalAttr = objectJson(mapAt(campaign, "ext_attr"));
    row.timezoneOffset = int32Or(&campaign, "timezone_offset");
    row.timezoneType = textOr(&campaign, "timezone_type");
    row.texts.type = textOr(&campaign, "type");
    row.texts.layout = textOr(&campaign, "layout");
    row.texts.bgColor = textOr(bgStyle, "bg_color");
    row.texts.overlayColor = textOr(bgStyle, "overlay_color");
    row.texts.contentsText = objectJson(mapAt(*contents, "text"));
    row.texts.contentsButtons = ext::toJsonFormat(buttons ? *buttons : Value::Array{});
    row.texts.defaultCloseButtonColor = textOr(closeButton, "color");
    row.texts.defaultCloseButtonBgColor = textOr(closeButton, "bg_color");
    row.texts.stickyBannerOption = objectJson(mapAt(*contents, "sticky_banner_option"));
    row.frequencyCapPerSession = int32Or(frequencyCap, "per_session");
    row.frequencyCapPerUser = int32Or(frequencyCap, "per_user");
    row.frequencyCapForPeriodInMinutes = int32Or(perPeriod, "period_in_minutes");
    row.frequencyCapForPeriodPerPeriod = int32Or(perPeriod, "per_period");
    row.startDateTime = *start;
    row.endDateTime = *end;
    row.lastUpdatedTime = *lastUpdated;
    store_->insertInAppMessageTable(row);

    for (const auto& element : *triggers) {
        const Value::Map& trigger = *element.getMap();
        const std::string* evt = textAt(trigger, "evt");
        const std::string* type = textAt(trigger, "type");
        const auto priority = int32At(trigger, "priority");
        if (!evt || !type || !priority) {
            return kNoValue;
        }
        store_->insertTriggerTable(id, *type, *evt, *priority);
    }

    if (times->empty()) {
        store_->insertAvailableTimeTable(id, inapp::AVAILABLE_TIME_ALL, 0, 0);
    }
    for (const auto& element : *times) {
        const Value::Map& window = *element.getMap();
        const auto days = textArrayAt(window, "days");
        const auto startMin = int32At(window, "start_min");
        const auto endMin = int32At(window, "end_min");
        if (!days || !startMin || !endMin) {
            return kNoValue;
        }
        for (const auto& day : *days) {
            store_->insertAvailableTimeTable(id, day, *startMin, *endMin);
        }
    }

    if (!store_->isCurrentFrequencyExist(id)) {
        store_->insertCurrentFrequencyCapTable(id, 0, 0, 0, 0);
    }

    const Value::Map* image = mapAt(*contents, "image");
    const Value::Map* urls = image ? mapAt(*image, "url") : nullptr;
    for (const char* orientation : {PORTRAIT, LANDSCAPE}) {
        if (!has(orientation) || !urls) {
            continue;
        }
        const std::string* url = textAt(*urls, orientation);
        if (!url || *url == store_->getImageUrlFromImageTable(id, orientation)) {
            continue;
        }
        store_->deleteImageRow(id, orientation);
        store_->insertImageTable(id, orientation, *url, NO_IMAGE,
                                 objectJson(mapAt(*image, "click_action")), false);
        queueImageDownload(id, orientation);
    }
    return std::nullopt;
}

void InAppMessageDAO::queueImageDownload(const std::string& campaignId,
                                         const std::string& orientation) {
    // The block holds the store, not this object: the queue belongs to this
    // object and must not be the one to let it go.
    imageDispatchQueue_->async([store = store_, campaignId, orientation] {
        (void)store->getAndSaveImageInfo(campaignId, orientation, false);
    });
}

// ---- Upkeep ------------------------------------------------------------------------------

void InAppMessageDAO::closeForOneDay(const std::string& campaignId, const std::string& day,
                                     std::int64_t time) {
    store_->closeForOneDay(campaignId, day, time);
}

void InAppMessageDAO::resetFrequencyCapPerSession() {
    store_->resetFrequencyCapPerSession();
}

void InAppMessageDAO::deleteCampaignsNotIn(const std::vector<std::string>& campaignIds) {
    const std::unordered_set<std::string> keep(campaignIds.begin(), campaignIds.end());
    for (const auto& stored : store_->getAllCampaignId()) {
        if (!keep.contains(stored)) {
            store_->deleteCampaign(stored);
        }
    }
}

void InAppMessageDAO::deleteAllImagesAndDropTables() {
    store_->deleteAllImagesAndDropTables();
}

void InAppMessageDAO::createTables() {
    store_->createTables();
}

// ---- Selection and images -------------------------------------------------------------------

std::shared_ptr<const InAppMessage> InAppMessageDAO::getInAppMessageByEventName(
    const std::string& eventName, bool isPortrait) {
    auto candidates = store_->campaignIdsForEvent(eventName);
    sortCandidates(candidates);
    for (const auto& candidate : candidates) {
        const std::string& id = candidate.campaignId;
        if (!store_->isCampaignIdTimeAvailable(id)) {
            continue;
        }
        auto next = store_->isCampaignIdFrequencyAvailable(id);
        if (!next) {
            continue;
        }
        auto message = store_->getInAppMessageByCampaignId(id, isPortrait);
        if (!message) {
            // Not shown: nothing to count.
            continue;
        }
        store_->countShowing(id, *next);
        SvlLog::debug("getInAppMessageByCampaignId Success, campaignId = " + id, true);
        return message;
    }
    SvlLog::debug(
        "getInAppMessageByCampaignId Fail, No Valid InAppMessage, eventName : " + eventName, true);
    return nullptr;
}

std::optional<ImageInfo> InAppMessageDAO::getAndSaveImageInfo(const std::string& campaignId,
                                                              bool isPortrait, bool isFirstShow) {
    const std::string orientation = isPortrait ? PORTRAIT : LANDSCAPE;
    std::optional<ImageInfo> out;
    imageDispatchQueue_->sync(
        [&] { out = store_->getAndSaveImageInfo(campaignId, orientation, isFirstShow); });
    return out;
}

void InAppMessageDAO::waitForImageQueue() {
    imageDispatchQueue_->sync([] {});
}

// ---- Dates ------------------------------------------------------------------------------------

std::optional<std::int64_t> InAppMessageDAO::getStartDateTimeInt64(
    const std::optional<std::string>& text) {
    if (!text) {
        SvlLog::error("getStartDateTimeInt64 :: startDateString is nil", true);
        return std::nullopt;
    }
    auto millis = parseDate(*text);
    if (!millis) {
        SvlLog::error(
            "getStartDateTimeInt64 :: Cannot covert startDateString to date, startDateString : " +
                *text,
            true);
    }
    return millis;
}

std::optional<std::int64_t> InAppMessageDAO::getEndDateTimeInt64(
    const std::optional<std::string>& text) {
    if (!text || *text == NULL_STRING) {
        return 0;
    }
    auto millis = parseDate(*text);
    if (!millis) {
        SvlLog::error(
            "getStartDateTimeInt64 :: Cannot covert endDateString to date, endDateString : " +
                *text,
            true);
    }
    return millis;
}

std::optional<std::int64_t> InAppMessageDAO::getLastUpdatedDateTimeInt64(
    const std::optional<std::string>& text) {
    if (!text) {
        SvlLog::error("getLastUpdatedDateTimeInt64 :: lastUpdatedDateString is nil", true);
        return std::nullopt;
    }
    auto date = FvnUtil::DATE_FORMATTER_UTC_7_FRACTION_Z().date(*text);
    if (!date) {
        SvlLog::error(
            "getLastUpdatedDateTimeInt64 :: Cannot covert lastUpdatedDateString to date, "
            "lastUpdatedDateString : " +
                *text,
            true);
        return std::nullopt;
    }
    return ext::toMillis(*date);
}

std::vector<std::string> InAppMessageDAO::sortCampaignIds(
    std::vector<SortableCampaignId> candidates) {
    sortCandidates(candidates);
    std::vector<std::string> out;
    out.reserve(candidates.size());
    for (auto& candidate : candidates) {
        out.push_back(std::move(candidate.campaignId));
    }
    return out;
}

}  // namespace sorvel
