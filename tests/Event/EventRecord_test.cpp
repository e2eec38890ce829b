#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Event/EventBundleModel.h"
#include "Event/EventCounters.h"
#include "Event/EventModelProvider.h"
#include "Event/EventPackage.h"
#include "Event/TypedValueDictionary.h"
#include "Event/UserPropertyManager.h"
#include "sorvel/SorvelKvAttrModel.h"
#include "support/TestSupport.h"

// The text an app's attributes become on the wire and in the stored list is
// fixed: servers and stored files read it. This pins it byte for byte for an
// event that carries every kind of value, so a change of the road an event
// takes to its package cannot change a byte of it.

namespace sorvel {
namespace {

class EventRecordTest : public ::testing::Test {
  protected:
    // The road of one app event, from the attribute model to the package:
    // the values as the app gave them (typed only when written), or typed
    // into a map of texts first, as the SDK's own events are.
    // `listed`: the values as the record call copies them, one flat list.
    std::shared_ptr<const EventPackage> record(const SorvelKvAttrModel& attrs, ParamForm form,
                                               bool listed = false) {
        auto p = LogEventParameter::init("log-\"1\"", std::nullopt, "custom", "caf\xC3\xA9 \"buy\"",
                                         form == ParamForm::native
                                             ? (listed ? Value::Map{} : attrs.getAttrData())
                                             : FvnUtil::toTypedValueDictionary(attrs.attrData),
                                         3, 4, 0, 0, "2024-05-06T07:08:09.123Z");
        p.paramForm = form;
        if (listed) {
            p.nativeParam = toParamList(*attrs.attrData);
        }
        std::vector<EventModel> events;
        // The counters load what the registry holds at the first event.
        if (!counters) {
            counters = std::make_shared<EventCounters>(registry);
        }
        events.push_back(
            EventModelProvider(properties, registry, counters, std::move(p)).buildEventModel());
        return std::make_shared<const EventPackage>(std::move(events));
    }

