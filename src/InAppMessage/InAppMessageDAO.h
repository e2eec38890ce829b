#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Base/Status.h"
#include "InAppMessage/InAppMessage.h"
#include "InAppMessage/InAppMessageSqliteStore.h"
#include "Platform/Dispatch.h"
#include "sorvel/Value.h"

namespace sorvel {

class DataRegistry;

// The campaign side of in-app messages: it stores the campaign lists the
// server sends, picks the message for an event, and serves the campaign
// images. Ingest, selection and the upkeep calls run on the caller's thread
// (the repository's in-app queue, which keeps them from overlapping); image
// lookups that may download run one at a time on "inAppMessageImageDownloadQueue".
class InAppMessageDAO {
  public:
    static constexpr const char* CHECKSUM_UNCHANGED = "unchanged";
    static constexpr const char* CHECKSUM_NO_ACTIVE_CAMPAIGN = "__no_active_campaign__";
    static constexpr const char* NULL_STRING = "null";

    // Nothing when the store cannot be opened (InAppMessageError::OpenDatabaseError):
    // the SDK then runs without in-app campaigns. Without a store given, the
    // default database in the Documents folder is opened.
    static std::shared_ptr<InAppMessageDAO> create(
        std::shared_ptr<DataRegistry> dataRegistry,
        std::shared_ptr<InAppMessageSqliteStore> store = nullptr);
    ~InAppMessageDAO();
    InAppMessageDAO(const InAppMessageDAO&) = delete;
    InAppMessageDAO& operator=(const InAppMessageDAO&) = delete;

    // ---- Ingest ---------------------------------------------------------------
    // Stores a campaign-list answer: its expiry at once, and its checksum once
    // the stored list matches it (at once when the list is unchanged, after a
    // complete rewrite otherwise). Bad answers are logged and change nothing.
    void insertApiResponse2Table(const std::string& response);
    bool isCampaignChanged(const std::string& status, const std::string& checksum,
                           std::int64_t minutesToExpiry);
    // Writes every campaign of data["in_app_messages"]; NoValueError at the
    // first required key missing, leaving what was written before it.
    StatusOr<void, InAppMessageError> insertInAppMessages(const Value::Map& data);

    // ---- Upkeep ---------------------------------------------------------------
    void closeForOneDay(const std::string& campaignId, const std::string& day, std::int64_t time);
    void resetFrequencyCapPerSession();
    void deleteCampaignsNotIn(const std::vector<std::string>& campaignIds);
    void deleteAllImagesAndDropTables();
    void createTables();

    // ---- Selection and images ------------------------------------------------------
    // The message of the first candidate for the event (group ":" name) that
    // is in its time window, under its caps and buildable for the
    // orientation; its showing is counted once it is built.
    std::shared_ptr<const InAppMessage> getInAppMessageByEventName(const std::string& eventName,
                                                                   bool isPortrait);
    // Waits on the image queue (a download included): never call it on the
    // main thread nor from a block of that queue.
    std::optional<ImageInfo> getAndSaveImageInfo(const std::string& campaignId, bool isPortrait,
                                                 bool isFirstShow);

    // ---- Campaign dates: epoch milliseconds of the list's UTC texts -------------
    static std::optional<std::int64_t> getStartDateTimeInt64(
        const std::optional<std::string>& text);
    // 0 (no end) for no text or "null".
    static std::optional<std::int64_t> getEndDateTimeInt64(const std::optional<std::string>& text);
    static std::optional<std::int64_t> getLastUpdatedDateTimeInt64(
        const std::optional<std::string>& text);
    static std::vector<std::string> sortCampaignIds(std::vector<SortableCampaignId> candidates);

    InAppMessageSqliteStore& store() { return *store_; }
    // Waits until the image downloads queued so far have run (tests, tools).
    void waitForImageQueue();

  private:
    InAppMessageDAO(std::shared_ptr<DataRegistry> dataRegistry,
                    std::shared_ptr<InAppMessageSqliteStore> store);
    StatusOr<void, InAppMessageError> insertCampaign(const Value::Map& campaign,
                                                     std::vector<std::string>& campaignIds);
    void queueImageDownload(const std::string& campaignId, const std::string& orientation);

    const std::shared_ptr<DataRegistry> dataRegistry_;
    const std::shared_ptr<InAppMessageSqliteStore> store_;
    const std::shared_ptr<platform::DispatchQueue> imageDispatchQueue_;
};

}  // namespace sorvel
