#include <gtest/gtest.h>

#include "Common/Extensions.h"
#include "Platform/Host.h"
#include "Push/RemotePushKeys.h"
#include "sorvel/SvlRemotePushModel.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

Value::Map tracking() {
    return {{"svl:gf:campaign_id", "c1"},
            {"svl:gf:campaign_revision_no", std::int64_t{7}},
            {"svl:gf:step_id", "s1"},
            {"svl:gf:cycle_time", "2026"}};
}

Value::Map payload(Value alert, Value::Map extra = {}) {
    Value::Map aps = tracking();
    aps["alert"] = std::move(alert);
    for (auto& [k, v] : extra)
        aps[k] = v;
    return {{"aps", Value(std::move(aps))}};
}

std::optional<SvlRemotePushError> errorOf(const Value::Map& userInfo) {
    SvlRemotePushError e{};
    auto m = SvlRemotePushModel::fromUserInfo(userInfo, &e);
    if (m)
        return std::nullopt;
    return e;
}

TEST(RemotePushModel, ParseMatrix) {
    // Only a body: every other field takes its default.
    auto m = SvlRemotePushModel::fromUserInfo(payload(Value::Map{{"body", "hello"}}), nullptr);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->body(), "hello");
    EXPECT_EQ(m->title(), "");
    EXPECT_EQ(m->imageUrl(), "");
    EXPECT_EQ(m->genVibe(), "0");
    EXPECT_EQ(m->genSound(), "0");
    EXPECT_EQ(m->notificationId(), 0);
    EXPECT_EQ(m->campaignId(), "c1");
    EXPECT_EQ(m->campaignRevisionNo(), 7);

    // Everything present.
    auto full = SvlRemotePushModel::fromUserInfo(
        payload(
            Value::Map{
                {"title", "t"}, {"subtitle", "st"}, {"body", "b"}, {"img", "https://i/x.png"}},
            {{"gen_vibe", "1"},
             {"gen_sound", "1"},
             {"deep_link_url", "app://x"},
             {"deep_link_json", Value::Map{{"k", std::int64_t{1}}}},
             {"notification_id", std::int64_t{42}}}),
        nullptr);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->subtitle(), "st");
    EXPECT_EQ(full->imageUrl(), "https://i/x.png");
    EXPECT_EQ(full->genSound(), "1");
    EXPECT_EQ(full->deeplinkUrl(), "app://x");
    EXPECT_EQ(full->deeplinkJson().at("k"), Value(std::int64_t{1}));
    EXPECT_EQ(full->notificationId(), 42);

    // Failures, first failing step decides.
    EXPECT_EQ(errorOf({}), SvlRemotePushError::NoSvlPushData);
    EXPECT_EQ(errorOf({{"aps", "text"}}), SvlRemotePushError::NoSvlPushData);
    EXPECT_EQ(errorOf(payload("plain alert")), SvlRemotePushError::NoSvlPushData);
    EXPECT_EQ(errorOf(payload(Value::Map{{"body", "b"}, {"loc-args", Value::Array{"a"}}})),
              SvlRemotePushError::NoSvlPushData);
    // Tracking keys at the top level instead of inside "aps".
    Value::Map topLevel = tracking();
    topLevel["aps"] = Value::Map{{"alert", Value::Map{{"body", "b"}}}};
    EXPECT_EQ(errorOf(topLevel), SvlRemotePushError::NoSvlTrackingParam);
    // A revision sent as a string, a Boolean or a fraction counts as missing.
    for (Value bad : {Value("7"), Value(true), Value(7.5), Value(std::uint64_t{1} << 63)}) {
        EXPECT_EQ(errorOf(payload(Value::Map{}, {{"svl:gf:campaign_revision_no", bad}})),
                  SvlRemotePushError::NoSvlTrackingParam)
            << bad.render();
    }
    // An exact whole number written as 7.0 is an integer.
    auto whole = SvlRemotePushModel::fromUserInfo(
        payload(Value::Map{}, {{"svl:gf:campaign_revision_no", 7.0}}), nullptr);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->campaignRevisionNo(), 7);
    // A wrong-typed optional takes its default; a Boolean id never reads as 1.
    auto wrong = SvlRemotePushModel::fromUserInfo(
        payload(Value::Map{}, {{"notification_id", true}, {"gen_sound", std::int64_t{1}}}),
        nullptr);
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->notificationId(), 0);
    EXPECT_EQ(wrong->genSound(), "0");
    EXPECT_TRUE(SvlRemotePushModel::fromUserInfo(payload(Value::Map{}, {{"notification_id", "12"}}),
                                                 nullptr));
    // Empty tracking strings are accepted by the parser.
    EXPECT_TRUE(SvlRemotePushModel::fromUserInfo(
        payload(Value::Map{}, {{"svl:gf:campaign_id", ""}}), nullptr));
}

