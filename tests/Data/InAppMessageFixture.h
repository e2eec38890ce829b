#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/SvlLog.h"
#include "InAppMessage/InAppMessageDAO.h"
#include "Platform/FileSystem.h"
#include "Platform/Host.h"
#include "Platform/Sqlite.h"
#include "support/CommonSupport.h"
#include "support/ImageSupport.h"
#include "support/TestSupport.h"

namespace sorvel::iamtest {

// A valid campaign of the list's format: shown in both orientations, for
// "custom:buy" at priority 1, every day at any time, from 2024 on, no caps.
inline Value::Map campaign(const std::string& id) {
    auto action = [](const char* type) {
        return Value(Value::Map{{"action_id", Value("a-" + std::string(type))},
                                {"action_type", Value(type)},
                                {"action_arg", Value("https://x.test/" + std::string(type))}});
    };
    Value::Map contents{
        {"bg_style",
         Value(Value::Map{{"bg_color", Value("#FFFFFF")}, {"overlay_color", Value("#80000000")}})},
        {"text", Value(Value::Map{{"title", Value("Title " + id)}, {"body", Value("Body")}})},
        {"buttons", Value(Value::Array{Value(Value::Map{{"button_id", Value("b1")},
                                                        {"text", Value("OK")},
                                                        {"click_action", action("close")}})})},
        {"default_close_button",
         Value(Value::Map{{"color", Value("#000000")}, {"bg_color", Value("#EEEEEE")}})},
        {"sticky_banner_option", Value(Value::Map{{"align", Value("bottom")}})},
    };
    return Value::Map{
        {"campaign_id", Value(id)},
        {"type", Value("modal")},
        {"layout", Value("text")},
        {"contents", Value(std::move(contents))},
        {"frequency_cap", Value(Value::Map{})},
        {"triggers", Value(Value::Array{Value(Value::Map{{"evt", Value("custom:buy")},
                                                         {"type", Value("inappevent")},
                                                         {"priority", Value(1)}})})},
        {"available_time", Value(Value::Array{})},
        {"start_datetime", Value("2024-01-01T00:00:00")},
        {"end_datetime", Value("null")},
        {"last_updated_datetime", Value("2024-01-01T00:00:00.0000000Z")},
        {"page_orientation", Value(Value::Array{Value("portrait"), Value("landscape")})},
        {"timezone_type", Value("Local")},
        {"timezone_offset", Value(0)},
        {"ext_attr", Value(Value::Map{{"k", Value("v")}})},
    };
}

// Gives the campaign one image per orientation, with a click action.
inline Value::Map withImages(Value::Map c, const std::string& portraitUrl,
                             const std::string& landscapeUrl) {
    Value::Map& contents = *c["contents"].getMap();
    Value::Map urls;
    if (!portraitUrl.empty()) {
        urls["portrait"] = Value(portraitUrl);
    }
    if (!landscapeUrl.empty()) {
        urls["landscape"] = Value(landscapeUrl);
    }
    contents["image"] =
        Value(Value::Map{{"url", Value(std::move(urls))},
                         {"click_action", Value(Value::Map{{"action_id", Value("img")},
                                                           {"action_type", Value("deeplink")},
                                                           {"action_arg", Value("app://open")}})}});
    return c;
}

// A campaign-list answer.
inline std::string answer(const Value::Array& campaigns, const std::string& checksum,
                          const std::string& status = "changed", std::int64_t minutes = 60) {
    return Value(Value::Map{{"data", Value(Value::Map{{"status", Value(status)},
                                                      {"checksum", Value(checksum)},
                                                      {"minutes_to_expiry", Value(minutes)},
                                                      {"in_app_messages", Value(campaigns)}})}})
        .toJson();
}

// Images a fake fetcher answers with, by URL; it counts what it was asked.
class FakeImages {
  public:
    void set(const std::string& url, platform::HttpResponse response) {
        std::lock_guard<std::mutex> lock(mu_);
        answers_[url] = std::move(response);
    }
    void setImage(const std::string& url, const std::string& bytes) {
        platform::HttpResponse r;
        r.status = 200;
        r.body = bytes;
        set(url, std::move(r));
    }
    int count(const std::string& url) {
        std::lock_guard<std::mutex> lock(mu_);
        return asked_[url];
    }
    ImageFetcher fetcher() {
        return [this](const std::string& url) {
            std::lock_guard<std::mutex> lock(mu_);
            ++asked_[url];
            auto it = answers_.find(url);
            if (it != answers_.end()) {
                return it->second;
            }
            platform::HttpResponse r;
            r.error = "Couldn't connect to server";
            return r;
        };
    }

