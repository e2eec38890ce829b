#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

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
// The store has no lock of its own around its statements: its connection
// serialises each one, and its callers serialise what must not interleave
// (ingest, selection and the session reset all run on one queue; image
// lookups on another). A campaign-list rewrite runs inside one transaction on
// a connection of its own (see Rewrite), so that the other queue's statements
// never join it and a process killed halfway leaves the old list whole. Every
// value goes into a statement bound or, where a statement text carries it,
// quoted with its quotes doubled.
//
// Failures are logged and give an empty, false or absent result; nothing
// throws.
class InAppMessageSqliteStore {
  public:
    static constexpr const char* DATABASE_NAME = "SvlInAppMessage.sqlite";

    // Keys of the JSON texts stored in a campaign row, as the campaign reader
    // turns them back into the message's parts.
    static constexpr const char* RESPONSE_IAM_CONTENTS_TEXT_TITLE = "title";
    static constexpr const char* RESPONSE_IAM_CONTENTS_TEXT_BODY = "body";
    static constexpr const char* RESPONSE_IAM_CONTENTS_TEXT_TITLE_COLOR = "title_color";
    static constexpr const char* RESPONSE_IAM_CONTENTS_TEXT_BODY_COLOR = "body_color";
    static constexpr const char* RESPONSE_IAM_CONTENTS_TEXT_ALIGN = "align";
    static constexpr const char* RESPONSE_IAM_CONTENTS_STICKY_BANNER_OPTION_ALIGN = "align";
    static constexpr const char* RESPONSE_IAM_CONTENTS_STICKY_BANNER_OPTION_CLICK_ACTION =
        "click_action";
    static constexpr const char* RESPONSE_IAM_CONTENTS_STICKY_BANNER_OPTION_CLICK_ACTION_ACTION_ID =
        "action_id";
    static constexpr const char*
        RESPONSE_IAM_CONTENTS_STICKY_BANNER_OPTION_CLICK_ACTION_ACTION_TYPE = "action_type";
    static constexpr const char*
        RESPONSE_IAM_CONTENTS_STICKY_BANNER_OPTION_CLICK_ACTION_ACTION_ARG = "action_arg";
    static constexpr const char* RESPONSE_IAM_CONTENTS_IMAGE_CLICK_ACTION_ACTION_ID = "action_id";
    static constexpr const char* RESPONSE_IAM_CONTENTS_IMAGE_CLICK_ACTION_ACTION_TYPE =
        "action_type";
    static constexpr const char* RESPONSE_IAM_CONTENTS_IMAGE_CLICK_ACTION_ACTION_ARG = "action_arg";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BUTTONS_BUTTON_ID = "button_id";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BUTTONS_TEXT = "text";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BUTTONS_CLICK_ACTION = "click_action";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BUTTONS_CLICK_ACTION_ID = "action_id";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BUTTONS_CLICK_ACTION_ACTION_TYPE =
        "action_type";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BUTTONS_CLICK_ACTION_ACTION_ARG =
        "action_arg";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BUTTONS_TEXT_COLOR = "text_color";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BUTTONS_BG_COLOR = "bg_color";
    static constexpr const char* RESPONSE_IAM_CONTENTS_BUTTONS_BORDER_COLOR = "border_color";

    // Values stored in the rows.
    static constexpr const char* TIMEZONE_GLOBAL = inapp::TIMEZONE_GLOBAL;
    static constexpr const char* TIMEZONE_LOCAL = inapp::TIMEZONE_LOCAL;
    static constexpr const char* PORTRAIT = inapp::PORTRAIT;
    static constexpr const char* LANDSCAPE = inapp::LANDSCAPE;
    static constexpr const char* AVAILABLE_TIME_ALL = inapp::AVAILABLE_TIME_ALL;
    static constexpr const char* NO_IMAGE = inapp::NO_IMAGE;

    // The weekday name the time windows use for the date, in the device's
    // calendar ("Thur" for Thursday); nothing when the date has none.
    static std::optional<std::string> weekdayName(platform::WallTime date) {
        return inapp::weekdayName(date);
    }

    // Opens (creating it when missing) the database in the Documents folder
    // and creates the tables; nothing, with "Unable to open InAppMessage
    // Database", when it cannot be opened. A damaged file is moved aside and
    // an empty store started.
    static std::unique_ptr<InAppMessageSqliteStore> open();
    ~InAppMessageSqliteStore();

