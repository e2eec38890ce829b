#include <gtest/gtest.h>

#include "InAppMessage/InAppMessage.h"

namespace sorvel {
namespace {

TEST(InAppMessageModel, EnumsMatchTheirTextsExactly) {
    EXPECT_EQ(clickActionTypeFromRaw("dont_show_me_today_and_close"),
              ClickActionType::ONE_DAY_CLOSE);
    EXPECT_FALSE(clickActionTypeFromRaw("ONE_DAY_CLOSE"));
    EXPECT_FALSE(clickActionTypeFromRaw("one_day_close"));
    EXPECT_FALSE(iamTypeFromRaw("Modal"));
    EXPECT_FALSE(iamTypeFromRaw(" modal"));
    EXPECT_FALSE(layoutTypeFromRaw(""));
    EXPECT_EQ(eventTypeFromRaw("click"), EventType::CLICK);
    // Every case reads back from its own text.
    for (auto t : {IAMType::FULL_SCREEN, IAMType::MODAL, IAMType::STICKY_BANNER}) {
        EXPECT_EQ(iamTypeFromRaw(rawValue(t)), t);
    }
    for (auto t : {LayoutType::IMAGE, LayoutType::IMAGE_AND_TEXT, LayoutType::TEXT}) {
        EXPECT_EQ(layoutTypeFromRaw(rawValue(t)), t);
    }
    for (auto t : {ClickActionType::CLOSE, ClickActionType::WEBLINK, ClickActionType::DEEPLINK,
                   ClickActionType::WEBLINK_AND_CLOSE, ClickActionType::DEEPLINK_AND_CLOSE,
                   ClickActionType::ONE_DAY_CLOSE}) {
        EXPECT_EQ(clickActionTypeFromRaw(rawValue(t)), t);
    }
    EXPECT_EQ(rawValue(LayoutType::IMAGE_AND_TEXT), "image_and_text");
    EXPECT_EQ(rawValue(ClickActionType::DEEPLINK_AND_CLOSE), "deeplink_and_close");
    EXPECT_EQ(rawValue(EventType::IMPRESSION), "impression");
}

TEST(InAppMessageModel, ValueTypesDecodeAndEncodeByTheirFieldNames) {
    auto close = ClickAction::fromJson(R"({"actionType":"close"})");
    ASSERT_TRUE(close);
    EXPECT_FALSE(close->actionId);
    EXPECT_FALSE(close->actionArg);
    EXPECT_EQ(close->actionType, "close");
    EXPECT_EQ(close->toJson(), R"({"actionType":"close"})");

    EXPECT_FALSE(StickyBannerOption::fromJson(R"({"align":"bottom"})"));
    EXPECT_FALSE(StickyBannerOption::fromJson(R"({"align":"bottom","clickAction":null})"));
    auto banner = StickyBannerOption::fromJson(R"({"align":null,"clickAction":{}})");
    ASSERT_TRUE(banner);
    EXPECT_FALSE(banner->align);
    EXPECT_EQ(banner->clickAction, ClickAction{});
    EXPECT_EQ(banner->toJson(), R"({"clickAction":{}})");

    // A present value of the wrong type fails; unknown keys and other letter
    // cases of a key are ignored.
    EXPECT_FALSE(ClickAction::fromJson(R"({"actionId":5})"));
    EXPECT_FALSE(ClickAction::fromJson(R"(["close"])"));
    EXPECT_FALSE(ClickAction::fromJson("not json"));
    auto loose = ClickAction::fromJson(R"({"ActionId":5,"extra":[1],"actionArg":"x"})");
    ASSERT_TRUE(loose);
    EXPECT_EQ(*loose, (ClickAction{std::nullopt, std::nullopt, "x"}));
    EXPECT_FALSE(IAMButtonInfo::fromJson(R"({"text":"OK","clickAction":{"actionArg":true}})"));
    EXPECT_FALSE(IAMButtonInfo::fromJson(R"({"text":"OK"})"));

    IAMButtonInfo button{
        "b1",      "OK",         ClickAction{"a1", "weblink", "https://example.com/'x'"},
        "#FFFFFF", std::nullopt, "#000000"};
    EXPECT_EQ(button.toJson(),
              R"({"borderColor":"#000000","buttonId":"b1","clickAction":{"actionArg":)"
              R"("https://example.com/'x'","actionId":"a1","actionType":"weblink"},)"
              R"("text":"OK","textColor":"#FFFFFF"})");
    EXPECT_EQ(IAMButtonInfo::fromJson(button.toJson()), button);
}

TEST(InAppMessageModel, CandidatesGoByPriorityThenLastUpdateKeepingListedOrder) {
    std::vector<SortableCampaignId> candidates{{"a", 5, 100}, {"b", 7, 50},    {"c", 5, 200},
                                               {"d", 0, 900}, {"e", -1, 5000}, {"f", 5, 200},
                                               {"g", 0, 900}};
    sortCandidates(candidates);
    std::vector<std::string> ids;
    for (const auto& c : candidates) {
        ids.push_back(c.campaignId);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"b", "c", "f", "a", "d", "g", "e"}));
    EXPECT_FALSE(goesBefore({"x", 1, 1}, {"y", 1, 1}));
    EXPECT_TRUE(goesBefore({"x", 1, INT64_MIN + 1}, {"y", 0, INT64_MAX}));
}

TEST(InAppMessageModel, MessageIsSharedAndMakesTheViewOfItsTypeAndLayout) {
    InAppMessageFields fields;
    fields.campaignId = "c1";
    fields.type = "modal";
    fields.layout = "text";
    fields.numberOfButtons = 1;
    fields.buttonArray.push_back({"b", "OK", ClickAction{}, {}, {}, {}});
    fields.portraitImage =
        std::make_shared<const platform::Image>(platform::Image{1, 1, {1, 2, 3, 4}});
    auto message = InAppMessage::make(fields);
    EXPECT_EQ(message->campaignId, "c1");
    EXPECT_EQ(message->portraitImage->rgba.size(), 4u);
    EXPECT_EQ(message->shared_from_this(), message);
    EXPECT_NE(message->makeView([](const LogEventParameter&) {}), nullptr);
}

}  // namespace
}  // namespace sorvel
