#include <algorithm>

#include "Data/InAppMessageFixture.h"

namespace sorvel::iamtest {
namespace {

using Rows = std::vector<std::vector<std::string>>;
using InAppMessageIngest = InAppMessageFixture;

std::string checksum(DataRegistry& r) {
    return r.getString(DataRegistryKey::STRING_IN_APP_MESSAGE_CHECKSUM, "<none>");
}

TEST_F(InAppMessageIngest, ChangedListIsWrittenWithItsDefaults) {
    Value::Map c1 = campaign("c1");
    c1["available_time"] = Value(
        Value::Array{Value(Value::Map{{"days", Value(Value::Array{Value("Mon"), Value("Tue")})},
                                      {"start_min", Value(540)},
                                      {"end_min", Value(1080)}})});
    c1["frequency_cap"] =
        Value(Value::Map{{"per_session", Value(2)},
                         {"per_user", Value(5)},
                         {"per_period", Value(Value::Map{{"period_in_minutes", Value(60)}})}});
    c1["end_datetime"] = Value("2030-01-02T03:04:05.678");
    c1["last_updated_datetime"] = Value("2024-03-01T10:20:30.1234567Z");
    Value::Map c2 = campaign("c2");
    c2["page_orientation"] = Value(Value::Array{Value("portrait")});
    c2["contents"] = Value(Value::Map{});
    c2["available_time"] = Value(Value::Array{Value(Value::Map{
        {"days", Value(Value::Array{})}, {"start_min", Value(0)}, {"end_min", Value(1440)}})});
    c2["triggers"] = Value(Value::Array{});
    c2.erase("end_datetime");
    c2.erase("timezone_type");
    c2["timezone_offset"] = Value("9");  // not a number: the default

    ingest({Value(c1), Value(c2)}, "sum-1");
    EXPECT_EQ(checksum(*registry), "sum-1");
    EXPECT_EQ(registry->getInt(DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY, -1), 60);
    EXPECT_EQ(registry->getInt64(DataRegistryKey::INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME, -1),
              nowMs());

    EXPECT_EQ(rows("SELECT CampaignId, PortraitAvailable, LandscapeAvailable, TimezoneOffset, "
                   "TimezoneType, Type, Layout, BgStyleBgColor, DefaultCloseButtonBgColor, "
                   "FrequencyCapPerSession, FrequencyCapPerUser, FrequencyCapForPeriodInMinutes, "
                   "FrequencyCapForPeriodPerPeriod, StartDateTime, EndDateTime, LastUpdatedTime "
                   "FROM InAppMessage ORDER BY rowid"),
              (Rows{{"c1", "1", "1", "0", "Local", "modal", "text", "#FFFFFF", "#EEEEEE", "2", "5",
                     "60", "0", "1704067200000", "1893553445678", "1709288430123"},
                    {"c2", "1", "0", "0", "", "modal", "text", "", "", "0", "0", "0", "0",
                     "1704067200000", "0", "1704067200000"}}));
    // The JSON columns hold the objects whole; missing ones are {} and [].
    auto json = rows(
        "SELECT ExternalAttr, ContentsText, ContentsButtons, StickyBannerOption "
        "FROM InAppMessage ORDER BY rowid");
    EXPECT_EQ(Value::fromJson(json[0][0]), Value(Value::Map{{"k", Value("v")}}));
    EXPECT_EQ(Value::fromJson(json[0][1])->getMap()->at("title"), Value("Title c1"));
    EXPECT_EQ(Value::fromJson(json[0][2])->getArray()->size(), 1u);
    EXPECT_EQ(Value::fromJson(json[1][1]), Value(Value::Map{}));
    EXPECT_EQ(Value::fromJson(json[1][2]), Value(Value::Array{}));
    EXPECT_NE(json[0][0].find('\n'), std::string::npos);  // pretty-printed

    EXPECT_EQ(rows("SELECT CampaignId, Type, EventName, Priority FROM Triggers"),
              (Rows{{"c1", "inappevent", "custom:buy", "1"}}));
    EXPECT_EQ(rows("SELECT CampaignId, Day, StartMin, EndMin FROM AvailableTime ORDER BY rowid"),
              (Rows{{"c1", "Mon", "540", "1080"}, {"c1", "Tue", "540", "1080"}}));
    EXPECT_EQ(counters("c1"), (std::vector<std::string>{"0", "0", "0", "0"}));
    EXPECT_EQ(counters("c2"), (std::vector<std::string>{"0", "0", "0", "0"}));
    EXPECT_EQ(count("Image"), 0u);
}

TEST_F(InAppMessageIngest, UnchangedAndNoActiveCampaignLeaveTheStore) {
    ingest({Value(campaign("c1"))}, "sum-1");
    sdk.clock()->advance(std::chrono::minutes(5));
    dao->insertApiResponse2Table(answer({Value(campaign("other"))}, "sum-2", "unchanged", 30));
    EXPECT_EQ(checksum(*registry), "sum-2");
    EXPECT_EQ(registry->getInt(DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY, -1), 30);
    EXPECT_EQ(registry->getInt64(DataRegistryKey::INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME, -1),
              nowMs());
    EXPECT_EQ(dao->store().getAllCampaignId(), (std::vector<std::string>{"c1"}));
    EXPECT_EQ(log.count("isCampaignChanged: inAppMessage Campaign unchanged"), 1);

    dao->insertApiResponse2Table(answer({}, "__no_active_campaign__", "ok", 10));
    EXPECT_EQ(checksum(*registry), "__no_active_campaign__");
    EXPECT_EQ(dao->store().getAllCampaignId(), (std::vector<std::string>{"c1"}));
    EXPECT_EQ(log.count("isCampaignChanged: No Active Campaign"), 1);

    // A changed empty list empties the campaign tables; counters and images stay.
    dao->store().insertImageTable("c1", "portrait", "u", "no_image", "{}", false);
    ingest({}, "sum-3");
    EXPECT_EQ(count("InAppMessage") + count("Triggers") + count("AvailableTime"), 0u);
    EXPECT_EQ(count("CurrentFrequency"), 1u);
    EXPECT_EQ(count("Image"), 1u);
}

TEST_F(InAppMessageIngest, BadAnswersChangeNothing) {
    ingest({Value(campaign("c1"))}, "sum-1");
    const auto time =
        registry->getInt64(DataRegistryKey::INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME, -1);
    sdk.clock()->advance(std::chrono::minutes(1));
    const std::vector<std::string> notObjects = {"", "[]", "not json", "{\"data\":", "null", "5"};
    for (const auto& text : notObjects) {
        dao->insertApiResponse2Table(text);
    }
    EXPECT_EQ(log.count("InAppMessageDAO.insertApiResponse2Table : can not cast response to "
                        "jsonObject, response : "),
              static_cast<int>(notObjects.size()));
    const std::vector<std::string> noStatus = {
        R"({})",
        R"({"data":[]})",
        R"({"data":{"status":"changed","checksum":"x"}})",
        R"({"data":{"status":"changed","checksum":"x","minutes_to_expiry":"60"}})",
        R"({"data":{"status":1,"checksum":"x","minutes_to_expiry":60}})",
        R"({"data":{"status":"changed","checksum":null,"minutes_to_expiry":60}})",
        R"({"data":{"status":"changed","checksum":"x","minutes_to_expiry":1.5}})",
    };
    for (const auto& text : noStatus) {
        dao->insertApiResponse2Table(text);
    }
    EXPECT_EQ(log.count("InAppMessageDAO.insertApiResponse2Table : no status or checksum or "
                        "minutesToExpiry "),
              static_cast<int>(noStatus.size()));
    EXPECT_EQ(checksum(*registry), "sum-1");
    EXPECT_EQ(registry->getInt64(DataRegistryKey::INT64_IN_APP_MESSAGE_LAST_RESPONSE_TIME, -1),
              time);
    EXPECT_EQ(dao->store().getAllCampaignId(), (std::vector<std::string>{"c1"}));
}

TEST_F(InAppMessageIngest, MissingRequiredKeysStopTheRewriteAndKeepTheOldChecksum) {
    ingest({Value(campaign("c0"))}, "sum-0");

    Value::Map noId = campaign("c2");
    noId.erase("campaign_id");
    dao->insertApiResponse2Table(
        answer({Value(campaign("c1")), Value(noId), Value(campaign("c3"))}, "sum-1"));
    EXPECT_EQ(log.count("InAppMessageDAO.insertApiResponse2Table : jsonDic does not contain "
                        "required value"),
              1);
    EXPECT_EQ(dao->store().getAllCampaignId(), (std::vector<std::string>{"c1"}));
    // Not settled: the next request asks for the whole list again.
    EXPECT_EQ(checksum(*registry), "sum-0");
    EXPECT_EQ(registry->getInt(DataRegistryKey::INT_IN_APP_MESSAGE_MINUTES_TO_EXPIRY, -1), 60);

    // A trigger without a priority: the row and the triggers before it stay.
    Value::Map badTrigger = campaign("c4");
    badTrigger["triggers"] = Value(Value::Array{
        Value(Value::Map{
            {"evt", Value("custom:a")}, {"type", Value("inappevent")}, {"priority", Value(1)}}),
        Value(Value::Map{{"evt", Value("custom:b")}, {"type", Value("inappevent")}})});
    ingest({Value(badTrigger)}, "sum-2");
    EXPECT_EQ(dao->store().getAllCampaignId(), (std::vector<std::string>{"c4"}));
    EXPECT_EQ(rows("SELECT EventName FROM Triggers"), (Rows{{"custom:a"}}));
    EXPECT_EQ(checksum(*registry), "sum-0");

    // Dates: a bad end date stops before the row; a last update without
    // seven fraction digits is no date; "null" start is none.
    for (auto [key, value] : std::vector<std::pair<const char*, const char*>>{
             {"end_datetime", "tomorrow"},
             {"last_updated_datetime", "2024-03-01T10:20:30"},
             {"start_datetime", "null"}}) {
        Value::Map c = campaign("d");
        c[key] = Value(value);
        ingest({Value(c)}, "sum-3");
        EXPECT_TRUE(dao->store().getAllCampaignId().empty()) << key;
    }
    EXPECT_EQ(log.count("getStartDateTimeInt64 :: Cannot covert endDateString to date, "
                        "endDateString : tomorrow"),
              1);
    EXPECT_EQ(log.count("getLastUpdatedDateTimeInt64 :: Cannot covert lastUpdatedDateString to "
                        "date, lastUpdatedDateString : 2024-03-01T10:20:30"),
              1);
    EXPECT_EQ(log.count("getStartDateTimeInt64 :: Cannot covert startDateString to date, "
                        "startDateString : null"),
              1);

    // Wrong types at every required key.
    for (const char* key : {"contents", "campaign_id", "frequency_cap", "triggers",
                            "available_time", "page_orientation"}) {
        Value::Map c = campaign("w");
        c[key] = Value(42);
        ingest({Value(c)}, "sum-4");
        EXPECT_TRUE(dao->store().getAllCampaignId().empty()) << key;
    }
    dao->insertApiResponse2Table(R"({"data":{"status":"changed","checksum":"s",)"
                                 R"("minutes_to_expiry":5,"in_app_messages":[{}, 3]}})");
    EXPECT_EQ(checksum(*registry), "sum-0");

    // A good list settles the store and its checksum.
    ingest({Value(campaign("ok"))}, "sum-5");
    EXPECT_EQ(checksum(*registry), "sum-5");
}

TEST_F(InAppMessageIngest, CountersCarryOverAndDuplicatesMerge) {
    ingest({Value(campaign("c1"))}, "s1");
    dao->store().insertCurrentFrequencyCapTable("c1", 1, 4, 77, 2);
    Value::Map again = campaign("c1");
    again["triggers"] = Value(Value::Array{Value(Value::Map{
        {"evt", Value("custom:other")}, {"type", Value("inappevent")}, {"priority", Value(3)}})});
    ingest({Value(campaign("c1")), Value(again), Value(campaign("new"))}, "s2");
    EXPECT_EQ(counters("c1"), (std::vector<std::string>{"1", "4", "77", "2"}));
    EXPECT_EQ(counters("new"), (std::vector<std::string>{"0", "0", "0", "0"}));
    EXPECT_EQ(count("InAppMessage"), 2u);
    EXPECT_EQ(count("Triggers", "CampaignId = 'c1'"), 2u);
    EXPECT_EQ(log.count("Insert to InAppMessageTable fail, campaignId : c1"), 1);
    // A duplicate id is the list's own fault: the list still counts as stored.
    EXPECT_EQ(checksum(*registry), "s2");
}

TEST_F(InAppMessageIngest, ImageRowsFollowTheirUrls) {
    images.setImage("https://img.test/p1.png", testing::pngOf(testing::solidImage(4, 4, 9, 9, 9)));
    images.setImage("https://img.test/l1.jpg",
                    testing::jpegOf(testing::solidImage(8, 4, 0, 0, 255)));
    ingest(
        {Value(withImages(campaign("c1"), "https://img.test/p1.png", "https://img.test/l1.jpg"))});
    dao->waitForImageQueue();
    auto image = rows(
        "SELECT Orientation, Url, ImagePathString, ClickAction, IsFirstShow FROM "
        "Image ORDER BY rowid");
    ASSERT_EQ(image.size(), 2u);
    EXPECT_EQ(image[0][0], "portrait");
    EXPECT_EQ(image[1][1], "https://img.test/l1.jpg");
    EXPECT_EQ(image[0][4], "1");  // fetched in the background, not shown yet
    EXPECT_EQ(Value::fromJson(image[0][3])->getMap()->at("action_type"), Value("deeplink"));
    const std::string portraitFile = image[0][2];
    const std::string landscapeFile = platform::documentsFolder() + "/" + image[1][2] + ".png";
    EXPECT_EQ(portraitFile.size(), 36u);  // a UUID
    EXPECT_EQ(testing::modeOf(landscapeFile), 0600);
    // The JPEG was saved as a PNG.
    auto saved = dao->store().loadImageFromInternalStorage(image[1][2]);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->width, 8u);

