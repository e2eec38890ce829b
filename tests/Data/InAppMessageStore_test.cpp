#include <algorithm>
#include <filesystem>

#include <sys/stat.h>

#include "Core/DiContainer.h"
#include "Data/InAppMessageFixture.h"
#include "Data/Repository/Repository.h"
#include "Event/AutoEvent.h"

namespace sorvel::iamtest {
namespace {

using Rows = std::vector<std::vector<std::string>>;

TEST(InAppMessageTables, StatementTextsAreExact) {
    const std::string indent(16, ' ');
    const InAppMessageTable m;
    const std::string create = m.createTableQuery();
    EXPECT_EQ(create.rfind(indent + "CREATE TABLE IF NOT EXISTS InAppMessage (\n" + indent +
                               "CampaignId TEXT UNIQUE,\n" + indent + "PortraitAvailable INT,",
                           0),
              0u);
    EXPECT_TRUE(create.ends_with(",\n" + indent + "UnavailableDay TEXT,\n" + indent +
                                 "UnavailableTime INT)"));
    EXPECT_NE(create.find(",\n" + indent + "html TEXT,\n"), std::string::npos);
    EXPECT_EQ(std::count(create.begin(), create.end(), '\n'), 25);
    EXPECT_EQ(m.insertQuery(),
              "INSERT INTO InAppMessage (\nCampaignId,\nPortraitAvailable,\nLandscapeAvailable,\n"
              "ExternalAttr,\nTimezoneOffset,\nTimezoneType,\nType,\nLayout,\nhtml,\n"
              "BgStyleBgColor,\nBgStyleOverlayColor,\nContentsText,\nContentsButtons,\n"
              "DefaultCloseButtonColor,\nDefaultCloseButtonBgColor,\nStickyBannerOption,\n"
              "FrequencyCapPerSession,\nFrequencyCapPerUser,\nFrequencyCapForPeriodInMinutes,\n"
              "FrequencyCapForPeriodPerPeriod,\nStartDateTime,\nEndDateTime,\nLastUpdatedTime,\n"
              "UnavailableDay,\nUnavailableTime\n) VALUES (\n?, ?, ?, ?, ?, ?, ?, ?, ?, ?,\n"
              "?, ?, ?, ?, ?, ?, ?, ?, ?, ?,\n?, ?, ?, ?, ?)");
    EXPECT_EQ(m.dropTableQuery(), "DROP TABLE IF EXISTS InAppMessage");

    EXPECT_EQ(TriggersTable().createTableQuery(),
              "CREATE TABLE IF NOT EXISTS Triggers (\nCampaignId TEXT,\nType TEXT,\nEventName "
              "TEXT,\nPriority INT)");
    EXPECT_EQ(TriggersTable().insertQuery(),
              "INSERT INTO Triggers (\nCampaignId,\nType,\nEventName,\nPriority\n) VALUES (?, ?, "
              "?, ?)");
    EXPECT_EQ(AvailableTimeTable().createTableQuery(),
              "CREATE TABLE IF NOT EXISTS AvailableTime (\nCampaignId TEXT,\nDay TEXT,\nStartMin "
              "INT,\nEndMin INT)");
    EXPECT_EQ(AvailableTimeTable().insertQuery(),
              "INSERT INTO AvailableTime (\nCampaignId,\nDay,\nStartMin,\nEndMin\n) VALUES (?, ?, "
              "?, ?)");
    EXPECT_EQ(CurrentFrequencyCapTable().createTableQuery(),
              "CREATE TABLE IF NOT EXISTS CurrentFrequency (\nCampaignId TEXT UNIQUE,\n"
              "CurrentFrequencyCapPerSession INT,\nCurrentFrequencyCapPerUser INT,\n"
              "FrequencyLastGroupStartTime INT,\nFrequencyLastGroupCount INT)");
    EXPECT_EQ(CurrentFrequencyCapTable().insertQuery(),
              "INSERT OR REPLACE INTO CurrentFrequency (\nCampaignId,\n"
              "CurrentFrequencyCapPerSession,\nCurrentFrequencyCapPerUser,\n"
              "FrequencyLastGroupStartTime,\nFrequencyLastGroupCount\n) VALUES (?, ?, ?, ?, ?)");
    EXPECT_EQ(ImageTable().createTableQuery(),
              "CREATE TABLE IF NOT EXISTS Image (\nCampaignId TEXT,\nOrientation TEXT,\nUrl "
              "TEXT,\nImagePathString TEXT,\nClickAction TEXT,\nIsFirstShow INT)");
    EXPECT_EQ(ImageTable().insertQuery(),
              "INSERT INTO Image (\nCampaignId,\nOrientation,\nUrl,\nImagePathString,\n"
              "ClickAction,\nIsFirstShow\n) VALUES (?, ?, ?, ?, ?, ?)");
    EXPECT_EQ(ImageTable().dropTableQuery(), "DROP TABLE IF EXISTS Image");
}

using InAppMessageStore = InAppMessageFixture;

TEST_F(InAppMessageStore, SchemaOnDiskAndTableLifecycle) {
    const Rows schema =
        rows("SELECT name, sql FROM sqlite_master WHERE type = 'table' ORDER BY rowid");
    ASSERT_EQ(schema.size(), 5u);
    EXPECT_EQ(schema[0][0], "InAppMessage");
    // SQLite keeps the text without its "IF NOT EXISTS".
    EXPECT_EQ(schema[1][1],
              "CREATE TABLE Triggers (\nCampaignId TEXT,\nType TEXT,\nEventName TEXT,\nPriority "
              "INT)");
    EXPECT_EQ(schema[4][0], "Image");
    EXPECT_EQ(testing::modeOf(dbPath()), 0600);

    // The lookups by event and by campaign have their indexes.
    EXPECT_EQ(count("sqlite_master", "type = 'index' AND name LIKE '%Index'"), 4u);
    auto& store = dao->store();
    store.createTables();  // again: nothing happens, nothing is logged
    EXPECT_EQ(log.count("Can not Create"), 0);
    store.dropTables();
    EXPECT_EQ(count("sqlite_master"), 0u);  // the indexes went with their tables
    EXPECT_EQ(log.count("Delete InAppMessageTable Success"), 1);
    EXPECT_EQ(log.count("Delete ImageTable Success"), 1);
    store.dropTables();  // missing tables drop fine
    EXPECT_EQ(log.count("Delete CurrentFrequencyCapTable Success"), 2);
    // Without tables every write fails with its line, and nothing throws.
    store.insertTriggerTable("c1", "inappevent", "custom:buy", 1);
    EXPECT_EQ(log.count("Insert to TriggerTable not prepared, campaignId : c1"), 1);
    EXPECT_TRUE(store.campaignIdsForEvent("custom:buy").empty());
    EXPECT_EQ(log.count("campaignIdsForEvent :: can not prepare query string : SELECT"), 1);
    dao->createTables();
    EXPECT_EQ(count("sqlite_master", "type = 'table'"), 5u);
}

TEST_F(InAppMessageStore, RowOperations) {
    auto& s = dao->store();
    CampaignRow row;
    row.campaignId = "c1";
    row.startDateTime = 1709596800123;  // far above 32 bits
    row.lastUpdatedTime = -5;
    EXPECT_EQ(s.insertInAppMessageTable(row), SQLITE_DONE);
    row.texts.type = "second";
    EXPECT_NE(s.insertInAppMessageTable(row), SQLITE_DONE);  // UNIQUE
    EXPECT_EQ(log.count("Insert to InAppMessageTable Success, campaignId : c1"), 1);
    EXPECT_EQ(log.count("Insert to InAppMessageTable fail, campaignId : c1"), 1);
    EXPECT_EQ(s.writeFailures(), 0u);  // the list's own doing, not the disk's
    EXPECT_EQ(rows("SELECT Type, html, UnavailableDay, UnavailableTime, StartDateTime, "
                   "LastUpdatedTime FROM InAppMessage"),
              (Rows{{"", "", "", "0", "1709596800123", "-5"}}));

    s.insertCurrentFrequencyCapTable("c1", 1, 2, 3, 4);
    s.insertCurrentFrequencyCapTable("c1", 5, 6, 7000000000000, 8);
    s.insertCurrentFrequencyCapTable("c2", 9, 9, 9, 9);
    EXPECT_EQ(counters("c1"), (std::vector<std::string>{"5", "6", "7000000000000", "8"}));
    EXPECT_TRUE(s.isCurrentFrequencyExist("c1"));
    EXPECT_FALSE(s.isCurrentFrequencyExist("c3"));
    s.resetFrequencyCapPerSession();
    EXPECT_EQ(counters("c1"), (std::vector<std::string>{"0", "6", "7000000000000", "8"}));
    EXPECT_EQ(counters("c2"), (std::vector<std::string>{"0", "9", "9", "9"}));
    EXPECT_EQ(log.count("resetFrequencyCapPerSession Success"), 1);

    s.insertImageTable("c1", "portrait", "https://i/p.png", "no_image", "{}", true);
    EXPECT_EQ(rows("SELECT IsFirstShow FROM Image"), (Rows{{"1"}}));
    s.updateImageTable("c1", "portrait", "https://i/q.png", "file", "{\"a\":\"it's\"}", false);
    EXPECT_EQ(rows("SELECT Url, ImagePathString, ClickAction, IsFirstShow FROM Image"),
              (Rows{{"https://i/q.png", "file", "{\"a\":\"it's\"}", "0"}}));
    EXPECT_EQ(s.getImageUrlFromImageTable("c1", "portrait"), "https://i/q.png");
    EXPECT_EQ(s.getImageUrlFromImageTable("c1", "landscape"), "");

    s.closeForOneDay("c1", "Tue", 1234567890123);
    EXPECT_EQ(rows("SELECT UnavailableDay, typeof(UnavailableTime), UnavailableTime FROM "
                   "InAppMessage"),
              (Rows{{"Tue", "integer", "1234567890123"}}));
    s.closeForOneDay("nobody", "Tue", 1);
    EXPECT_EQ(log.count("Update One Day Close to InAppMessageTable Success, campaignId : nobody"),
              1);

    CampaignRow empty;
    s.insertInAppMessageTable(empty);
    EXPECT_EQ(s.getAllCampaignId(), (std::vector<std::string>{"c1"}));

    s.deleteAllCampaigns();
    EXPECT_TRUE(s.getAllCampaignId().empty());
    EXPECT_EQ(count("CurrentFrequency"), 2u);
    EXPECT_EQ(count("Image"), 1u);
    s.deleteCampaign("c2");
    EXPECT_EQ(count("CurrentFrequency"), 1u);
    EXPECT_EQ(log.count("Delete CurrentFrequencyCapTable Success, campaignId : c2"), 1);
    EXPECT_EQ(log.count("Delete All TriggersTable Success"), 1);
}

TEST_F(InAppMessageStore, QuotesAndOddBytesNeverWidenAStatement) {
    auto& s = dao->store();
    const std::string sly = "x' OR '1'='1";
    const std::string nul("a\0b", 3);
    for (const std::string& id : {std::string("plain"), sly, nul, std::string("a")}) {
        CampaignRow row;
        row.campaignId = id;
        row.portraitAvailable = 1;
        row.texts.contentsText = "{}";
        s.insertInAppMessageTable(row);
        s.insertTriggerTable(id, "inappevent", "custom:it's " + id, 1);
        s.insertCurrentFrequencyCapTable(id, 0, 0, 0, 0);
        s.insertAvailableTimeTable(id, "all", 0, 0);
    }
    // Each id and event name matches itself only.
    for (const std::string& id : {std::string("plain"), sly, nul}) {
        auto found = s.campaignIdsForEvent("custom:it's " + id);
        ASSERT_EQ(found.size(), 1u) << id;
        EXPECT_EQ(found[0].campaignId, id);
        EXPECT_TRUE(s.isCurrentFrequencyExist(id));
        EXPECT_TRUE(s.getInAppMessageByCampaignId(id, true));
    }
    s.deleteCampaign(sly);
    s.deleteCampaign(nul);
    auto left = s.getAllCampaignId();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"a", "plain"}));
    EXPECT_EQ(count("Triggers"), 2u);
    EXPECT_EQ(count("CurrentFrequency"), 2u);
    s.closeForOneDay("a' OR 'x'='x", "Mon", 1);
    EXPECT_EQ(count("InAppMessage", "UnavailableDay = 'Mon'"), 0u);

    // The lookup, kept prepared between events, holds nothing that stops the
    // tables from being dropped and made again, and then reads the new ones.
    ASSERT_EQ(s.campaignIdsForEvent("custom:it's plain").size(), 1u);
    s.dropTables();
    EXPECT_EQ(count("sqlite_master"), 0u);
    EXPECT_TRUE(s.campaignIdsForEvent("custom:it's plain").empty());
    dao->createTables();
    EXPECT_TRUE(s.campaignIdsForEvent("custom:it's plain").empty());
    CampaignRow row;
    row.campaignId = "again";
    row.texts.contentsText = "{}";
    s.insertInAppMessageTable(row);
    s.insertTriggerTable("again", "inappevent", "custom:it's plain", 1);
    const auto again = s.campaignIdsForEvent("custom:it's plain");
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].campaignId, "again");
}

}  // namespace
}  // namespace sorvel::iamtest

