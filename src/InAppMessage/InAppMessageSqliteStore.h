#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "Platform/Mutex.h"

#include "Base/Status.h"
#include "InAppMessage/InAppMessage.h"
#include "InAppMessage/InAppMessageRules.h"
#include "InAppMessage/InAppMessageTables.h"
#include "Platform/Http.h"
#include "Platform/Mutex.h"
#include "Platform/Sqlite.h"

namespace sorvel {

namespace platform::sqlite {
class Connection;
class Statement;
}  // namespace platform::sqlite

// The errors of the campaign store and its data access object.
enum class InAppMessageError {
    NoValueError,       // a required key of the campaign list is missing
    OpenDatabaseError,  // the campaign database cannot be opened
};
const char* describe(InAppMessageError error) noexcept;

// One campaign row as the ingest writes it (the html text, the close day and
// the close time are written by the insert itself).
struct CampaignRow {
    std::string campaignId;
    std::int32_t portraitAvailable = 0;
    std::int32_t landscapeAvailable = 0;
    std::string externalAttr;
    std::int32_t timezoneOffset = 0;
    std::string timezoneType;
    // Type, layout, colours and the JSON texts of the contents.
    inapp::CampaignRowTexts texts;
    std::int32_t frequencyCapPerSession = 0;
    std::int32_t frequencyCapPerUser = 0;
    std::int32_t frequencyCapForPeriodInMinutes = 0;
    std::int32_t frequencyCapForPeriodPerPeriod = 0;
    std::int64_t startDateTime = 0;
    std::int64_t endDateTime = 0;
    std::int64_t lastUpdatedTime = 0;
};

// Fetches an image's bytes (blocking); the default is the shared URL session.
using ImageFetcher = std::function<platform::HttpResponse(const std::string& url)>;

// The downloaded in-app campaigns: "SvlInAppMessage.sqlite" in the app's
// Documents folder, five tables, and the campaign images saved beside it as
// PNG files named by a fresh UUID.
//
// The store has no lock of its own: its one connection serialises each
// statement, and its callers serialise what must not interleave (ingest,
// selection and the session reset all run on one queue; image lookups on
// another). No statement runs inside an explicit transaction, since the other
// queues' statements would join it. Every value goes into a statement bound
// or, where a statement text carries it, quoted with its quotes doubled.
//
// Failures are logged and give an empty, false or absent result; nothing
// throws.
class InAppMessageSqliteStore {
  public:
    static constexpr const char* DATABASE_NAME = "SvlInAppMessage.sqlite";

    // Opens (creating it when missing) the database in the Documents folder
    // and creates the tables; nothing, with "Unable to open InAppMessage
    // Database", when it cannot be opened. A damaged file is moved aside and
    // an empty store started.
    static std::unique_ptr<InAppMessageSqliteStore> open();
    ~InAppMessageSqliteStore();

    // Images are fetched through this (tests give a fake); set it before the
    // store is used. Null restores the shared URL session.
    void setImageFetcher(ImageFetcher fetcher);

    // ---- Tables ------------------------------------------------------------
    void createTables();
    void deleteAllImagesAndDropTables();
    void dropTables();
    void deleteInAppMessageRow(const std::string& campaignId);
    void deleteAllInAppMessageRows();
    void deleteAvailableTimeRows(const std::string& campaignId);
    void deleteAllAvailableTimeRows();
    void deleteTriggersRows(const std::string& campaignId);
    void deleteAllTriggersRows();
    void deleteCurrentFrequencyRow(const std::string& campaignId);

    // ---- Rows ----------------------------------------------------------------
    void deleteImageRows(const std::string& campaignId);
    void deleteImageRow(const std::string& campaignId, const std::string& orientation);
    void deleteCampaign(const std::string& campaignId);
    void deleteAllCampaigns();
    void deleteCampaignKeepingFrequency(const std::string& campaignId);
    // Each insert answers SQLite's result of its step (SQLITE_DONE on success).
    int insertInAppMessageTable(const CampaignRow& row);
    int insertTriggerTable(const std::string& campaignId, const std::string& type,
                           const std::string& eventName, std::int32_t priority);
    int insertAvailableTimeTable(const std::string& campaignId, const std::string& day,
                                 std::int32_t startMin, std::int32_t endMin);
    int insertCurrentFrequencyCapTable(const std::string& campaignId, std::int32_t perSession,
                                       std::int32_t perUser, std::int64_t lastGroupStartTime,
                                       std::int32_t lastGroupCount);
    int insertImageTable(const std::string& campaignId, const std::string& orientation,
                         const std::string& url, const std::string& imagePath,
                         const std::string& clickAction, bool isFirstShow);
    void updateImageTable(const std::string& campaignId, const std::string& orientation,
                          const std::string& url, const std::string& imagePath,
                          const std::string& clickAction, bool isFirstShow);
    void closeForOneDay(const std::string& campaignId, const std::string& day, std::int64_t time);
    void resetFrequencyCapPerSession();
    bool isCurrentFrequencyExist(const std::string& campaignId);
    std::string getImageUrlFromImageTable(const std::string& campaignId,
                                          const std::string& orientation);
    std::vector<std::string> getAllCampaignId();

    // ---- Selection -------------------------------------------------------------
    std::vector<SortableCampaignId> campaignIdsForEvent(const std::string& eventName);