  private:
    std::mutex mu_;
    std::map<std::string, platform::HttpResponse> answers_;
    std::map<std::string, int> asked_;
};

// A fresh app with a manual clock on Tuesday 2024-03-05 09:30 in a fixed
// zone of UTC+9, the network up, the log delegate recording, a registry and
// the campaign store's access object over the real database.
class InAppMessageFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::host::setTimeZone(
            std::make_shared<platform::FixedTimeZone>(std::chrono::hours(9)));
        setLocal(9, 30);
        platform::host::setReachability(std::string("wifi"));
        registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
        dao = InAppMessageDAO::create(registry);
        ASSERT_TRUE(dao);
        dao->store().setImageFetcher(images.fetcher());
    }
    void TearDown() override {
        if (dao) {
            dao->waitForImageQueue();
        }
    }

    // Sets the clock to Tuesday 2024-03-05 hh:mm local time (plus days).
    void setLocal(int hh, int mm, int days = 0) {
        const auto utcMidnight = platform::WallTime(std::chrono::seconds(1709596800));
        sdk.clock()->setWall(utcMidnight + std::chrono::hours(24 * days + hh - 9) +
                             std::chrono::minutes(mm));
    }
    std::int64_t nowMs() const { return platform::wallMillis(); }

    void ingest(const Value::Array& campaigns, const std::string& checksum = "c1") {
        dao->insertApiResponse2Table(answer(campaigns, checksum));
    }

    std::string dbPath() const {
        return platform::documentsFolder() + "/" + InAppMessageSqliteStore::DATABASE_NAME;
    }
    // Every row the statement gives, each column as text ("NULL" for null).
    std::vector<std::vector<std::string>> rows(const std::string& sql) {
        int rc = 0;
        auto db = platform::sqlite::Connection::open(dbPath(), SQLITE_OPEN_READONLY, rc);
        EXPECT_TRUE(db) << rc;
        std::vector<std::vector<std::string>> out;
        if (!db) {
            return out;
        }
        auto s = db->prepare(sql);
        EXPECT_TRUE(s) << sql;
        while (s && s.step() == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < s.columnCount(); ++i) {
                row.push_back(s.columnIsNull(i) ? "NULL" : s.columnText(i));
            }
            out.push_back(std::move(row));
        }
        return out;
    }
    std::size_t count(const std::string& table, const std::string& where = "") {
        auto r = rows("SELECT count(*) FROM " + table + (where.empty() ? "" : " WHERE " + where));
        return r.empty() ? 0 : std::stoul(r[0][0]);
    }
    // The frequency row: session, user, period start, period count.
    std::vector<std::string> counters(const std::string& id) {
        auto r = rows(
            "SELECT CurrentFrequencyCapPerSession, CurrentFrequencyCapPerUser, "
            "FrequencyLastGroupStartTime, FrequencyLastGroupCount FROM CurrentFrequency "
            "WHERE CampaignId = " +
            platform::sqlite::quote(id));
        return r.empty() ? std::vector<std::string>{} : r[0];
    }

    testing::FreshSdk sdk{true};
    testing::DelegateLog log;
    FakeImages images;
    std::shared_ptr<DataRegistry> registry;
    std::shared_ptr<InAppMessageDAO> dao;
};

}  // namespace sorvel::iamtest
