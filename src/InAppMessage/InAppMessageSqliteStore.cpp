#include "InAppMessage/InAppMessageSqliteStore.h"

#include <utility>

#include "Common/SvlLog.h"
#include "Common/TableDatabase.h"
#include "Platform/FileSystem.h"

namespace sorvel {

using platform::sqlite::quote;

const char* describe(InAppMessageError error) noexcept {
    switch (error) {
        case InAppMessageError::NoValueError:
            return "jsonDic does not contain required value";
        case InAppMessageError::OpenDatabaseError:
            return "cannot open inappmessage database";
    }
    return "";
}

// ---- Opening ------------------------------------------------------------------------

namespace {
// How long a refresh of the trigger names waits for another connection's
// write to end.
constexpr int kRefreshWaitMillis = 250;
}  // namespace

std::unique_ptr<InAppMessageSqliteStore> InAppMessageSqliteStore::open() {
    auto db = openTableDatabase(DATABASE_NAME, "InAppMessage");
    if (!db) {
        return nullptr;
    }
    std::unique_ptr<InAppMessageSqliteStore> store(new InAppMessageSqliteStore(std::move(db)));
    store->path_ = platform::documentsFolder() + "/" + DATABASE_NAME;
    {
        auto s =
            store->db().prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
        store->openedEmpty_ = s &&
                              s.bindText(1, store->inAppMessageTable.TABLE_NAME) == SQLITE_OK &&
                              s.step() == SQLITE_DONE;
    }
    store->createTables();
    // Its own connection: the app's threads and the refresh use it without
    // waiting for the queues' statements on the store's one. A refresh waits
    // a little for another connection's write to end (it reads the names
    // with the write lock held, see CommitWatch::settle); a long one, such as
    // another process storing a large list, leaves the names unknown, and
    // the events meanwhile take the queue.
    int rc = SQLITE_OK;
    auto probe = platform::sqlite::Connection::open(
        store->path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, rc);
    // A store opened read-only has no log this process writes or watches.
    if (probe && !store->db_->readOnly() && !probe->readOnly()) {
        store->commitWatch_ = platform::sqlite::CommitWatch::open(store->path_);
    }
    {
        platform::MutexLock lock(store->probeMu_);
        if (probe) {
            probe->setBusyTimeout(kRefreshWaitMillis);
            store->probeVersion_ = probe->preparePersistent("PRAGMA data_version");
            store->probe_ = std::move(probe);
        }
    }
    return store;
}

InAppMessageSqliteStore::InAppMessageSqliteStore(std::unique_ptr<platform::sqlite::Connection> db)
    : db_(std::move(db)), fetcher_(defaultImageFetcher()) {}

InAppMessageSqliteStore::~InAppMessageSqliteStore() {
    // The probe's statement goes before its connection.
    platform::MutexLock lock(probeMu_);
    probeVersion_ = platform::sqlite::Statement();
}

platform::sqlite::Connection& InAppMessageSqliteStore::db() const noexcept {
    // Only the thread running a rewrite finds its own id here, and only that
    // thread touches the rewrite's connection.
    if (rewriteThread_.load() == std::this_thread::get_id()) {
        return *rewriteDb_;
    }
    return *db_;
}

// ---- Rewrites -----------------------------------------------------------------------

std::unique_ptr<InAppMessageSqliteStore::Rewrite> InAppMessageSqliteStore::beginRewrite() {
    return std::unique_ptr<Rewrite>(new Rewrite(*this));
}

InAppMessageSqliteStore::Rewrite::Rewrite(InAppMessageSqliteStore& store) : store_(store) {
    if (!store_.rewriteDb_ && !store_.path_.empty()) {
        int rc = SQLITE_OK;
        std::string why;
        store_.rewriteDb_ = platform::sqlite::Connection::open(
            store_.path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, rc, &why);
        if (store_.rewriteDb_) {
            // As long as the store's own connection waits for a lock; and the
            // log a large list fills is cut back as the store's own is.
            store_.rewriteDb_->setBusyTimeout(5000);
            store_.rewriteDb_->keepWalSmall(store_.path_);
        } else {
            SvlLog::error("InAppMessageSqliteStore :: can not open the rewrite connection : " + why,
                          true);
        }
    }
    if (!store_.rewriteDb_) {
        begun_ = Status::error("no rewrite connection");
        ended_ = true;
        return;
    }
    transaction_ = std::make_unique<platform::sqlite::Transaction>(*store_.rewriteDb_);
    begun_ = transaction_->begun();
    if (!begun_) {
        transaction_.reset();
        ended_ = true;
        return;
    }
    store_.rewriteRemovedFiles_.clear();
    store_.rewriteThread_.store(std::this_thread::get_id());
}

Status InAppMessageSqliteStore::Rewrite::commit() {
    if (ended_) {
        return Status::error(begun_ ? "the rewrite has ended" : begun_.message());
    }
    Status committed = transaction_->commit();
    std::vector<std::string> removed = std::move(store_.rewriteRemovedFiles_);
    end();
    if (committed) {
        for (const auto& fileName : removed) {
            store_.deleteImageFromInternalStorage(fileName);
        }
    }
    return committed;
}

void InAppMessageSqliteStore::Rewrite::end() noexcept {
    if (ended_) {
        return;
    }
    ended_ = true;
    store_.rewriteThread_.store(std::thread::id());
    // Rolls back when not committed: the rows the files belong to stay.
    transaction_.reset();
    store_.rewriteRemovedFiles_.clear();
}

InAppMessageSqliteStore::Rewrite::~Rewrite() {
    end();
}

void InAppMessageSqliteStore::removeImageFile(const std::string& fileName) {
    if (rewriteThread_.load() == std::this_thread::get_id()) {
        rewriteRemovedFiles_.push_back(fileName);
        return;
    }
    deleteImageFromInternalStorage(fileName);
}

void InAppMessageSqliteStore::setImageFetcher(ImageFetcher fetcher) {
    fetcher_ = fetcher ? std::move(fetcher) : defaultImageFetcher();
}

int InAppMessageSqliteStore::runWrite(platform::sqlite::Statement& statement,
                                      const WriteLines& lines, const std::string& suffix) {
    if (!statement) {
        writeFailures_.fetch_add(1);
        SvlLog::debug(lines.notPrepared + suffix, true);
        return statement.prepareResult();
    }
    const int rc = statement.step();
    if (rc == SQLITE_DONE) {
        SvlLog::debug(lines.success + suffix, true);
    } else {
        // A duplicate campaign id is the list's own doing; anything else
        // (a full disk, a damaged file) means the store missed a write.
        if ((rc & 0xff) != SQLITE_CONSTRAINT) {
            writeFailures_.fetch_add(1);
        }
        SvlLog::debug(lines.fail + suffix, true);
    }
    return rc;
}

int InAppMessageSqliteStore::runWrite(const std::string& sql, const WriteLines& lines,
                                      const std::string& suffix) {
    platform::sqlite::Statement statement = db().prepare(sql);
    return runWrite(statement, lines, suffix);
}

// ---- Tables ----------------------------------------------------------------------------

namespace {

struct TableStep {
    const Table* table;
    const char* name;  // as the log lines name the table
};

}  // namespace

void InAppMessageSqliteStore::createTables() {
    const TableStep steps[] = {{&inAppMessageTable, "InAppMessageTable"},
                               {&triggersTable, "TriggersTable"},
                               {&availableTimeTable, "AvailableTimeTable"},
                               {&currentFrequencyCapTable, "CurrentFrequencyCapTable"},
                               {&imageTable, "ImageTable"}};
    for (const auto& step : steps) {
        if (db().execute(step.table->createTableQuery()) != platform::sqlite::Outcome::Done) {
            writeFailures_.fetch_add(1);
            SvlLog::error(std::string("Can not Create ") + step.name, true);
            return;
        }
    }
    // Lookups by event name and by campaign: without these every selection
    // scans the trigger, time-window and image tables whole. The tables stay
    // as they are; an index goes with its table when that is dropped.
    const std::string indexes[] = {
        "CREATE INDEX IF NOT EXISTS " + triggersTable.TABLE_NAME + "EventNameIndex ON " +
            triggersTable.TABLE_NAME + " (" + triggersTable.COLUMN_NAME_EVENT_NAME + ")",
        "CREATE INDEX IF NOT EXISTS " + availableTimeTable.TABLE_NAME + "CampaignIdIndex ON " +
            availableTimeTable.TABLE_NAME + " (" + availableTimeTable.COLUMN_NAME_CAMPAIGN_ID + ")",
        "CREATE INDEX IF NOT EXISTS " + imageTable.TABLE_NAME + "CampaignIdIndex ON " +
            imageTable.TABLE_NAME + " (" + imageTable.COLUMN_NAME_CAMPAIGN_ID + ", " +
            imageTable.COLUMN_NAME_ORIENTATION + ")",
        "CREATE INDEX IF NOT EXISTS " + triggersTable.TABLE_NAME + "CampaignIdIndex ON " +
            triggersTable.TABLE_NAME + " (" + triggersTable.COLUMN_NAME_CAMPAIGN_ID + ")",
    };
    for (const auto& index : indexes) {
        if (db().execute(index) != platform::sqlite::Outcome::Done) {
            // Only slower without it.
            SvlLog::debug("createTables :: can not create index : " + index, true);
        }
    }
}

void InAppMessageSqliteStore::dropTables() {
    const TableStep steps[] = {{&inAppMessageTable, "InAppMessageTable"},
                               {&triggersTable, "TriggersTable"},
                               {&availableTimeTable, "AvailableTimeTable"},
                               {&currentFrequencyCapTable, "CurrentFrequencyCapTable"},
                               {&imageTable, "ImageTable"}};
    for (const auto& step : steps) {
        if (db().execute(step.table->dropTableQuery()) != platform::sqlite::Outcome::Done) {
            writeFailures_.fetch_add(1);
            SvlLog::error(std::string("Can not Delete ") + step.name, true);
            return;
        }
        SvlLog::debug(std::string("Delete ") + step.name + " Success", true);
    }
}

void InAppMessageSqliteStore::deleteAllImagesAndDropTables() {
    for (const auto& path : getAllImagePathFromImageTable()) {
        deleteImageFromInternalStorage(path);
    }
    dropTables();
}

void InAppMessageSqliteStore::deleteRows(const std::string& table, const char* logName,
                                         const std::optional<std::string>& campaignId) {
    if (campaignId) {
        const std::string what = std::string("Delete ") + logName;
        runWrite("DELETE FROM " + table + " WHERE CampaignId = " + quote(*campaignId),
                 {what + " not prepared, campaignId : ", what + " fail, campaignId : ",
                  what + " Success, campaignId : "},
                 *campaignId);
        return;
    }
    const std::string what = std::string("Delete All ") + logName;
    runWrite("DELETE FROM " + table, {what + " not prepared", what + " fail", what + " Success"},
             "");
}

void InAppMessageSqliteStore::deleteInAppMessageRow(const std::string& campaignId) {
    deleteRows(inAppMessageTable.TABLE_NAME, "InAppMessageTable", campaignId);
}
void InAppMessageSqliteStore::deleteAllInAppMessageRows() {
    deleteRows(inAppMessageTable.TABLE_NAME, "InAppMessageTable", std::nullopt);
}
void InAppMessageSqliteStore::deleteAvailableTimeRows(const std::string& campaignId) {
    deleteRows(availableTimeTable.TABLE_NAME, "AvailableTimeTable", campaignId);
}
void InAppMessageSqliteStore::deleteAllAvailableTimeRows() {
    deleteRows(availableTimeTable.TABLE_NAME, "AvailableTimeTable", std::nullopt);
}
void InAppMessageSqliteStore::deleteTriggersRows(const std::string& campaignId) {
    deleteRows(triggersTable.TABLE_NAME, "TriggersTable", campaignId);
}
void InAppMessageSqliteStore::deleteAllTriggersRows() {
    deleteRows(triggersTable.TABLE_NAME, "TriggersTable", std::nullopt);
}
void InAppMessageSqliteStore::deleteCurrentFrequencyRow(const std::string& campaignId) {
    deleteRows(currentFrequencyCapTable.TABLE_NAME, "CurrentFrequencyCapTable", campaignId);
}

// ---- Campaign deletes ----------------------------------------------------------------------

void InAppMessageSqliteStore::deleteImageRows(const std::string& campaignId) {
    for (const char* orientation : {inapp::PORTRAIT, inapp::LANDSCAPE}) {
        if (auto path = getImagePathFromImageTabel(campaignId, orientation)) {
            removeImageFile(*path);
        }
    }
    runWrite("DELETE FROM " + imageTable.TABLE_NAME + " WHERE " +
                 imageTable.COLUMN_NAME_CAMPAIGN_ID + " = " + quote(campaignId),
             imageDeleteLines(), campaignId);
}

void InAppMessageSqliteStore::deleteImageRow(const std::string& campaignId,
                                             const std::string& orientation) {
    if (auto path = getImagePathFromImageTabel(campaignId, orientation)) {
        removeImageFile(*path);
    }
    runWrite("DELETE FROM " + imageTable.TABLE_NAME + " WHERE " +
                 imageTable.COLUMN_NAME_CAMPAIGN_ID + " = " + quote(campaignId) + " AND " +
                 imageTable.COLUMN_NAME_ORIENTATION + " = " + quote(orientation),
             imageDeleteLines(), campaignId);
}

InAppMessageSqliteStore::WriteLines InAppMessageSqliteStore::imageDeleteLines() {
    return {"Delete ImageTable not prepared, campaignId : ",
            "Delete ImageTable fail, campaignId : ", "Delete ImageTable Success, campaignId : "};
}

void InAppMessageSqliteStore::deleteCampaign(const std::string& campaignId) {
    deleteInAppMessageRow(campaignId);
    deleteAvailableTimeRows(campaignId);
    deleteTriggersRows(campaignId);
    deleteCurrentFrequencyRow(campaignId);
    deleteImageRows(campaignId);
}

void InAppMessageSqliteStore::deleteAllCampaigns() {
    deleteAllInAppMessageRows();
    deleteAllTriggersRows();
    deleteAllAvailableTimeRows();
}

void InAppMessageSqliteStore::deleteCampaignKeepingFrequency(const std::string& campaignId) {
    deleteInAppMessageRow(campaignId);
    deleteAvailableTimeRows(campaignId);
    deleteTriggersRows(campaignId);
    deleteImageRows(campaignId);
}

// ---- Inserts and updates -------------------------------------------------------------------

namespace {

InAppMessageSqliteStore::WriteLines insertLines(const char* table) {
    const std::string what = std::string("Insert to ") + table;
    return {what + " not prepared, campaignId : ", what + " fail, campaignId : ",
            what + " Success, campaignId : "};
}

}  // namespace

int InAppMessageSqliteStore::insertInAppMessageTable(const CampaignRow& row) {
    platform::sqlite::Statement s = db().prepare(inAppMessageTable.insertQuery());
    if (s) {
        s.bindText(1, row.campaignId);
        s.bindInt(2, row.portraitAvailable);
        s.bindInt(3, row.landscapeAvailable);
        s.bindText(4, row.externalAttr);
        s.bindInt(5, row.timezoneOffset);
        s.bindText(6, row.timezoneType);
        s.bindText(7, row.texts.type);
        s.bindText(8, row.texts.layout);
        s.bindText(9, "");
        s.bindText(10, row.texts.bgColor);
        s.bindText(11, row.texts.overlayColor);
        s.bindText(12, row.texts.contentsText);
        s.bindText(13, row.texts.contentsButtons);
        s.bindText(14, row.texts.defaultCloseButtonColor);
        s.bindText(15, row.texts.defaultCloseButtonBgColor);
        s.bindText(16, row.texts.stickyBannerOption);
        s.bindInt(17, row.frequencyCapPerSession);
        s.bindInt(18, row.frequencyCapPerUser);
        s.bindInt(19, row.frequencyCapForPeriodInMinutes);
        s.bindInt(20, row.frequencyCapForPeriodPerPeriod);
        s.bindInt64(21, row.startDateTime);
        s.bindInt64(22, row.endDateTime);
        s.bindInt64(23, row.lastUpdatedTime);
        s.bindText(24, "");
        s.bindInt(25, 0);
    }
    return runWrite(s, insertLines("InAppMessageTable"), row.campaignId);
}

int InAppMessageSqliteStore::insertTriggerTable(const std::string& campaignId,
                                                const std::string& type,
                                                const std::string& eventName,
                                                std::int32_t priority) {
    platform::sqlite::Statement s = db().prepare(triggersTable.insertQuery());
    if (s) {
        s.bindText(1, campaignId);
        s.bindText(2, type);
        s.bindText(3, eventName);
        s.bindInt(4, priority);
    }
    return runWrite(s, insertLines("TriggerTable"), campaignId);
}

int InAppMessageSqliteStore::insertAvailableTimeTable(const std::string& campaignId,
                                                      const std::string& day, std::int32_t startMin,
                                                      std::int32_t endMin) {
    platform::sqlite::Statement s = db().prepare(availableTimeTable.insertQuery());
    if (s) {
        s.bindText(1, campaignId);
        s.bindText(2, day);
        s.bindInt(3, startMin);
        s.bindInt(4, endMin);
    }
    return runWrite(s, insertLines("AvailableTimeTable"), campaignId);
}

int InAppMessageSqliteStore::insertCurrentFrequencyCapTable(const std::string& campaignId,
                                                            std::int32_t perSession,
                                                            std::int32_t perUser,
                                                            std::int64_t lastGroupStartTime,
                                                            std::int32_t lastGroupCount) {
    platform::sqlite::Statement s = db().prepare(currentFrequencyCapTable.insertQuery());
    if (s) {
        s.bindText(1, campaignId);
        s.bindInt(2, perSession);
        s.bindInt(3, perUser);
        s.bindInt64(4, lastGroupStartTime);
        s.bindInt(5, lastGroupCount);
    }
    return runWrite(s, insertLines("CurrentFrequencyCapTable"), campaignId);
}

int InAppMessageSqliteStore::insertImageTable(const std::string& campaignId,
                                              const std::string& orientation,
                                              const std::string& url, const std::string& imagePath,
                                              const std::string& clickAction, bool isFirstShow) {
    platform::sqlite::Statement s = db().prepare(imageTable.insertQuery());
    if (s) {
        s.bindText(1, campaignId);
        s.bindText(2, orientation);
        s.bindText(3, url);
        s.bindText(4, imagePath);
        s.bindText(5, clickAction);
        s.bindBool(6, isFirstShow);
    }
    return runWrite(s, insertLines("ImageTable"), campaignId);
}

std::string InAppMessageSqliteStore::imageUpdateText(
    const std::string& campaignId, const std::string& orientation, const std::string& url,
    const std::string& imagePath, const std::string& clickAction, bool isFirstShow) const {
    const ImageTable& t = imageTable;
    return "UPDATE " + t.TABLE_NAME + " SET\n" + t.COLUMN_NAME_URL + " = " + quote(url) + ",\n" +
           t.COLUMN_NAME_IMAGE_PATH_STRING + " = " + quote(imagePath) + ",\n" +
           t.COLUMN_NAME_CLICK_ACTION + " = " + quote(clickAction) + ",\n" +
           t.COLUMN_NAME_IS_FIRST_SHOW + " = " + (isFirstShow ? "1" : "0") + "\nWHERE " +
           t.COLUMN_NAME_CAMPAIGN_ID + " = " + quote(campaignId) + "\nAND " +
           t.COLUMN_NAME_ORIENTATION + " = " + quote(orientation);
}

void InAppMessageSqliteStore::updateImageTable(const std::string& campaignId,
                                               const std::string& orientation,
                                               const std::string& url, const std::string& imagePath,
                                               const std::string& clickAction, bool isFirstShow) {
    runWrite(imageUpdateText(campaignId, orientation, url, imagePath, clickAction, isFirstShow),
             updateImageLines(), campaignId);
}

InAppMessageSqliteStore::WriteLines InAppMessageSqliteStore::updateImageLines() {
    return {"Update ImageTable not prepared, campaignId : ",
            "Update ImageTable fail, campaignId : ", "Update ImageTable Success, campaignId : "};
}

bool InAppMessageSqliteStore::recordSavedImage(const std::string& campaignId,
                                               const std::string& orientation,
                                               const std::string& url, const std::string& imagePath,
                                               const std::string& clickAction, bool isFirstShow) {
    // Only a row still waiting for this very image takes it: a newer campaign
    // list may have replaced the row while the download ran.
    const ImageTable& t = imageTable;
    platform::sqlite::Statement s = db().prepare(
        imageUpdateText(campaignId, orientation, url, imagePath, clickAction, isFirstShow) +
        "\nAND " + t.COLUMN_NAME_URL + " = " + quote(url) + "\nAND " +
        t.COLUMN_NAME_IMAGE_PATH_STRING + " = " + quote(inapp::NO_IMAGE) + "\nRETURNING 1");
    if (!s) {
        writeFailures_.fetch_add(1);
        SvlLog::debug(updateImageLines().notPrepared + campaignId, true);
        return false;
    }
    int rc = s.step();
    const bool updated = rc == SQLITE_ROW;
    while (rc == SQLITE_ROW) {
        rc = s.step();
    }
    if (rc != SQLITE_DONE) {
        writeFailures_.fetch_add(1);
        SvlLog::debug(updateImageLines().fail + campaignId, true);
        return false;
    }
    SvlLog::debug(updateImageLines().success + campaignId, true);
    return updated;
}

void InAppMessageSqliteStore::closeForOneDay(const std::string& campaignId, const std::string& day,
                                             std::int64_t time) {
    const InAppMessageTable& t = inAppMessageTable;
    const std::string what = "Update One Day Close to InAppMessageTable";
    runWrite("UPDATE " + t.TABLE_NAME + " SET\n" + t.COLUMN_NAME_UNAVAILABLE_DAY + " = " +
                 quote(day) + ",\n" + t.COLUMN_NAME_UNAVAILABLE_TIME + " = " +
                 quote(std::to_string(time)) + "\nWHERE " + t.COLUMN_NAME_CAMPAIGN_ID + " = " +
                 quote(campaignId),
             {what + " not prepared, campaignId : ", what + " fail, campaignId : ",
              what + " Success, campaignId : "},
             campaignId);
}

void InAppMessageSqliteStore::resetFrequencyCapPerSession() {
    const CurrentFrequencyCapTable& t = currentFrequencyCapTable;
    runWrite("UPDATE " + t.TABLE_NAME + " SET\n" + t.COLUMN_NAME_CURRENT_FREQUENCY_CAP_PER_SESSION +
                 " = 0",
             {"resetFrequencyCapPerSession prepared fail", "resetFrequencyCapPerSession Fail",
              "resetFrequencyCapPerSession Success"},
             "");
}

// ---- Lookups -----------------------------------------------------------------------------------

platform::sqlite::Statement InAppMessageSqliteStore::prepareLookup(const std::string& sql,
                                                                   const char* operation) {
    platform::sqlite::Statement s = db().prepare(sql);
    if (!s) {
        SvlLog::error(std::string(operation) + " :: can not prepare query string : " + sql, true);
    }
    return s;
}

bool InAppMessageSqliteStore::isCurrentFrequencyExist(const std::string& campaignId) {
    auto s = prepareLookup("SELECT * FROM " + currentFrequencyCapTable.TABLE_NAME + " WHERE\n" +
                               currentFrequencyCapTable.COLUMN_NAME_CAMPAIGN_ID + " = " +
                               quote(campaignId),
                           "isCurrentFrequencyExist");
    return s && s.step() == SQLITE_ROW;
}

std::string InAppMessageSqliteStore::getImageUrlFromImageTable(const std::string& campaignId,
                                                               const std::string& orientation) {
    auto s = prepareLookup("SELECT * FROM " + imageTable.TABLE_NAME + " WHERE\n" +
                               imageTable.COLUMN_NAME_CAMPAIGN_ID + " = " + quote(campaignId) +
                               " AND\n" + imageTable.COLUMN_NAME_ORIENTATION + " = " +
                               quote(orientation),
                           "getImageUrlFromImageTable");
    if (!s || s.step() != SQLITE_ROW) {
        return "";
    }
    return s.columnText(2);
}

std::vector<std::string> InAppMessageSqliteStore::getAllCampaignId() {
    std::vector<std::string> ids;
    auto s = prepareLookup("SELECT " + inAppMessageTable.COLUMN_NAME_CAMPAIGN_ID + " FROM " +
                               inAppMessageTable.TABLE_NAME,
                           "getAllCampaignId");
    while (s && s.step() == SQLITE_ROW) {
        std::string id = s.columnText(0);
        if (!id.empty()) {
            ids.push_back(std::move(id));
        }
    }
    return ids;
}

}  // namespace sorvel
