#include <gtest/gtest.h>

#include <limits>

#include "InAppMessage/InAppMessageRules.h"
#include "Platform/Host.h"
#include "support/TestSupport.h"

namespace sorvel::inapp {
namespace {

using std::chrono::hours;
using std::chrono::minutes;

// 2024-03-05 is a Tuesday; `hh:mm` on it in the test's fixed zone (UTC+9).
platform::WallTime tuesdayAt(int hh, int mm) {
    const auto utcMidnight = platform::WallTime(std::chrono::seconds(1709596800));
    return utcMidnight + hours(hh) + minutes(mm) - hours(9);
}

class CampaignClockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::host::setTimeZone(std::make_shared<platform::FixedTimeZone>(hours(9)));
    }
    testing::FreshSdk sdk;
};

TEST_F(CampaignClockTest, WeekdayAndMinuteByZoneType) {
    struct Row {
        const char* type;
        std::int64_t offset;
        int hh, mm;
        const char* day;
        std::int64_t minute;
    };
    const Row rows[] = {
        {"Local", 0, 9, 30, "Tue", 570},
        {"Local", 99, 9, 30, "Tue", 570},    // the offset is only for "Global"
        {"Global", 0, 9, 30, "Tue", 570},    // offset 0 behaves as local
        {"Global", 9, 20, 15, "Wed", 315},   // 05:15 of the next day
        {"Global", -9, 2, 30, "Mon", 1050},  // 17:30 of the day before, never negative
        {"Global", 24, 0, 0, "Wed", 0},
        {"Global", -48, 23, 59, "Sun", 1439},
        {"Local", 0, 0, 0, "Tue", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.type) + " " + std::to_string(r.offset) + " " +
                     std::to_string(r.hh) + ":" + std::to_string(r.mm));
        const auto now = tuesdayAt(r.hh, r.mm);
        auto out = campaignClock(r.type, r.offset, now);
        ASSERT_TRUE(std::holds_alternative<CampaignClock>(out));
        const auto& at = std::get<CampaignClock>(out);
        EXPECT_EQ(at.day, r.day);
        EXPECT_EQ(at.minute, r.minute);
        EXPECT_EQ(
            at.nowMs,
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
    }
    EXPECT_EQ(std::get<CampaignClockFailure>(campaignClock("global", 0, tuesdayAt(9, 0))),
              CampaignClockFailure::InvalidType);
    EXPECT_EQ(std::get<CampaignClockFailure>(campaignClock("", 0, tuesdayAt(9, 0))),
              CampaignClockFailure::InvalidType);
    // Offsets no zone has: no date, never an overflow.
    for (std::int64_t offset : {std::int64_t{std::numeric_limits<std::int32_t>::max()},
                                std::int64_t{std::numeric_limits<std::int32_t>::min()}}) {
        EXPECT_EQ(std::get<CampaignClockFailure>(campaignClock("Global", offset, tuesdayAt(9, 0))),
                  CampaignClockFailure::NoDay);
    }
    EXPECT_EQ(weekdayName(tuesdayAt(9, 0) + hours(48)), "Thur");
}

TEST_F(CampaignClockTest, OneDayCloseHoldsForTheRestOfItsWeekdayOnly) {
    const auto now = tuesdayAt(15, 0);
    const std::int64_t nowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    EXPECT_TRUE(isClosedForToday("Tue", nowMs - 3600000, now));
    EXPECT_FALSE(isClosedForToday("Mon", nowMs - 3600000, now));
    // The same weekday name a week ago is another day.
    EXPECT_FALSE(isClosedForToday("Tue", nowMs - 7 * 86400000LL, now));
    EXPECT_FALSE(isClosedForToday("", 0, now));
    // A close time near the end of time does not wrap around.
    EXPECT_TRUE(isClosedForToday("Tue", std::numeric_limits<std::int64_t>::max(), now));
}

