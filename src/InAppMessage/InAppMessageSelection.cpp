// The store's part of choosing a message for an event: the candidates, the
// time windows, the frequency caps and the building of the message.
#include <sqlite3.h>

#include "Common/Extensions.h"
#include "Common/SvlLog.h"
#include "InAppMessage/InAppMessageSqliteStore.h"
#include "Platform/Sqlite.h"

namespace sorvel {

using platform::sqlite::quote;

std::shared_ptr<const InAppMessageSqliteStore::EventNames>
InAppMessageSqliteStore::triggerEventNames() const {
    platform::MutexLock lock(triggerNamesMu_);
    return triggerNames_ ? triggerNames_->names : nullptr;
}

void InAppMessageSqliteStore::publishTriggerNames(std::shared_ptr<const TriggerNames> names) {
    std::shared_ptr<const TriggerNames> old;
    {
        platform::MutexLock lock(triggerNamesMu_);
        old = std::move(triggerNames_);
        triggerNames_ = std::move(names);
    }
    // The old set (10,000 names take a while to free) goes after the lock.
}

std::optional<InAppMessageSqliteStore::ChangeMark> InAppMessageSqliteStore::readChangeMark() {
    if (commitWatch_ && !commitWatch_->lost()) {
        const auto mark = commitWatch_->mark();
        return mark ? std::optional(ChangeMark{true, *mark}) : std::nullopt;
    }
    platform::MutexLock lock(probeMu_);
    if (!probeVersion_) {
        return std::nullopt;
    }
    const int rc = probeVersion_.step();
    std::optional<ChangeMark> mark;
    if (rc == SQLITE_ROW) {
        mark = ChangeMark{false, static_cast<std::uint64_t>(probeVersion_.columnInt64(0))};
    }
    // Ends the read at once, so the probe never holds the log back.
    probeVersion_.reset();
    return mark;
}

bool InAppMessageSqliteStore::mayTrigger(const std::string& eventName) {
    std::shared_ptr<const TriggerNames> published;
    {
        platform::MutexLock lock(triggerNamesMu_);
        published = triggerNames_;
    }
    if (!published) {
        return true;
    }
    // Read after the names were taken: a commit that came before this call
    // (in this process or another) moved the mark past theirs.
    const auto mark = readChangeMark();
    if (!mark || *mark != published->mark) {
        return true;
    }
    return published->names->contains(eventName);
}

namespace {

// The names of the events that trigger a campaign, read on `db`; nothing when
// the table is not there (dropped, or not made yet) or the read fails.
std::shared_ptr<InAppMessageSqliteStore::EventNames> readTriggerNames(
    platform::sqlite::Connection& db, const TriggersTable& t) {
    auto s = db.prepare("SELECT DISTINCT " + t.COLUMN_NAME_EVENT_NAME + " FROM " + t.TABLE_NAME +
                        " WHERE " + t.COLUMN_NAME_TYPE + " = 'inappevent'");
    if (!s) {
        return nullptr;
    }
    auto names = std::make_shared<InAppMessageSqliteStore::EventNames>();
    int rc = SQLITE_ROW;
    while ((rc = s.step()) == SQLITE_ROW) {
        names->insert(s.columnText(0));
    }
    return rc == SQLITE_DONE ? names : nullptr;
}

}  // namespace

void InAppMessageSqliteStore::refreshTriggerEventNames() {
    platform::MutexLock lock(refreshMu_);
    const auto mark = readChangeMark();
    if (mark) {
        platform::MutexLock published(triggerNamesMu_);
        if (triggerNames_ && triggerNames_->mark == *mark) {
            return;
        }
    }
    // When nothing is known, every lookup runs in full, as it would without
    // the names.
    if (commitWatch_ && !commitWatch_->lost()) {
        if (rewriteThread_.load() == std::this_thread::get_id()) {
            // The rewrite this thread runs holds the write lock a settle
            // takes; the names are read once it has ended.
            publishTriggerNames(nullptr);
            return;
        }
        std::shared_ptr<EventNames> names;
        std::optional<std::uint64_t> settled;
        {
            platform::MutexLock probe(probeMu_);
            if (probe_) {
                platform::sqlite::Connection& connection = *probe_;
                settled = commitWatch_->settle(connection, [&] {
                    names = readTriggerNames(connection, triggersTable);
                    return names != nullptr;
                });
            }
        }
        publishTriggerNames(settled ? std::make_shared<const TriggerNames>(
                                          TriggerNames{std::move(names), {true, *settled}})
                                    : nullptr);
        return;
    }
    // The counter is read before the names: names read after it hold every
    // commit before it, and a commit in between only moves it on, so the
    // names are taken for stale, never for current when they are not.
    if (!mark || mark->watched) {
        publishTriggerNames(nullptr);
        return;
    }
    auto names = readTriggerNames(db(), triggersTable);
    publishTriggerNames(
        names ? std::make_shared<const TriggerNames>(TriggerNames{std::move(names), *mark})
              : nullptr);
}

std::vector<SortableCampaignId> InAppMessageSqliteStore::campaignIdsForEvent(
    const std::string& eventName) {
    refreshTriggerEventNames();
    if (auto names = triggerEventNames(); names && !names->contains(eventName)) {
        return {};
    }
    std::vector<SortableCampaignId> out;
    platform::MutexLock lock(triggerLookupMu_);
    if (!triggerLookup_) {
        const InAppMessageTable& m = inAppMessageTable;
        const TriggersTable& t = triggersTable;
        const std::string sql = "SELECT\n" + t.TABLE_NAME + "." + t.COLUMN_NAME_CAMPAIGN_ID +
                                ",\n" + t.TABLE_NAME + "." + t.COLUMN_NAME_PRIORITY + ",\n" +
                                m.TABLE_NAME + "." + m.COLUMN_NAME_LAST_UPDATED_DATETIME +
                                "\nFROM " + m.TABLE_NAME + "\nJOIN " + t.TABLE_NAME + "\nON " +
                                m.TABLE_NAME + "." + m.COLUMN_NAME_CAMPAIGN_ID + " = " +
                                t.TABLE_NAME + "." + t.COLUMN_NAME_CAMPAIGN_ID + "\nWHERE " +
                                t.TABLE_NAME + "." + t.COLUMN_NAME_EVENT_NAME + " = ?\nAND " +
                                t.TABLE_NAME + "." + t.COLUMN_NAME_TYPE + " = 'inappevent'";
        triggerLookup_ = prepareLookup(sql, "campaignIdsForEvent");
        if (!triggerLookup_) {
            return out;
        }
    }
    triggerLookup_.bindText(1, eventName);
    while (triggerLookup_.step() == SQLITE_ROW) {
        std::string id = triggerLookup_.columnText(0);
        if (id.empty()) {
            continue;
        }
        out.push_back(SortableCampaignId{std::move(id), triggerLookup_.columnInt(1),
                                         triggerLookup_.columnInt64(2)});
    }
    triggerLookup_.reset();
    triggerLookup_.clearBindings();
    return out;
}

bool InAppMessageSqliteStore::isCampaignIdTimeAvailable(const std::string& campaignId) {
    const InAppMessageTable& m = inAppMessageTable;
    std::string timezoneType;
    std::int32_t offset = 0;
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::string closeDay;
    std::int64_t closeTime = 0;
    {
        auto s = prepareLookup(
            "SELECT\n" + m.COLUMN_NAME_TIMEZONE_TYPE + ",\n" + m.COLUMN_NAME_TIMEZONE_OFFSET +
                ",\n" + m.COLUMN_NAME_START_DATETIME + ",\n" + m.COLUMN_NAME_END_DATETIME + ",\n" +
                m.COLUMN_NAME_UNAVAILABLE_DAY + ",\n" + m.COLUMN_NAME_UNAVAILABLE_TIME + "\nFROM " +
                m.TABLE_NAME + "\nWHERE " + m.COLUMN_NAME_CAMPAIGN_ID + " = " + quote(campaignId),
            "isCampaignIdTimeAvailable");
        if (!s) {
            return false;
        }
        if (s.step() != SQLITE_ROW) {
            SvlLog::debug("isCampaignIdTimeAvailable: campaignId dateTime inAvailable", true);
            return false;
        }
        timezoneType = s.columnText(0);
        offset = s.columnInt(1);
        start = s.columnInt64(2);
        end = s.columnInt64(3);
        closeDay = s.columnText(4);
        closeTime = s.columnInt64(5);
    }

    const platform::WallTime now = platform::clock().wallNow();
    const auto clockOrFailure = inapp::campaignClock(timezoneType, offset, now);
    if (!clockOrFailure) {
        if (clockOrFailure.error() == inapp::CampaignClockFailure::InvalidType) {
            SvlLog::debug("isCampaignIdTimeAvailable: invalid timezoneZoneType: " + timezoneType,
                          true);
        } else {
            SvlLog::error(
                "isCampaignIdTimeAvailable :: can not get day value, campaignId : " + campaignId,
                true);
        }
        return false;
    }
    const inapp::CampaignClock& at = clockOrFailure.value();

    if (inapp::isClosedForToday(closeDay, closeTime, now)) {
        SvlLog::debug("isCampaignIdTimeAvailable: one day close", true);
        return false;
    }
    if (!closeDay.empty()) {
        closeForOneDay(campaignId, "", 0);
    }
    if (at.nowMs < start) {
        SvlLog::debug("isCampaignIdTimeAvailable: currentTimeMillis is earlier than startDateTime",
                      true);
        return false;
    }
    if (end != 0 && end < at.nowMs) {
        SvlLog::debug("isCampaignIdTimeAvailable: currentTimeMillis over endDateTime", true);
        deleteCampaign(campaignId);
        return false;
    }

    const AvailableTimeTable& w = availableTimeTable;
    const std::string minute = std::to_string(at.minute);
    auto s =
        prepareLookup("SELECT * FROM " + w.TABLE_NAME + "\nWHERE " + w.COLUMN_NAME_CAMPAIGN_ID +
                          " = " + quote(campaignId) + "\nAND (" + w.COLUMN_NAME_DAY + " = " +
                          quote(at.day) + "\nAND " + w.COLUMN_NAME_START_MIN + " <= " + minute +
                          "\nAND " + w.COLUMN_NAME_END_MIN + " >= " + minute + "\nOR " +
                          w.COLUMN_NAME_DAY + " = " + quote(inapp::AVAILABLE_TIME_ALL) + ")",
                      "isCampaignIdTimeAvailable");
    return s && s.step() == SQLITE_ROW;
}

std::optional<inapp::FrequencyCounters> InAppMessageSqliteStore::isCampaignIdFrequencyAvailable(
    const std::string& campaignId) {
    const InAppMessageTable& m = inAppMessageTable;
    const CurrentFrequencyCapTable& f = currentFrequencyCapTable;
    const std::string& F = f.TABLE_NAME;
    const std::string& M = m.TABLE_NAME;
    inapp::FrequencyCounters counters;
    inapp::FrequencyCaps caps;
    {
        auto s = prepareLookup(
            "SELECT\n" + F + "." + f.COLUMN_NAME_FREQUENCY_LAST_GROUP_COUNT + ",\n" + F + "." +
                f.COLUMN_NAME_FREQUENCY_LAST_GROUP_START_TIME + ",\n" + F + "." +
                f.COLUMN_NAME_CURRENT_FREQUENCY_CAP_PER_SESSION + ",\n" + F + "." +
                f.COLUMN_NAME_CURRENT_FREQUENCY_CAP_PER_USER + ",\n" + M + "." +
                m.COLUMN_NAME_FREQUENCY_CAP_FOR_PERIOD_IN_MINUTES + ",\n" + M + "." +
                m.COLUMN_NAME_FREQUENCY_CAP_FOR_PERIOD_PER_PERIOD + ",\n" + M + "." +
                m.COLUMN_NAME_FREQUENCY_CAP_PER_USER + "\nFROM " + F + "\nJOIN " + M + "\nON " + F +
                "." + f.COLUMN_NAME_CAMPAIGN_ID + " = " + M + "." + m.COLUMN_NAME_CAMPAIGN_ID +
                "\nWHERE " + F + "." + f.COLUMN_NAME_CAMPAIGN_ID + " = " + quote(campaignId) +
                "\nAND (" + F + "." + f.COLUMN_NAME_CURRENT_FREQUENCY_CAP_PER_SESSION + "\n< " + M +
                "." + m.COLUMN_NAME_FREQUENCY_CAP_PER_SESSION + "\nOR " + M + "." +
                m.COLUMN_NAME_FREQUENCY_CAP_PER_SESSION + " = 0\n)",
            "isCampaignIdFrequencyAvailable");
        if (!s || s.step() != SQLITE_ROW) {
            return std::nullopt;
        }
        counters.groupCount = s.columnInt(0);
        counters.groupStartMs = s.columnInt64(1);
        counters.perSession = s.columnInt(2);
        counters.perUser = s.columnInt(3);
        caps.periodInMinutes = s.columnInt(4);
        caps.perPeriod = s.columnInt(5);
        caps.perUser = s.columnInt(6);
    }
    const auto decision =
        inapp::decideFrequency(counters, caps, ext::toMillis(platform::clock().wallNow()));
    switch (decision.verdict) {
        case inapp::FrequencyVerdict::PerUserOver:
            SvlLog::debug("isCampaignIdFrequencyAvailable: frequency perUser is over", true);
            deleteCampaignKeepingFrequency(campaignId);
            return std::nullopt;
        case inapp::FrequencyVerdict::PeriodOver:
            SvlLog::debug("isCampaignIdFrequencyAvailable: frequency period is over", true);
            return std::nullopt;
        case inapp::FrequencyVerdict::MayShow:
            break;
    }
    return decision.next;
}

void InAppMessageSqliteStore::countShowing(const std::string& campaignId,
                                           const inapp::FrequencyCounters& next) {
    insertCurrentFrequencyCapTable(campaignId, next.perSession, next.perUser, next.groupStartMs,
                                   next.groupCount);
}

std::shared_ptr<const InAppMessage> InAppMessageSqliteStore::getInAppMessageByCampaignId(
    const std::string& campaignId, bool isPortrait) {
    const InAppMessageTable& m = inAppMessageTable;
    inapp::CampaignRowTexts row;
    {
        auto s = prepareLookup(
            "SELECT\n" + m.COLUMN_NAME_TYPE + ",\n" + m.COLUMN_NAME_LAYOUT + ",\n" +
                m.COLUMN_NAME_BG_STYLE_BG_COLOR + ",\n" + m.COLUMN_NAME_BG_STYLE_OVERLAY_COLOR +
                ",\n" + m.COLUMN_NAME_CONTENTS_TEXT + ",\n" + m.COLUMN_NAME_CONTENTS_BUTTONS +
                ",\n" + m.COLUMN_NAME_DEFAULT_CLOSE_BUTTON_COLOR + ",\n" +
                m.COLUMN_NAME_DEFAULT_CLOSE_BUTTON_BG_COLOR + ",\n" +
                m.COLUMN_NAME_STICKY_BANNER_OPTION + "\nFROM " + m.TABLE_NAME + "\nWHERE " +
                m.COLUMN_NAME_CAMPAIGN_ID + " = " + quote(campaignId) + "\nAND " +
                (isPortrait ? m.COLUMN_NAME_PORTRAIT_AVAILABLE
                            : m.COLUMN_NAME_LANDSCAPE_AVAILABLE) +
                " = 1",
            "getInAppMessageByCampaignId");
        if (!s || s.step() != SQLITE_ROW) {
            return nullptr;
        }
        row.type = s.columnText(0);
        row.layout = s.columnText(1);
        row.bgColor = s.columnText(2);
        row.overlayColor = s.columnText(3);
        row.contentsText = s.columnText(4);
        row.contentsButtons = s.columnText(5);
        row.defaultCloseButtonColor = s.columnText(6);
        row.defaultCloseButtonBgColor = s.columnText(7);
        row.stickyBannerOption = s.columnText(8);
    }
    // Checked before the image rows are read (and their first-show marks reset).
    if (!ext::toDictionary(row.contentsText)) {
        SvlLog::error("getInAppMessageByCampaignId :: can not get text dictionary", true);
        return nullptr;
    }
    const auto portrait = getImageInfo(campaignId, inapp::PORTRAIT, true);
    const auto landscape = getImageInfo(campaignId, inapp::LANDSCAPE, true);
    return inapp::buildMessage(campaignId, row, portrait, landscape, isPortrait);
}

}  // namespace sorvel