    // Same portrait URL with a new click action: untouched. New landscape URL:
    // the old file goes, a new download is queued.
    Value::Map next =
        withImages(campaign("c1"), "https://img.test/p1.png", "https://img.test/l2.png");
    (*next["contents"].getMap())["image"].getMap()->at("click_action") = Value(Value::Map{});
    images.setImage("https://img.test/l2.png", testing::pngOf(testing::solidImage(2, 2, 1, 1, 1)));
    ingest({Value(next)}, "c2");
    dao->waitForImageQueue();
    auto after = rows(
        "SELECT Orientation, Url, ImagePathString, ClickAction FROM Image ORDER BY "
        "Orientation DESC");
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0][2], portraitFile);
    EXPECT_EQ(Value::fromJson(after[0][3])->getMap()->at("action_id"), Value("img"));
    EXPECT_EQ(after[1][1], "https://img.test/l2.png");
    EXPECT_NE(after[1][2], image[1][2]);
    EXPECT_EQ(testing::modeOf(landscapeFile), -1);
    EXPECT_EQ(images.count("https://img.test/p1.png"), 1);

    // Portrait only: the landscape URL of the list is ignored; an empty URL
    // writes no row.
    Value::Map portraitOnly = withImages(campaign("c3"), "", "https://img.test/l3.png");
    portraitOnly["page_orientation"] = Value(Value::Array{Value("portrait")});
    ingest({Value(portraitOnly)}, "c3");
    dao->waitForImageQueue();
    EXPECT_EQ(count("Image", "CampaignId = 'c3'"), 0u);
    EXPECT_EQ(images.count("https://img.test/l3.png"), 0);
}

