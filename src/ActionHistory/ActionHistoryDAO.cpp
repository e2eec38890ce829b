#include "ActionHistory/ActionHistoryDAO.h"

#include <optional>
#include <utility>

#include "ActionHistory/ActionHistorySqliteStore.h"
#include "Common/Constants.h"
#include "Common/Extensions.h"
#include "Common/Language.h"
#include "Common/SvlLog.h"
#include "Platform/Clock.h"
#include "Push/RemotePushKeys.h"

namespace sorvel {
namespace {

using push::integerAt;
using push::mapAt;
using push::stringAt;

constexpr const char* kPushActionType = "PUSH_IOS";

std::optional<std::int32_t> int32At(const Value::Map& map, std::string_view key) {
    auto v = integerAt(map, key);
    if (!v || *v < INT32_MIN || *v > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*v);
}

std::optional<std::string> optText(const Value::Map& map, std::string_view key) {
    const std::string* s = stringAt(map, key);
    return s ? std::optional<std::string>(*s) : std::nullopt;
}

StatusOr<ActionHistoryResult::Entries, ActionHistoryError> toEntries(
    StatusOr<std::vector<ActionHistoryData>, ActionHistoryError> read) {
    if (!read) {
        return read.error();
    }
    const std::vector<ActionHistoryData>& rows = read.value();
    ActionHistoryResult::Entries entries;
    entries.reserve(rows.size());
    for (const auto& row : rows) {
        auto content = ActionContent::fromJsonString(row.content);
        if (!content) {
            SvlLog::error(
                "getActionHistory :: skipped a row whose content cannot be read, "
                "historyId : " +
                    row.historyId,
                true);
            continue;
        }
        entries.push_back(std::make_shared<const ActionHistory>(
            row.historyId, row.actionType, row.timeStamp, std::move(*content), row.isRead,
            row.group, row.isServerSynced));
    }
    return entries;
}

void logIncompleteEntry(const std::string& json) {
    SvlLog::error(
        "insertActionHistory2Table(historyArr:) : some value in historyJson is nil, "
        "historyJson : " +
            json,
        true);
}

// The synced row of a server entry, or nothing (logged) when it lacks a
// required value.
std::optional<ActionHistoryRow> serverRow(const Value::Map& entry) {
    const std::string* id = stringAt(entry, Constants::HISTORY_KEY_ID);
    const std::string* type = stringAt(entry, Constants::HISTORY_KEY_TYPE);
    const Value::Map* contents = mapAt(entry, Constants::HISTORY_KEY_CONTENTS);
    std::optional<std::string> contentText = contents ? ext::toJsonString(*contents) : std::nullopt;
    auto timeStamp = integerAt(entry, Constants::HISTORY_KEY_TIMESTAMP);
    const std::string* campaignId = stringAt(entry, Constants::HISTORY_KEY_CAMPAIGN_ID);
    auto revision = int32At(entry, Constants::HISTORY_KEY_CAMPAIGN_REVISION_NO);
    const std::string* stepId = stringAt(entry, Constants::HISTORY_KEY_STEP_ID);
    const std::string* cycleTime = stringAt(entry, Constants::HISTORY_KEY_CYCLE_TIME);
    if (!id || !type || !contentText || !timeStamp || !campaignId || !revision || !stepId ||
        !cycleTime) {
        logIncompleteEntry(ext::toJsonFormat(entry));
        return std::nullopt;
    }
    const std::string* group = stringAt(entry, Constants::HISTORY_KEY_ACTION_GROUP);
    return ActionHistoryRow{*id,       *type,       *timeStamp,
                            *stepId,   *cycleTime,  std::move(*contentText),
                            *revision, *campaignId, group ? *group : std::string(),
                            true,      false};
}

}  // namespace

StatusOr<std::shared_ptr<ActionHistoryDAO>, ActionHistoryError> ActionHistoryDAO::open(
    std::shared_ptr<DataRegistry> dataRegistry, std::shared_ptr<ActionHistorySqliteStore> store) {
    if (!store) {
        auto opened = ActionHistorySqliteStore::open();
        if (!opened) {
            return opened.error();
        }
        store = std::move(opened).value();
    }
    return std::make_shared<ActionHistoryDAO>(std::move(dataRegistry), std::move(store));
}

ActionHistoryDAO::ActionHistoryDAO(std::shared_ptr<DataRegistry> dataRegistry,
                                   std::shared_ptr<ActionHistorySqliteStore> store)
    : dataRegistry_(std::move(dataRegistry)), store_(std::move(store)) {}

ActionHistoryDAO::ServerListWriter::ServerListWriter(ActionHistorySqliteStore& store)
    : store_(store) {}

ActionHistoryDAO::ServerListWriter::~ServerListWriter() {
    finish();
}

void ActionHistoryDAO::ServerListWriter::add(const Value& element) {
    if (const Value::Map* entry = element.getMap()) {
        add(*entry);
    } else {
        logIncompleteEntry(element.toJson());
    }
}

void ActionHistoryDAO::ServerListWriter::add(const Value::Map& entry) {
    auto row = serverRow(entry);
    if (!row) {
        return;
    }
    bytes_ += row->historyId.size() + row->content.size();
    rows_.push_back(std::move(*row));
    if (rows_.size() >= CHUNK_ROWS || bytes_ >= CHUNK_BYTES) {
        finish();
    }
}

void ActionHistoryDAO::ServerListWriter::finish() {
    if (!rows_.empty()) {
        store_.insertRows(rows_);
        rows_.clear();
    }
    bytes_ = 0;
}

ActionHistoryDAO::ServerListWriter ActionHistoryDAO::serverListWriter() {
    return ServerListWriter(*store_);
}

void ActionHistoryDAO::insertActionHistory2Table(const Value::Array& historyArr) {
    ServerListWriter writer(*store_);
    for (const auto& element : historyArr) {
        writer.add(element);
    }
    writer.finish();
}

void ActionHistoryDAO::insertPushData(const Value::Map& pushJsonDic) {
    const Value::Map* aps = push::apsOf(pushJsonDic);
    const Value::Map* custom = aps ? mapAt(*aps, push::KEY_CUSTOM_ALERT) : nullptr;
    const Value::Map* alert = custom ? mapAt(*custom, FvnUtil::getLanguage()) : nullptr;
    if (custom && !alert) {
        alert = mapAt(*aps, push::KEY_ALERT);
    }
    const std::string* stepId = alert ? stringAt(*aps, push::KEY_GF_STEP_ID) : nullptr;
    const std::string* cycleTime = stepId ? stringAt(*aps, push::KEY_GF_CYCLE_TIME) : nullptr;
    auto notificationId = cycleTime ? integerAt(*aps, push::KEY_NOTIFICATION_ID) : std::nullopt;
    auto revision =
        notificationId ? int32At(*aps, push::KEY_GF_CAMPAIGN_REVISION_NO) : std::nullopt;
    const std::string* campaignId = revision ? stringAt(*aps, push::KEY_GF_CAMPAIGN_ID) : nullptr;
    if (!campaignId) {
        SvlLog::error("insertPushData :: no essential Value", true);
        return;
    }
    const std::int64_t timeStamp = ext::toMillis(platform::clock().wallNow());
    const std::string notificationText = std::to_string(*notificationId);
    const std::string historyId = std::string(kPushActionType) + "::" + notificationText;

    std::optional<std::map<std::string, std::string>> deeplinkJson;
    if (auto text = optText(*alert, push::KEY_DEEP_LINK_JSON)) {
        if (auto map = ext::toDictionary(*text)) {
            std::map<std::string, std::string> links;
            bool allText = true;
            for (const auto& [key, value] : *map) {
                if (!value.isString()) {
                    allText = false;
                    break;
                }
                links.emplace(key, *value.getString());
            }
            if (allText) {
                deeplinkJson = std::move(links);
            }
        }
    }
    const ActionContent content(
        notificationText, optText(*alert, push::KEY_TITLE), optText(*alert, push::KEY_SUBTITLE),
        optText(*alert, push::KEY_BODY), std::nullopt, std::nullopt, std::nullopt, std::nullopt,
        optText(*alert, push::KEY_IMG), std::move(deeplinkJson),
        optText(*alert, push::KEY_DEEP_LINK_URL), std::nullopt, std::nullopt, std::nullopt);
    store_->insert(historyId, kPushActionType, timeStamp, *stepId, *cycleTime,
                   content.toJsonString(), *revision, *campaignId, "", false, false);
}

void ActionHistoryDAO::dropTable() {
    store_->dropTable();
}

void ActionHistoryDAO::createTable() {
    store_->createTable();
}

StatusOr<ActionHistoryResult::Entries, ActionHistoryError> ActionHistoryDAO::getAllActionHistory(
    const std::vector<std::string>& actionType) {
    return toEntries(store_->getAllActionHistory(actionType));
}

StatusOr<ActionHistoryResult::Entries, ActionHistoryError> ActionHistoryDAO::getActionHistory(
    std::int64_t skip, std::int64_t limit, const std::vector<std::string>& actionType) {
    return toEntries(store_->getActionHistory(skip, limit, actionType));
}

bool ActionHistoryDAO::deleteActionHistory(const std::string& historyId, std::int64_t timeStamp) {
    return store_->deleteActionHistory(historyId, timeStamp);
}

bool ActionHistoryDAO::clearSyncedActionHistoryInLocalDB() {
    return store_->clearSyncedActionHistoryInLocalDB();
}

bool ActionHistoryDAO::clearAllActionHistoryInLocalDB() {
    return store_->clearAllActionHistoryInLocalDB();
}

StatusOr<std::int64_t, ActionHistoryError> ActionHistoryDAO::getLastServerTimeStamp() {
    return store_->getLastServerTimeStamp();
}

void ActionHistoryDAO::deleteOutDatedPushData(std::int64_t lastTimeStamp) {
    store_->deleteOutDatedPushData(lastTimeStamp);
}

}  // namespace sorvel