TEST(RemotePushModel, TrackingValuesTextAndParameters) {
    SvlRemotePushError e{};
    EXPECT_FALSE(SvlRemotePushModel::fromTrackingValues("", 1, "s", "c", &e));
    EXPECT_EQ(e, SvlRemotePushError::NoSvlTrackingParam);
    EXPECT_FALSE(SvlRemotePushModel::fromTrackingValues("c", 1, "s", "", nullptr));
    auto m = SvlRemotePushModel::fromTrackingValues("camp", -3, "step", "cycle", &e);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->toString(),
              "SvlRemotePushModel {\n    title='',\n    subtitle='',\n    body='',\n    "
              "imageUrl='',\n    genVibe='',\n    genSound='',\n    deeplinkUrl='',\n    "
              "deeplinkJson='" +
                  ext::toJsonFormat(Value::Map{}) +
                  "',\n    campaignId='camp',\n    campaignRevisionNo=-3,\n    "
                  "stepId='step',\n    cycleTime='cycle',\n    notificationId=0\n}")
        << m->toString();
    const Value::Map params = m->toOpenPushEventParamDict();
    EXPECT_EQ(params.size(), 4u);
    EXPECT_EQ(params.at("svl:gf:campaign_revision_no"), Value(std::int64_t{-3}));
    EXPECT_EQ(params.at("svl:gf:cycle_time"), Value("cycle"));
}

TEST(RemotePushModel, DescriptionsGoThroughTheAppsTranslations) {
    testing::FreshSdk sdk;
    EXPECT_EQ(localizedDescription(SvlRemotePushError::SorvelDisabled),
              "Sorvel is Disabled because of (Gdprforgetme || Pause || Stop || Delete) ");
    EXPECT_EQ(localizedDescription(SvlRemotePushError::PushDisable),
              "is_push_enable or is_push_enable_os is false!");
    platform::host::setLocalizedStringProvider([](const std::string& key) {
        return key == "Sorvel push data don't exist!" ? std::string("keine Daten") : key;
    });
    EXPECT_EQ(localizedDescription(SvlRemotePushError::NoSvlPushData), "keine Daten");
    EXPECT_EQ(localizedDescription(SvlRemotePushError::NoSvlTrackingParam),
              "Sorvel push tracking parameters don't exist!");
}

TEST(RemotePushModel, HostilePayloadsAreRefusedCleanly) {
    // 200 levels deep, and a 1 MB body: parsed or refused, never a crash.
    std::string deep;
    for (int i = 0; i < 200; ++i)
        deep += "{\"aps\":";
    deep += "1";
    for (int i = 0; i < 200; ++i)
        deep += "}";
    auto v = Value::fromJson(deep);
    ASSERT_TRUE(v && v->isMap());
    EXPECT_EQ(errorOf(*v->getMap()), SvlRemotePushError::NoSvlPushData);
    auto big = payload(Value::Map{{"body", std::string(1 << 20, 'x')}});
    auto m = SvlRemotePushModel::fromUserInfo(big, nullptr);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->body().size(), 1u << 20);
    // Invalid UTF-8 is not JSON.
    EXPECT_FALSE(Value::fromJson("{\"aps\":\"\xff\xfe\"}"));
}

}  // namespace
}  // namespace sorvel