TEST_F(InAppMessageIngest, UpkeepAndDates) {
    EXPECT_EQ(InAppMessageDAO::getStartDateTimeInt64("2024-03-01T10:20:30.123"), 1709288430123);
    EXPECT_EQ(InAppMessageDAO::getEndDateTimeInt64("2024-03-01T10:20:30"), 1709288430000);
    EXPECT_EQ(InAppMessageDAO::getEndDateTimeInt64(std::nullopt), 0);
    EXPECT_EQ(InAppMessageDAO::getEndDateTimeInt64("null"), 0);
    EXPECT_FALSE(InAppMessageDAO::getStartDateTimeInt64(std::nullopt));
    EXPECT_EQ(log.count("getStartDateTimeInt64 :: startDateString is nil"), 1);
    EXPECT_EQ(InAppMessageDAO::getLastUpdatedDateTimeInt64("2024-03-01T10:20:30.1234567Z"),
              1709288430123);
    EXPECT_FALSE(InAppMessageDAO::getLastUpdatedDateTimeInt64(std::nullopt));
    EXPECT_EQ(log.count("getLastUpdatedDateTimeInt64 :: lastUpdatedDateString is nil"), 1);
    EXPECT_EQ(InAppMessageDAO::sortCampaignIds({{"a", 5, 100}, {"b", 7, 50}, {"c", 5, 200}}),
              (std::vector<std::string>{"b", "c", "a"}));

    ingest({Value(campaign("c1")), Value(campaign("c2"))});
    dao->deleteCampaignsNotIn({"c2", "unknown"});
    EXPECT_EQ(dao->store().getAllCampaignId(), (std::vector<std::string>{"c2"}));
    EXPECT_EQ(count("CurrentFrequency"), 1u);
    dao->deleteCampaignsNotIn({});
    EXPECT_EQ(count("InAppMessage") + count("CurrentFrequency"), 0u);

    images.setImage("https://img.test/p.png", testing::pngOf(testing::solidImage(1, 1, 0, 0, 0)));
    ingest({Value(withImages(campaign("c1"), "https://img.test/p.png", "https://img.test/none"))});
    dao->waitForImageQueue();
    EXPECT_EQ(count("Image", "ImagePathString = 'no_image'"), 1u);  // the failed one
    dao->deleteAllImagesAndDropTables();
    EXPECT_EQ(count("sqlite_master", "type = 'table'"), 0u);
    EXPECT_EQ(log.count("Delete Image in InternalStorage Successs, imageFileName = "), 1);
    EXPECT_EQ(log.count("deleteImageFromInternalStorage :: error"), 0);  // "no_image" is no file
    dao->createTables();
    EXPECT_EQ(count("sqlite_master", "type = 'table'"), 5u);
}

