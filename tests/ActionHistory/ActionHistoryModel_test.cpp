#include <gtest/gtest.h>

#include "Common/Extensions.h"
#include "Common/SvlLog.h"
#include "Data/ModelProvider/ActionHistoryModelProviders.h"
#include "Network/Model/ActionHistoryModels.h"
#include "Platform/Host.h"
#include "sorvel/ActionHistoryModel.h"
#include "support/HistorySupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

using testing::parseMap;

class ActionHistoryModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::host::setInfo(SvlLog::QA_MODE_INFO_KEY, Value(true));
        SvlLog::initQaMode(nullptr);
    }
    bool logged(std::string_view needle) { return log.contains(needle); }
    testing::FreshSdk sdk;
    testing::LogCapture log;
};

TEST_F(ActionHistoryModelTest, ContentReaderTakesEachKeyOnlyInItsOwnType) {
    auto full = ActionContent::fromJsonString(R"({
        "notification_id": "7", "title": "T", "subtitle": "S", "body": "B",
        "big_text_title": "BT", "big_text_body": "BB", "summary_text": "ST",
        "img": "http://i", "large_icon": "http://l", "deep_link_json": {"a": "1", "b": "2"},
        "deep_link_url": "app://x", "is_wide_img": false, "img_link": "http://k",
        "buttons": ["{\"name\":\"Go\",\"scheme_ios\":\"app://go\"}"]})");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->notificationId, "7");
    EXPECT_EQ(full->bigTextBody, "BB");
    EXPECT_EQ(full->imgUrl, "http://i");
    EXPECT_EQ(full->largeIconUrl, "http://l");
    EXPECT_EQ(full->isWideImage, std::optional<bool>(false));  // false, not absent
    EXPECT_EQ(full->deeplinkJson, (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}}));
    ASSERT_TRUE(full->kakaoButtons);
    ASSERT_EQ(full->kakaoButtons->size(), 1u);
    EXPECT_EQ(full->kakaoButtons->at(0).name, "Go");
    EXPECT_EQ(full->kakaoButtons->at(0).scheme, "app://go");
    EXPECT_FALSE(full->kakaoButtons->at(0).urlPc);

    // Wrong types leave their fields absent without failing the read.
    auto odd = ActionContent::fromJsonString(
        R"({"title": 5, "is_wide_img": "true", "deep_link_json": {"a": 1},
            "buttons": [{"name": "Go"}]})");
    ASSERT_TRUE(odd);
    EXPECT_FALSE(odd->title);
    EXPECT_FALSE(odd->isWideImage);
    EXPECT_FALSE(odd->deeplinkJson);
    EXPECT_FALSE(odd->kakaoButtons);

    // The older stored form: the deeplink map as JSON text.
    auto older = ActionContent::fromJsonString(R"({"deep_link_json": "{\"k\":\"v\"}"})");
    ASSERT_TRUE(older);
    EXPECT_EQ(older->deeplinkJson, (std::map<std::string, std::string>{{"k", "v"}}));

    // Not an object, or a button text that is not one: a parsing failure.
    EXPECT_FALSE(ActionContent::fromJsonString("not json"));
    EXPECT_FALSE(ActionContent::fromJsonString("[1,2]"));
    EXPECT_FALSE(ActionContent::fromJsonString(R"({"buttons": ["{\"name\":1}", "nope"]})"));
    EXPECT_FALSE(KakaoButton::fromJsonString("\"text\""));
}