    // Whether the file held no campaign table when the store opened: a new
    // file, or an empty one put in place of a damaged one. What the device
    // stored about its last campaign list no longer describes this store.
    bool openedEmpty() const noexcept { return openedEmpty_; }

    // One campaign-list rewrite, in one transaction on the store's rewrite
    // connection: every statement the store runs on the thread that began it
    // goes into that transaction until it commits or ends, so the other
    // queues' statements never join it and a process killed halfway leaves
    // the list as it was. Image files a rewrite lets go are removed only once
    // it has committed. Rolled back when it ends uncommitted. One at a time.
    class Rewrite {
      public:
        ~Rewrite();
        Rewrite(const Rewrite&) = delete;
        Rewrite& operator=(const Rewrite&) = delete;
        // Whether the transaction began; nothing is written otherwise.
        const Status& begun() const noexcept { return begun_; }
        Status commit();

      private:
        friend class InAppMessageSqliteStore;
        explicit Rewrite(InAppMessageSqliteStore& store);
        void end() noexcept;
        InAppMessageSqliteStore& store_;
        std::unique_ptr<platform::sqlite::Transaction> transaction_;
        Status begun_ = Status::ok();
        bool ended_ = false;
    };
    std::unique_ptr<Rewrite> beginRewrite();

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
    // as of the last refresh; null before the first and while they cannot be
    // read. Any thread may read it.
    std::shared_ptr<const EventNames> triggerEventNames() const;
    // Whether a lookup for the event could find a campaign. False only when
    // the names were read after the last commit to the file by anyone (this
    // process or another) and the event is not among them; true when that
    // cannot be told. For the app's threads: it waits on no read of the
    // tables, only reads the file's change mark.
    bool mayTrigger(const std::string& eventName);
    // Reads the names again when the file changed since the last read (a
    // commit by any connection, in this process or another) and publishes
    // them whole in place of the old ones; readers never wait for it.
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

    // What changes with every commit to the file, by any connection: the
    // commit watch's number, or the change counter the probe reads where
    // there is no watch. The two never compare equal.
    struct ChangeMark {
        bool watched = false;
        std::uint64_t value = 0;
        bool operator==(const ChangeMark&) const = default;
    };
    // The trigger names with the file's change mark they were read at.
    struct TriggerNames {
        std::shared_ptr<const EventNames> names;
        ChangeMark mark{};
    };
    // The connection the calling thread's statements go to: the rewrite's on
    // the thread running one, the store's own otherwise.
    platform::sqlite::Connection& db() const noexcept;
    // Removes an image file now, or once the rewrite running on this thread
    // has committed.
    void removeImageFile(const std::string& fileName);
    // The file's change mark: the commit watch's, read without a lock; where
    // there is no watch (or it was lost), the change counter the probe
    // connection reads (which moves with every commit by another
    // connection). Nothing while a commit is reported that no refresh has
    // taken in, or when neither can be read.
    std::optional<ChangeMark> readChangeMark();
    void publishTriggerNames(std::shared_ptr<const TriggerNames> names);

    std::string path_;
    bool openedEmpty_ = false;
    std::unique_ptr<platform::sqlite::Connection> db_;
    // Opened at the first rewrite. Rewrites run one at a time, and only the
    // thread running one touches these (other threads only compare the id).
    std::unique_ptr<platform::sqlite::Connection> rewriteDb_;
    std::atomic<std::thread::id> rewriteThread_{};
    // Image files the running rewrite let go; removed once it commits.
    std::vector<std::string> rewriteRemovedFiles_;
    // Read by the app's threads and the refresh.
    std::unique_ptr<platform::sqlite::CommitWatch> commitWatch_;
    // A connection of its own, which never waits for a lock: the refresh
    // reads the names on it inside the watch's settle, and without a watch
    // the app's threads read the change counter on it.
    platform::Mutex probeMu_;
    std::unique_ptr<platform::sqlite::Connection> probe_ GUARDED_BY(probeMu_);
    platform::sqlite::Statement probeVersion_ GUARDED_BY(probeMu_);
    // The published names: held only to copy or swap the pointer.
    mutable platform::Mutex triggerNamesMu_;
    std::shared_ptr<const TriggerNames> triggerNames_ GUARDED_BY(triggerNamesMu_);
    // One refresh at a time; readers never take it.
    platform::Mutex refreshMu_;
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