    testing::FreshSdk sdk;
    std::shared_ptr<EventCounters> counters;
    std::shared_ptr<DataRegistry> registry =
        std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    std::shared_ptr<UserPropertyManager> properties =
        std::make_shared<UserPropertyManager>(registry, [] { return 100; });
};

SorvelKvAttrModel variedAttributes() {
    SorvelKvAttrModel a;
    a.setAttrDataString("plain", "hello");
    a.setAttrDataString("escapes", "q\"b\\s/\n\r\t\b\f\x01\x1F end");
    a.setAttrDataString("unicode",
                        "\xED\x95\x9C\xEA\xB8\x80 e\xCC\x81 \xF0\x9F\x91\xA8\xE2\x80\x8D"
                        "\xF0\x9F\x91\xA9 \xE2\x80\xA8");
    a.setAttrDataString("empty", "");
    a.setAttrDataString("dash-key", "dashed");
    a.setAttrDataDouble("d_half", 0.5);
    a.setAttrDataDouble("d_big", 1e300);
    a.setAttrDataDouble("d_small", -1.25e-7);
    a.setAttrDataDouble("d_whole", 2.0);
    a.setAttrDataDouble("d_nan", std::numeric_limits<double>::quiet_NaN());
    a.setAttrDataUInt64("u_max", std::numeric_limits<std::uint64_t>::max());
    a.setAttrDataInt64("i_min", std::numeric_limits<std::int64_t>::min());
    a.setAttrDataInt("i_plain", -42);
    a.setAttrDataBool("b_yes", true);
    a.setAttrDataBool("b_no", false);
    // What an app may put into the public map directly, past the setters.
    a.attrData->emplace("raw_null", Value());
    a.attrData->emplace("raw_bytes", Value(Value::Bytes{1, 2, 3}));
    a.attrData->emplace("raw_list", Value(Value::Array{Value(1), Value("x\"y"), Value(true)}));
    a.attrData->emplace(
        "raw_map",
        Value(Value::Map{{"inner", Value(7)}, {"deep", Value(Value::Map{{"z", Value(1.5)}})}}));
    a.attrData->emplace("RAW Upper \xE2\x98\x83", Value("kept as given"));
    // The SDK's own order number goes over an app value under its key.
    a.setAttrDataString("svl:event_order_no", "the app's");
    return a;
}

TEST_F(EventRecordTest, PackageAndBodyTextOfAVariedEventArePinned) {
    registry->putString(std::string("fo-1"), DataRegistryKey::STRING_LAST_FIRSTOPEN_ID);
    registry->putString(std::string("prev-\xE2\x82\xAC"), DataRegistryKey::STRING_PREV_ID);
    registry->putString(std::string("sess-1"), DataRegistryKey::STRING_LAST_CREATED_SESSION_ID);
    registry->putString(std::string("lw"), DataRegistryKey::STRING_LOCATION_LWID);
    registry->putDouble(37.5, DataRegistryKey::DOUBLE_LOCATION_LAT);
    registry->putDouble(-122.125, DataRegistryKey::DOUBLE_LOCATION_LNG);
    ASSERT_TRUE(properties->saveUserProperty(
        {{"svl:user_id", Value("u\"1")}, {"c:level", Value(std::int64_t{9})}}));
    ASSERT_TRUE(properties->saveCiProperty({{"c:ci_flag", Value(true)}}));
    const std::string snapshot = properties->getUserSnapshotId().value_or("");
    ASSERT_FALSE(snapshot.empty());

    const auto package = record(variedAttributes(), ParamForm::native);
    const std::string expectedEvents =
        R"([{"ci":{"c:ci_flag":"boolean:true"},"event_datetime":"2024-05-06T07:08:09.123Z",)"
        R"("event_name":"café \"buy\"","group":"custom","last_deeplink_id":null,)"
        R"("last_firstopen_id":"fo-1","last_open_id":null,"location":{"lat":37.5,"lng":-122.125,)"
        R"("lwid":"lw"},"log_id":"log-\"1\"","param":{"RAW Upper ☃":"string:kept as given",)"
        R"("b_no":"boolean:false","b_yes":"boolean:true","d_big":"double:1e+300",)"
        R"("d_half":"double:0.5","d_nan":"double:nan","d_small":"double:-1.25e-07",)"
        R"("d_whole":"double:2.0","dash_key":"string:dashed","empty":"string:",)"
        R"("escapes":"string:q\"b\\s/\n\r\t\b\f\u0001\u001f end","i_min":"long:-9223372036854775808",)"
        R"("i_plain":"long:-42","plain":"string:hello","raw_bytes":"string:3 bytes",)"
        R"("raw_list":"string:[1, \"x\\\"y\", true]","raw_map":{"deep":{"z":"double:1.5"},)"
        R"("inner":"long:7"},"raw_null":"string:<null>","svl:event_order_no":"long:1",)"
        R"("svl:session_order_no":"long:1","u_max":"long:18446744073709551615",)"
        "\"unicode\":\"string:\xED\x95\x9C\xEA\xB8\x80 e\xCC\x81 \xF0\x9F\x91\xA8\xE2\x80\x8D"
        "\xF0\x9F\x91\xA9 \xE2\x80\xA8\"},"
        R"("prev_id":"prev-€","session_id":"sess-1",)"
        R"("session_interval":3,"session_length":4,"user_properties":{"c:level":"long:9",)"
        R"("svl:user_id":"string:u\"1"},"user_snapshot_id":")" +
        snapshot + R"("}])";
    EXPECT_EQ(package->eventsJson(), expectedEvents);

    CommonModel common;
    common.requestDatetime = "2024-05-06T07:08:10.000Z";
    common.appkey = "K";
    common.apiVersion = "6.0.0";
    const ApiBody body = EventBundleModel(common, package, "K").toApiBody();
    std::string commonText;
    common.appendJson(commonText);
    EXPECT_EQ(body.json, R"({"common":)" + commonText + R"(,"evts":)" + expectedEvents + "}");

    // The stored list reads the package back to the same text.
    EXPECT_EQ(EventPackage(package->eventModels()).eventsJson(), expectedEvents);
    // The same event typed into a map first writes the same text (its order
    // numbers are the next ones).
    std::string next = expectedEvents;
    for (const char* key : {"\"svl:event_order_no\":\"long:", "\"svl:session_order_no\":\"long:"}) {
        next.replace(next.find(key) + std::string(key).size(), 1, "2");
    }
    EXPECT_EQ(record(variedAttributes(), ParamForm::prefixed)->eventsJson(), next);
    // And so does the flat list the record call hands on, read back too.
    std::string third = expectedEvents;
    for (const char* key : {"\"svl:event_order_no\":\"long:", "\"svl:session_order_no\":\"long:"}) {
        third.replace(third.find(key) + std::string(key).size(), 1, "3");
    }
    const auto listed = record(variedAttributes(), ParamForm::native, true);
    EXPECT_EQ(listed->eventsJson(), third);
    EXPECT_EQ(EventPackage(listed->eventModels()).eventsJson(), third);
}

}  // namespace
}  // namespace sorvel