TEST_F(InAppMessageIngest, HostileTextsAndALargeList) {
    Value::Array list;
    const std::vector<std::string> ids = {"it's", "'; DROP TABLE Triggers; --",
                                          "\xff\xfe bad utf-8", std::string(5000, 'x')};
    for (const auto& id : ids) {
        Value::Map c = campaign(id);
        c["triggers"] = Value(Value::Array{Value(Value::Map{{"evt", Value("custom:" + id)},
                                                            {"type", Value("inappevent")},
                                                            {"priority", Value(1)}})});
        c["timezone_offset"] = Value(std::int64_t{1} << 40);  // beyond 32 bits: the default
        list.push_back(Value(std::move(c)));
    }
    for (int i = 0; i < 10000; ++i) {
        list.push_back(Value(campaign("bulk-" + std::to_string(i))));
    }
    dao->insertApiResponse2Table(answer(list, "big"));
    EXPECT_EQ(checksum(*registry), "big");
    EXPECT_EQ(count("InAppMessage"), ids.size() + 10000);
    EXPECT_EQ(count("InAppMessage", "TimezoneOffset = 0"), ids.size() + 10000);
    for (const auto& sent : ids) {
        // What the JSON text carries: invalid UTF-8 arrives replaced.
        const std::string id = *Value::fromJson(Value(sent).toJson())->getString();
        auto found = dao->store().campaignIdsForEvent("custom:" + id);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].campaignId, id);
    }
}