namespace sorvel::iamtest {
namespace {

TEST(InAppMessageStoreOpening, ADamagedFileIsMovedAsideAndNoFolderMeansNoStore) {
    {
        testing::FreshSdk sdk;
        const std::string documents = platform::documentsFolder();
        {
            FILE* f = std::fopen((documents + "/SvlInAppMessage.sqlite").c_str(), "wb");
            ASSERT_TRUE(f);
            std::fputs("this is not a database, it only has the name of one", f);
            std::fclose(f);
        }
        auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
        auto dao = InAppMessageDAO::create(registry);
        ASSERT_TRUE(dao);
        dao->insertApiResponse2Table(answer({Value(campaign("c1"))}, "s"));
        EXPECT_EQ(dao->store().getAllCampaignId(), (std::vector<std::string>{"c1"}));
        bool movedAside = false;
        for (const auto& e : std::filesystem::directory_iterator(documents)) {
            movedAside =
                movedAside || e.path().filename().string().find("corrupt") != std::string::npos;
        }
        EXPECT_TRUE(movedAside);
    }
    {
        // Documents is a file: the database cannot open, the container keeps
        // no campaign store and does not try again, and the repository runs.
        testing::FreshSdk sdk;
        testing::DelegateLog log;
        FILE* f = std::fopen((sdk.home() + "/Documents").c_str(), "wb");
        ASSERT_TRUE(f);
        std::fclose(f);
        EXPECT_FALSE(DiContainer::shared().inAppMessageDAO());
        EXPECT_FALSE(DiContainer::shared().inAppMessageDAO());
        EXPECT_TRUE(DiContainer::shared().repository());
        EXPECT_EQ(log.count("Unable to open InAppMessage Database"), 1);
        EXPECT_EQ(log.count("InAppMessageDAO init Error, can not use InAppMessage"), 1);
    }
}

// A store that has to start empty (its file was damaged and moved aside, or
// something else stood in its place) forgets the checksum and expiry of the
// list it held: otherwise the server, asked with the old checksum, answers
// "unchanged" and the store is never filled again.
TEST(InAppMessageStoreOpening, AStoreThatOpensEmptyForgetsTheChecksumAndExpiryOfTheOldList) {
    const std::string damages[] = {"intact", "garbage", "truncated", "empty", "folder", "fifo"};
    for (const std::string& damage : damages) {
        SCOPED_TRACE(damage);
        testing::FreshSdk sdk;
        const std::string path =
            platform::documentsFolder() + "/" + InAppMessageSqliteStore::DATABASE_NAME;
        {
            // An earlier launch stored a list, its checksum and its expiry.
            auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
            auto dao = InAppMessageDAO::create(registry);
            ASSERT_TRUE(dao);
            dao->insertApiResponse2Table(answer({Value(campaign("c1"))}, "sum-1", "changed", 600));
            ASSERT_EQ(dao->store().getAllCampaignId(), (std::vector<std::string>{"c1"}));
            ASSERT_TRUE(registry->waitForPendingWrites());
        }
        std::filesystem::remove(path + "-wal");
        std::filesystem::remove(path + "-shm");
        if (damage == "garbage") {
            FILE* f = std::fopen(path.c_str(), "wb");
            ASSERT_TRUE(f);
            std::fputs("not a database at all, only a file with its name", f);
            std::fclose(f);
        } else if (damage == "truncated") {
            std::filesystem::resize_file(path, 100);
        } else if (damage == "empty") {
            std::filesystem::resize_file(path, 0);
        } else if (damage == "folder") {
            std::filesystem::remove(path);
            std::filesystem::create_directory(path);
        } else if (damage == "fifo") {
            std::filesystem::remove(path);
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        }

        // The next launch.
        auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
        ASSERT_EQ(registry->getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, ""),
                  "sum-1");
        auto dao = InAppMessageDAO::create(registry);
        ASSERT_TRUE(dao);
        const auto stored = dao->store().getAllCampaignId();
        const bool expired =
            autoevent::isInAppMessageListExpired(*registry, platform::wallMillis());
        const auto checksum =
            registry->getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, "<none>");
        if (damage == "intact") {
            EXPECT_EQ(stored, (std::vector<std::string>{"c1"}));
            EXPECT_EQ(checksum, "sum-1");
            EXPECT_FALSE(expired);
            continue;
        }
        EXPECT_TRUE(stored.empty());
        EXPECT_EQ(checksum, "<none>");
        EXPECT_EQ(registry->getInt(DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY, -1), -1);
        EXPECT_EQ(registry->getInt64(DataRegistryKey::INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME, -1),
                  -1);
        EXPECT_TRUE(expired);
        // The server, asked without a checksum, sends the list again, and it
        // is stored as it would be in a new store.
        dao->insertApiResponse2Table(answer({Value(campaign("c1"))}, "sum-1", "changed", 600));
        EXPECT_EQ(dao->store().getAllCampaignId(), (std::vector<std::string>{"c1"}));
        ASSERT_TRUE(registry->waitForPendingWrites());
        // A later launch on the refilled store keeps what it stored.
        auto again = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
        dao.reset();
        auto reopened = InAppMessageDAO::create(again);
        ASSERT_TRUE(reopened);
        EXPECT_EQ(again->getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, ""), "sum-1");
    }
}

}  // namespace
}  // namespace sorvel::iamtest
