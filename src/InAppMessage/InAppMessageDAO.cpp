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

// The text with each NUL written as "\0", for a log line.
std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\0') {
            out += "\\0";
        } else {
            out += c;
        }
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
    if (store->openedEmpty()) {
        // The server is asked with the stored checksum and answers
        // "unchanged" while its list stays the same: an empty store that kept
        // them would never be filled again.
        SvlLog::debug(
            "InAppMessageDAO : the campaign store opened empty; the whole campaign list "
            "is asked for at the next session start",
            true);
        // An absent text removes the stored value, whatever its type.
        dataRegistry->putString(std::nullopt, DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM);
        dataRegistry->putString(std::nullopt,
                                DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY);
        dataRegistry->putString(std::nullopt,
                                DataRegistryKey::INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME);
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
    const Value::Map* data = mapAt(*json, RESPONSE_DATA);
    const std::string* status = data ? textAt(*data, RESPONSE_STATUS) : nullptr;
    const std::string* checksum = data ? textAt(*data, RESPONSE_CHECKSUM) : nullptr;
    const auto minutes = data ? integerAt(*data, RESPONSE_MINUTES_TO_EXPIRY) : std::nullopt;
    if (!status || !checksum || !minutes) {
        SvlLog::error(
            "InAppMessageDAO.insertApiResponse2Table : no status or checksum or minutesToExpiry ",
            true);
        return;
    }
    auto storeExpiry = [&] {
        dataRegistry_->putInt(*minutes, DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY);
        dataRegistry_->putInt64(ext::toMillis(platform::clock().wallNow()),
                                DataRegistryKey::INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME);
    };
    if (!isCampaignChanged(*status, *checksum, *minutes)) {
        dataRegistry_->putString(*checksum, DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM);
        storeExpiry();
        return;
    }
    // The list is replaced in one transaction, and what the device tells the
    // server about its list (the checksum) and when it asks again (the
    // expiry) is written only once the transaction committed: a process
    // killed halfway keeps the old list whole, and the next session start
    // asks for the new one again.
    std::vector<ImageDownload> downloads;
    StatusOr<void, InAppMessageError> inserted;
    bool whole = false;
    {
        auto rewrite = store_->beginRewrite();
        if (!rewrite->begun()) {
            SvlLog::error(
                "InAppMessageDAO.insertApiResponse2Table : the campaign list can not be "
                "stored now (" +
                    rewrite->begun().message() + "); it is asked for again",
                true);
            return;
        }
        const std::uint64_t failuresBefore = store_->writeFailures();
        store_->deleteAllCampaigns();
        inserted = insertInAppMessages(*data, downloads);
        if (store_->writeFailures() != failuresBefore) {
            // Rolled back as the rewrite ends: the old list stays whole.
            SvlLog::error(
                "InAppMessageDAO.insertApiResponse2Table : the campaign list was not stored "
                "whole; it is asked for again",
                true);
            return;
        }
        if (Status committed = rewrite->commit(); !committed) {
            SvlLog::error(
                "InAppMessageDAO.insertApiResponse2Table : the campaign list was not "
                "stored (" +
                    committed.message() + "); it is asked for again",
                true);
            return;
        }
        whole = static_cast<bool>(inserted);
    }
    for (const auto& download : downloads) {
        queueImageDownload(download.campaignId, download.orientation);
    }
    if (!whole) {
        // A list the server got wrong stops where it went wrong; what came
        // before stays, and its checksum is not stored, so the next request
        // asks for the whole list again.
        SvlLog::error(
            std::string("InAppMessageDAO.insertApiResponse2Table : ") + describe(inserted.error()),
            true);
        storeExpiry();
        return;
    }
    dataRegistry_->putString(*checksum, DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM);
    storeExpiry();
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

StatusOr<void, InAppMessageError> InAppMessageDAO::insertInAppMessages(const Value::Map& data) {
    std::vector<ImageDownload> downloads;
    auto inserted = insertInAppMessages(data, downloads);
    for (const auto& download : downloads) {
        queueImageDownload(download.campaignId, download.orientation);
    }
    return inserted;
}

StatusOr<void, InAppMessageError> InAppMessageDAO::insertInAppMessages(
    const Value::Map& data, std::vector<ImageDownload>& downloads) {
    const Value::Array* campaigns = objectArrayAt(data, RESPONSE_IAM);
    if (!campaigns) {
        return InAppMessageError::NoValueError;
    }
    std::vector<std::string> campaignIds;
    campaignIds.reserve(campaigns->size());
    for (const auto& campaign : *campaigns) {
        if (auto inserted = insertCampaign(*campaign.getMap(), campaignIds, downloads); !inserted) {
            return inserted;
        }
    }
    deleteCampaignsNotIn(campaignIds);
    return {};
}

StatusOr<void, InAppMessageError> InAppMessageDAO::insertCampaign(
    const Value::Map& campaign, std::vector<std::string>& campaignIds,
    std::vector<ImageDownload>& downloads) {
    constexpr auto kNoValue = InAppMessageError::NoValueError;
    const Value::Map* contents = mapAt(campaign, RESPONSE_IAM_CONTENTS);
    const std::string* campaignId = contents ? textAt(campaign, RESPONSE_IAM_CAMPAIGN_ID) : nullptr;
    const Value::Map* frequencyCap =
        campaignId ? mapAt(campaign, RESPONSE_IAM_FREQUENCY_CAP) : nullptr;
    const Value::Array* triggers =
        frequencyCap ? objectArrayAt(campaign, RESPONSE_IAM_TRIGGERS) : nullptr;
    const Value::Array* times =
        triggers ? objectArrayAt(campaign, RESPONSE_IAM_AVAILABLE_TIME) : nullptr;
    if (!times) {
        return kNoValue;
    }
    const auto start = getStartDateTimeInt64(optionalTextAt(campaign, RESPONSE_IAM_START_DATETIME));
    if (!start) {
        return kNoValue;
    }
    const auto end = getEndDateTimeInt64(optionalTextAt(campaign, RESPONSE_IAM_END_DATETIME));
    if (!end) {
        return kNoValue;
    }
    const auto lastUpdated =
        getLastUpdatedDateTimeInt64(optionalTextAt(campaign, RESPONSE_IAM_LAST_UPDATED_DATETIME));
    if (!lastUpdated) {
        return kNoValue;
    }
    const auto orientations = textArrayAt(campaign, RESPONSE_IAM_PAGE_ORIENTATION);
    if (!orientations) {
        return kNoValue;
    }
    const std::string& id = *campaignId;
    // SQLite keeps a NUL inside a text, but much of what reads the rows back
    // ends a text at it: "a\0b" would be found as "a", and two campaigns could
    // become one. Such a campaign is left out whole.
    bool hasNul = id.find('\0') != std::string::npos;
    for (const auto& element : *triggers) {
        const std::string* evt = textAt(*element.getMap(), RESPONSE_IAM_TRIGGERS_EVT);
        hasNul = hasNul || (evt && evt->find('\0') != std::string::npos);
    }
    if (hasNul) {
        SvlLog::error(
            "InAppMessageDAO.insertInAppMessages : a campaign id or trigger name holds a NUL "
            "character, campaign left out : " +
                printable(id),
            true);
        return {};
    }
    campaignIds.push_back(id);

    auto has = [&](const char* orientation) {
        return std::find(orientations->begin(), orientations->end(), orientation) !=
               orientations->end();
    };
    const Value::Map* bgStyle = mapAt(*contents, RESPONSE_IAM_CONTENTS_BG_STYLE);
    const Value::Map* closeButton = mapAt(*contents, RESPONSE_IAM_CONTENTS_DEFAULT_CLOSE_BUTTON);
    const Value::Map* perPeriod = mapAt(*frequencyCap, RESPONSE_IAM_FREQUENCY_CAP_PER_PERIOD);
    const Value::Array* buttons = objectArrayAt(*contents, RESPONSE_IAM_CONTENTS_BUTTONS);
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
    row.externalAttr = objectJson(mapAt(campaign, RESPONSE_IAM_EXT_ATTR));
    row.timezoneOffset = int32Or(&campaign, RESPONSE_IAM_TIMEZONE_OFFSET);
    row.timezoneType = textOr(&campaign, RESPONSE_IAM_TIMEZONE_TYPE);
    row.texts.type = textOr(&campaign, RESPONSE_IAM_TYPE);
    row.texts.layout = textOr(&campaign, RESPONSE_IAM_LAYOUT);
    row.texts.bgColor = textOr(bgStyle, RESPONSE_IAM_CONTENTS_BG_STYLE_BG_COLOR);
    row.texts.overlayColor = textOr(bgStyle, RESPONSE_IAM_CONTENTS_BG_STYLE_OVERLAY_COLOR);
    row.texts.contentsText = objectJson(mapAt(*contents, RESPONSE_IAM_CONTENTS_TEXT));
    row.texts.contentsButtons = ext::toJsonFormat(buttons ? *buttons : Value::Array{});
    row.texts.defaultCloseButtonColor =
        textOr(closeButton, RESPONSE_IAM_CONTENTS_DEFAULT_CLOSE_BUTTON_COLOR);
    row.texts.defaultCloseButtonBgColor =
        textOr(closeButton, RESPONSE_IAM_CONTENTS_DEFAULT_CLOSE_BUTTON_BG_COLOR);
    row.texts.stickyBannerOption =
        objectJson(mapAt(*contents, RESPONSE_IAM_CONTENTS_STICKY_BANNER_OPTION));
    row.frequencyCapPerSession = int32Or(frequencyCap, RESPONSE_IAM_FREQUENCY_CAP_PER_SESSION);
    row.frequencyCapPerUser = int32Or(frequencyCap, RESPONSE_IAM_FREQUENCY_CAP_PER_USER);
    row.frequencyCapForPeriodInMinutes =
        int32Or(perPeriod, RESPONSE_IAM_FREQUENCY_CAP_PER_PERIOD_PERIOD_IN_MINUTES);
    row.frequencyCapForPeriodPerPeriod =
        int32Or(perPeriod, RESPONSE_IAM_FREQUENCY_CAP_PER_PERIOD_PER_PERIOD);
    row.startDateTime = *start;
    row.endDateTime = *end;
    row.lastUpdatedTime = *lastUpdated;
    store_->insertInAppMessageTable(row);

    for (const auto& element : *triggers) {
        const Value::Map& trigger = *element.getMap();
        const std::string* evt = textAt(trigger, RESPONSE_IAM_TRIGGERS_EVT);
        const std::string* type = textAt(trigger, RESPONSE_IAM_TRIGGERS_TYPE);
        const auto priority = int32At(trigger, RESPONSE_IAM_TRIGGERS_PRIORITY);
        if (!evt || !type || !priority) {
            return kNoValue;
        }
        store_->insertTriggerTable(id, *type, *evt, *priority);
    }

    if (times->empty()) {
        store_->insertAvailableTimeTable(id, AVAILABLE_TIME_ALL, 0, 0);
    }
    for (const auto& element : *times) {
        const Value::Map& window = *element.getMap();
        const auto days = textArrayAt(window, RESPONSE_IAM_AVAILABLE_TIME_DAYS);
        const auto startMin = int32At(window, RESPONSE_IAM_AVAILABLE_TIME_START_MIN);
        const auto endMin = int32At(window, RESPONSE_IAM_AVAILABLE_TIME_END_MIN);
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

    const Value::Map* image = mapAt(*contents, RESPONSE_IAM_CONTENTS_IMAGE);
    const Value::Map* urls = image ? mapAt(*image, RESPONSE_IAM_CONTENTS_IMAGE_URL) : nullptr;
    for (const char* orientation : {PORTRAIT, LANDSCAPE}) {
        if (!has(orientation) || !urls) {
            continue;
        }
        const std::string* url = textAt(*urls, orientation);
        if (!url || *url == store_->getImageUrlFromImageTable(id, orientation)) {
            continue;
        }
        store_->deleteImageRow(id, orientation);
        store_->insertImageTable(
            id, orientation, *url, NO_IMAGE,
            objectJson(mapAt(*image, RESPONSE_IAM_CONTENTS_IMAGE_CLICK_ACTION)), false);
        downloads.push_back(ImageDownload{id, orientation});
    }
    return {};
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