// A NUL inside a campaign id or a trigger name would end the text for much
// of what reads it back, so that "nul\0a" and "nul\0b" became one campaign:
// such a campaign is left out with a line, and the rest of the list is stored.
TEST_F(InAppMessageIngest, ACampaignWhoseIdOrTriggerHoldsANulIsLeftOut) {
    const std::string nulA("nul\0a", 5);
    const std::string nulB("nul\0b", 5);
    Value::Map badTrigger = campaign("trigger-nul");
    badTrigger["triggers"] = Value(Value::Array{
        Value(Value::Map{
            {"evt", Value("custom:buy")}, {"type", Value("inappevent")}, {"priority", Value(1)}}),
        Value(Value::Map{{"evt", Value(std::string("custom:s\0x", 10))},
                         {"type", Value("inappevent")},
                         {"priority", Value(1)}})});
    dao->insertApiResponse2Table(
        answer({Value(campaign(nulA)), Value(campaign("nul")), Value(campaign(nulB)),
                Value(badTrigger), Value(campaign("after"))},
               "sum-nul"));
    auto stored = dao->store().getAllCampaignId();
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, (std::vector<std::string>{"after", "nul"}));
    EXPECT_EQ(count("Triggers"), 2u);
    EXPECT_EQ(count("Triggers", "instr(EventName, char(0)) > 0"), 0u);
    EXPECT_EQ(count("CurrentFrequency"), 2u);
    EXPECT_EQ(log.count("InAppMessageDAO.insertInAppMessages : a campaign id or trigger name "
                        "holds a NUL character, campaign left out : "),
              3);
    EXPECT_EQ(log.count("campaign left out : nul\\0a"), 1);
    EXPECT_EQ(log.count("campaign left out : trigger-nul"), 1);
    // The list is otherwise good: it is settled.
    EXPECT_EQ(checksum(*registry), "sum-nul");
    auto found = dao->store().campaignIdsForEvent("custom:buy");
    ASSERT_EQ(found.size(), 2u);
}

}  // namespace
}  // namespace sorvel::iamtest