TEST_F(ActionHistoryModelTest, WriterOutputReadsBackWhole) {
    std::vector<KakaoButton> buttons{
        KakaoButton("Go", "WL", "http://pc", "http://m", "app://go", "x", "y"),
        KakaoButton("Only name", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                    std::nullopt, std::nullopt)};
    const ActionContent content("42", "제목 \"quoted\"", std::nullopt, "body\nline", std::nullopt,
                                std::nullopt, "sum", "http://large", "http://img",
                                std::map<std::string, std::string>{{"screen", "home"}},
                                "app://open", true, "http://click", buttons);
    const std::string text = content.toJsonString();
    const Value::Map written = parseMap(text);
    EXPECT_TRUE(written.at("deep_link_json").isMap());  // an object, not a string
    EXPECT_TRUE(written.at("buttons").isArray());
    EXPECT_EQ(written.count("subtitle"), 0u);  // absent fields get no key

    auto back = ActionContent::fromJsonString(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->notificationId, "42");
    EXPECT_EQ(back->title, "제목 \"quoted\"");
    EXPECT_EQ(back->body, "body\nline");
    EXPECT_FALSE(back->subtitle);
    EXPECT_EQ(back->summaryText, "sum");
    EXPECT_EQ(back->largeIconUrl, "http://large");
    EXPECT_EQ(back->imgUrl, "http://img");
    EXPECT_EQ(back->deeplinkJson, content.deeplinkJson);
    EXPECT_EQ(back->isWideImage, std::optional<bool>(true));
    EXPECT_EQ(back->imageClickLink, "http://click");
    ASSERT_TRUE(back->kakaoButtons);
    ASSERT_EQ(back->kakaoButtons->size(), 2u);
    EXPECT_EQ(back->kakaoButtons->at(0).chatEvent, "y");
    EXPECT_EQ(back->kakaoButtons->at(1).name, "Only name");
    EXPECT_FALSE(back->kakaoButtons->at(1).type);

    // Without the wide-image flag the writer writes no such key.
    const ActionContent plain(std::nullopt, "t", std::nullopt, std::nullopt, std::nullopt,
                              std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                              std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(parseMap(plain.toJsonString()).count("is_wide_img"), 0u);

    // The entry's output form carries the content as a string of JSON.
    const ActionHistory entry("h1", "KAKAOTALK", -5, content, false, "g", true);
    const Value::Map out = parseMap(entry.toJsonString());
    ASSERT_TRUE(out.at("content").isString());
    EXPECT_EQ(parseMap(*out.at("content").getString()).at("title"), Value("제목 \"quoted\""));
    EXPECT_EQ(out.at("timestamp"), Value(std::int64_t{-5}));
    EXPECT_EQ(out.at("is_server_synced"), Value(true));
    EXPECT_EQ(out.at("is_read"), Value(false));
    EXPECT_EQ(out.at("action_type"), Value("KAKAOTALK"));
}

TEST_F(ActionHistoryModelTest, ServerEntryNeedsItsFourKeysInTheirTypes) {
    const Value::Map good = parseMap(R"({"id": "s1", "type": "SOMETHING_NEW", "timestamp": 17,
        "contents": {"title": "hi"}, "is_read": true})");
    auto entry = ActionHistory::fromDictionary(good, true);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->historyId, "s1");
    EXPECT_EQ(entry->actionType, "SOMETHING_NEW");  // kept whatever the server sends
    EXPECT_EQ(entry->timeStamp, 17);
    EXPECT_EQ(entry->group, "");  // no "action_group"
    EXPECT_FALSE(entry->isRead);  // never the server's flag
    EXPECT_TRUE(entry->isServerSynced);
    EXPECT_EQ(entry->content.title, "hi");

    for (const char* bad : {
             R"({"type": "PUSH_IOS", "timestamp": 1, "contents": {}})",
             R"({"id": 3, "type": "PUSH_IOS", "timestamp": 1, "contents": {}})",
             R"({"id": "a", "type": "PUSH_IOS", "timestamp": "17", "contents": {}})",
             R"({"id": "a", "type": "PUSH_IOS", "timestamp": 1.5, "contents": {}})",
             R"({"id": "a", "type": "PUSH_IOS", "timestamp": 1, "contents": "{}"})",
             R"({"id": "a", "type": "PUSH_IOS", "timestamp": 18446744073709551615,
                 "contents": {}})",
         }) {
        log.clear();
        EXPECT_FALSE(ActionHistory::fromDictionary(parseMap(bad), false)) << bad;
        EXPECT_TRUE(
            logged("fromDictionary(historyJsonDic:isServerSynced:) : some value in "
                   "historyJson is nil, historyJson : "))
            << bad;
    }
    log.clear();
    EXPECT_FALSE(ActionHistory::fromDictionary(
        parseMap(R"({"id": "a", "type": "T", "timestamp": 1, "contents": {"buttons": ["x"]}})"),
        false));
    EXPECT_TRUE(
        logged("fromDictionary(historyJsonDic:isServerSynced:) :: Error occure while "
               "parsing action content"));
}

TEST_F(ActionHistoryModelTest, RequestModelsCarryTheirBodiesAndEncodedPaths) {
    platform::host::mapHttpHost("*", "http://127.0.0.1:9");
    auto query = ActionHistoryQueryModelProvider({{"k", Value("v")}}, {"PUSH_IOS", "KAKAOTALK"}, 3,
                                                 4, 5, 6, false, "user-1")
                     .getApiModel();
    const Value::Map body = query->toDictionary();
    EXPECT_EQ(body.size(), 2u);
    const Value::Map& condition = *body.at("condition").getMap();
    EXPECT_EQ(condition.at("action_type"),
              Value(Value::Array{Value("PUSH_IOS"), Value("KAKAOTALK")}));
    EXPECT_EQ(condition.at("ascending"), Value(true));  // whatever the builder was given
    EXPECT_EQ(condition.at("skip"), Value(std::int64_t{3}));
    EXPECT_EQ(condition.at("to_timestamp"), Value(std::int64_t{6}));
    EXPECT_EQ(condition.at("user_id"), Value("user-1"));
    EXPECT_TRUE(query->getUrl().ends_with("/api/v6/actionhistory/List"));

    auto device = ActionHistoryDeleteModelProvider({}, "APP", "D1", std::nullopt, 0,
                                                   ActionHistoryIdType::ADID)
                      .getApiModel();
    EXPECT_TRUE(device->getUrl().ends_with("/api/v6/actionhistory/APP/device/D1"));
    EXPECT_EQ(device->toDictionary().size(), 1u);
    EXPECT_EQ(device->toDictionary().count("common"), 1u);

    auto one = ActionHistoryDeleteModelProvider({}, "APP", "a/b?c#d e", "h/1", -42,
                                                ActionHistoryIdType::USER_ID)
                   .getApiModel();
    EXPECT_TRUE(
        one->getUrl().ends_with("/api/v6/actionhistory/APP/user/a%2Fb%3Fc%23d%20e/h%2F1/-42"))
        << one->getUrl();
    EXPECT_EQ(percentEncodePathSegment(std::string("..\0\xff", 4)), "%2E%2E%00%FF");
}

}  // namespace
}  // namespace sorvel