    using EventNames = std::unordered_set<std::string>;
    // The event names some campaign is triggered by ('inappevent' triggers),
    // as of the last refresh; null before the first. Any thread may read it:
    // a name missing from it finds no campaign, so the lookup can be skipped.
    std::shared_ptr<const EventNames> triggerEventNames() const;
    // Reads the names again when a row may have changed since the last read:
    // this connection wrote one, or another connection committed. A dropped
    // table leaves names behind, which only costs a lookup that finds nothing.
    void refreshTriggerEventNames();
    bool isCampaignIdTimeAvailable(const std::string& campaignId);
    // Whether the caps allow one more showing; the counters it would then
    // hold, to be written with countShowing once the message is built. A
    // campaign at its per-user cap is deleted (its counters stay).
    std::optional<inapp::FrequencyCounters> isCampaignIdFrequencyAvailable(
        const std::string& campaignId);
    void countShowing(const std::string& campaignId, const inapp::FrequencyCounters& next);
    std::shared_ptr<const InAppMessage> getInAppMessageByCampaignId(const std::string& campaignId,
                                                                    bool isPortrait);

    // ---- Images -------------------------------------------------------------------
    std::optional<ImageInfo> getAndSaveImageInfo(const std::string& campaignId,
                                                 const std::string& orientation, bool isFirstShow);
    std::optional<ImageInfo> getImageInfo(const std::string& campaignId,
                                          const std::string& orientation, bool isFirstShow);
    std::optional<std::string> getImagePathFromImageTabel(const std::string& campaignId,
                                                          const std::string& orientation);
    std::vector<std::string> getAllImagePathFromImageTable();
    // Documents/<fileName>.png
    std::optional<std::string> getImageFileUrl(const std::string& fileName) const;
    // Succeeds when the file was written whole; a failed write is logged.
    Status saveImageToInternalStorage(const platform::Image& image, const std::string& fileName);
    InAppImage downloadImage(const std::string& url);
    InAppImage loadImageFromInternalStorage(const std::string& fileName) const;
    void deleteImageFromInternalStorage(const std::string& fileName);

    // How many writes have failed for another reason than the data itself
    // (a full or read-only disk, a damaged file; not a duplicate campaign
    // id): a rewrite during which this grew did not store the whole list.
    std::uint64_t writeFailures() const noexcept { return writeFailures_.load(); }

    const InAppMessageTable inAppMessageTable;
    const TriggersTable triggersTable;
    const AvailableTimeTable availableTimeTable;
    const CurrentFrequencyCapTable currentFrequencyCapTable;
    const ImageTable imageTable;

    // The three lines a write logs, each followed by the campaign id when it
    // names one.
    struct WriteLines {
        std::string notPrepared;
        std::string fail;
        std::string success;
    };

  private:
    explicit InAppMessageSqliteStore(std::unique_ptr<platform::sqlite::Connection> db);
    static ImageFetcher defaultImageFetcher();
    static WriteLines imageDeleteLines();
    static WriteLines updateImageLines();

    int runWrite(platform::sqlite::Statement& statement, const WriteLines& lines,
                 const std::string& suffix);
    int runWrite(const std::string& sql, const WriteLines& lines, const std::string& suffix);
    // Every row of the table, or the campaign's rows when an id is given.
    void deleteRows(const std::string& table, const char* logName,
                    const std::optional<std::string>& campaignId);
    std::string imageUpdateText(const std::string& campaignId, const std::string& orientation,
                                const std::string& url, const std::string& imagePath,
                                const std::string& clickAction, bool isFirstShow) const;
    // Names a freshly saved file in the row, if the row still waits for the
    // image of that URL; whether it did.
    bool recordSavedImage(const std::string& campaignId, const std::string& orientation,
                          const std::string& url, const std::string& imagePath,
                          const std::string& clickAction, bool isFirstShow);
    // An Image row as the image lookups read it.
    struct ImageRow {
        std::string path;
        std::string clickAction;
        std::string url;
        bool isFirstShow = false;
    };
    // The Image row of the campaign and orientation; nothing when there is
    // none or the statement does not prepare (`prepared` tells which).
    std::optional<ImageRow> readImageRow(const std::string& campaignId,
                                         const std::string& orientation, const char* operation,
                                         bool& prepared);
    // Prepares a lookup; logs "<operation> :: can not prepare query string : "
    // and the text when it does not prepare.
    platform::sqlite::Statement prepareLookup(const std::string& sql, const char* operation);

    std::unique_ptr<platform::sqlite::Connection> db_;
    mutable platform::Mutex triggerNamesMu_;
    std::shared_ptr<const EventNames> triggerNames_ GUARDED_BY(triggerNamesMu_);
    // What the names were read at: this connection's change count and the
    // database's data version (which moves with other connections' commits).
    std::optional<std::pair<std::int64_t, std::int64_t>> triggerNamesAt_
        GUARDED_BY(triggerNamesMu_);
    // The trigger lookup runs for every event an app records: prepared once,
    // the event key bound at each run (and reset after it, so it holds no read
    // of the file between runs). Declared after the connection, so it is
    // finalised before the connection closes.
    platform::Mutex triggerLookupMu_;
    platform::sqlite::Statement triggerLookup_ GUARDED_BY(triggerLookupMu_);
    ImageFetcher fetcher_;
    std::atomic<std::uint64_t> writeFailures_{0};
};

}  // namespace sorvel