TEST(FrequencyCaps, DecisionsAndNextCounters) {
    const std::int64_t now = 10'000'000;
    struct Row {
        const char* what;
        FrequencyCounters in;
        FrequencyCaps caps;
        FrequencyVerdict verdict;
        FrequencyCounters next;
    };
    const Row rows[] = {
        {"no caps: counts and follows now",
         {0, 0, 0, 0},
         {0, 0, 0},
         FrequencyVerdict::MayShow,
         {1, 1, now, 1}},
        {"no caps, again", {3, 7, 5, 7}, {0, 0, 0}, FrequencyVerdict::MayShow, {4, 8, now, 8}},
        {"per user reached", {0, 3, 0, 0}, {0, 0, 3}, FrequencyVerdict::PerUserOver, {0, 3, 0, 0}},
        {"per user below", {0, 2, 0, 0}, {0, 0, 3}, FrequencyVerdict::MayShow, {1, 3, now, 1}},
        {"first period opens", {0, 0, 0, 0}, {60, 2, 0}, FrequencyVerdict::MayShow, {1, 1, now, 1}},
        {"inside the period",
         {1, 1, now - 1000, 1},
         {60, 2, 0},
         FrequencyVerdict::MayShow,
         {2, 2, now - 1000, 2}},
        {"period full",
         {2, 2, now - 1000, 2},
         {60, 2, 0},
         FrequencyVerdict::PeriodOver,
         {2, 2, now - 1000, 2}},
        {"period ending now is still open",
         {2, 2, now - 3'600'000, 2},
         {60, 2, 0},
         FrequencyVerdict::PeriodOver,
         {2, 2, now - 3'600'000, 2}},
        {"period over: a new one",
         {2, 2, now - 3'600'001, 2},
         {60, 2, 0},
         FrequencyVerdict::MayShow,
         {3, 3, now, 1}},
        {"per user before period",
         {0, 5, now, 9},
         {60, 1, 5},
         FrequencyVerdict::PerUserOver,
         {0, 5, now, 9}},
        // 50,000 minutes do not fit 32-bit milliseconds; measured in 64 bits
        // the period is still open.
        {"long period",
         {1, 1, now - 40'000LL * 60'000, 1},
         {50'000, 1, 0},
         FrequencyVerdict::PeriodOver,
         {1, 1, now - 40'000LL * 60'000, 1}},
        {"period start at the end of time",
         {1, 1, std::numeric_limits<std::int64_t>::max(), 1},
         {std::numeric_limits<std::int32_t>::max(), 5, 0},
         FrequencyVerdict::MayShow,
         {2, 2, std::numeric_limits<std::int64_t>::max(), 2}},
        {"counts stop at the largest value",
         {std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::max(), 0,
          std::numeric_limits<std::int32_t>::max()},
         {0, 0, 0},
         FrequencyVerdict::MayShow,
         {std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::max(), now,
          std::numeric_limits<std::int32_t>::max()}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const auto decision = decideFrequency(r.in, r.caps, now);
        EXPECT_EQ(decision.verdict, r.verdict);
        EXPECT_EQ(decision.next, r.next);
    }
}

TEST(MessageBuilding, FieldsFromTheRowTextsAndImages) {
    CampaignRowTexts row;
    row.type = "modal";
    row.layout = "image_and_text";
    row.bgColor = "#FFFFFF";
    row.overlayColor = "#80000000";
    row.contentsText = R"({"title":"Hi","title_color":"#111111","body":7,"align":"left"})";
    row.contentsButtons =
        R"([{"button_id":"b1","text":"Go","click_action":{"action_id":"a1",)"
        R"("action_type":"weblink","action_arg":"https://x.test"},"text_color":"#000000"},)"
        R"({"click_action":"close"},5])";
    row.defaultCloseButtonColor = "#222222";
    row.defaultCloseButtonBgColor = "#333333";
    row.stickyBannerOption = "";

    auto image = std::make_shared<const platform::Image>(platform::Image{1, 1, {9, 9, 9, 9}});
    const ImageInfo portrait{image, "https://img.test/p.png", true,
                             R"({"action_id":"ip","action_type":"close"})"};
    const ImageInfo landscape{nullptr, "https://img.test/l.png", false,
                              R"({"action_id":"il","action_arg":3})"};

    auto m = buildMessage("c1", row, portrait, landscape, true);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->campaignId, "c1");
    EXPECT_EQ(m->type, "modal");
    EXPECT_EQ(m->layout, "image_and_text");
    EXPECT_EQ(m->titleText, "Hi");
    EXPECT_EQ(m->titleTextColor, "#111111");
    EXPECT_FALSE(m->bodyText);  // a number is no text
    EXPECT_FALSE(m->bodyTextColor);
    EXPECT_EQ(m->textAlign, "left");
    EXPECT_EQ(m->defaultCloseButtonBgColor, "#333333");
    ASSERT_TRUE(m->stickyBannerOption);  // present even from an empty text
    EXPECT_FALSE(m->stickyBannerOption->align);
    EXPECT_EQ(m->stickyBannerOption->clickAction, ClickAction{});
    ASSERT_EQ(m->numberOfButtons, 3);
    ASSERT_EQ(m->buttonArray.size(), 3u);
    EXPECT_EQ(m->buttonArray[0],
              (IAMButtonInfo{"b1", "Go", ClickAction{"a1", "weblink", "https://x.test"}, "#000000",
                             std::nullopt, std::nullopt}));
    EXPECT_EQ(m->buttonArray[1], IAMButtonInfo{});  // a click action that is a text
    EXPECT_EQ(m->buttonArray[2], IAMButtonInfo{});  // an element that is a number
    EXPECT_EQ(m->portraitImage, image);
    EXPECT_EQ(m->landscapeImage, nullptr);
    EXPECT_EQ(m->portraitImageURL, "https://img.test/p.png");
    EXPECT_EQ(m->landscapeImageURL, "https://img.test/l.png");
    EXPECT_TRUE(m->isPortraitImageDownloaded);
    EXPECT_FALSE(m->isLandscapeImageDownloaded);
    EXPECT_EQ(m->imageClickAction, (ClickAction{"ip", "close", std::nullopt}));

    // The image click action follows the orientation asked for.
    auto l = buildMessage("c1", row, portrait, landscape, false);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->imageClickAction, (ClickAction{"il", std::nullopt, std::nullopt}));

    // No image rows, buttons that are not an array, a sticky option with a
    // click action.
    row.contentsText = "{}";
    row.contentsButtons = R"({"button_id":"b1"})";
    row.stickyBannerOption = R"({"align":"bottom","click_action":{"action_type":"close"}})";
    auto bare = buildMessage("c2", row, std::nullopt, std::nullopt, true);
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->titleText);
    EXPECT_EQ(bare->numberOfButtons, 0);
    EXPECT_TRUE(bare->buttonArray.empty());
    EXPECT_FALSE(bare->portraitImageURL);
    EXPECT_FALSE(bare->isPortraitImageDownloaded);
    EXPECT_EQ(bare->imageClickAction, ClickAction{});
    EXPECT_EQ(bare->stickyBannerOption,
              (StickyBannerOption{"bottom", ClickAction{std::nullopt, "close", std::nullopt}}));

    // Only the contents text must parse.
    for (const char* contents : {"", "[]", "not json", "\"text\""}) {
        row.contentsText = contents;
        EXPECT_FALSE(buildMessage("c3", row, portrait, landscape, true)) << contents;
    }
}

}  // namespace
}  // namespace sorvel::inapp
