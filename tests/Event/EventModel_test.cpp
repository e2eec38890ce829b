#include "Event/EventModel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>

#include "Base/JsonText.h"
#include "Base/TextUnits.h"
#include "Common/SvlLog.h"
#include "Event/EventBundleModel.h"
#include "Event/EventPackage.h"
#include "Event/LogEventParameter.h"
#include "support/CommonSupport.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

EventModel fullModel() {
    return EventModel(
        "fo-1", "dl-1", "op-1", "prev-1", "2024-05-06T07:08:09.123Z", "custom", "purchase",
        Value::Map{{"svl:price", Value("double:1.5")},
                   {"nested", Value(Value::Map{{"a", Value("long:1")}})}},
        -5, 1234567890123LL, "log-1", "session-1", Location{"lw-1", 37.5, -122.25}, "snap-1",
        Value::Map{{"tier", Value("string:gold")}}, Value::Map{{"ci1", Value("long:7")}});
}

// Through the writer, JSON text and the reader, as a stored package travels.
StatusOr<EventModel> throughJson(const EventModel& m) {
    auto v = Value::fromJson(Value(m.toDictionary()).toJson());
    return EventModel::initFromDictionary(*v->getMap());
}

TEST(EventModel, ASharedContextWritesTheBytesItsFieldsWouldAndAnEditedCopyItsOwn) {
    auto shared = std::make_shared<EventContext>(fullModel().context());
    shared->user_properties["odd \"key\""] = Value(Value::Map{{"x", Value("\xFF")}});
    shared->writeJson();
    ASSERT_TRUE(shared->json);
    EventModel a("prev", "2024-05-06T07:08:09.123Z", "custom", "tap", std::nullopt, 1, 2, "id",
                 shared);
    EventModel b = a;
    std::string written;
    a.appendJson(written);
    EXPECT_EQ(written, Value(a.toDictionary()).toJson());
    // An event's own change is written, the others' stays as it was.
    b.editContext().location = Location{};
    b.editContext().ci["added"] = Value("long:1");
    std::string changed;
    b.appendJson(changed);
    EXPECT_EQ(changed, Value(b.toDictionary()).toJson());
    EXPECT_NE(changed.find("\"location\":null"), std::string::npos);
    EXPECT_NE(changed.find("\"added\""), std::string::npos);
    std::string again;
    a.appendJson(again);
    EXPECT_EQ(again, written);
    EXPECT_NE(written.find("\"lwid\":\"lw-1\""), std::string::npos);
}

TEST(EventModel, AllSixteenFieldsSurviveTheStoredForm) {
    const EventModel m = fullModel();
    const Value::Map d = m.toDictionary();
    EXPECT_EQ(d.size(), 16u);

    auto back = throughJson(m);
    ASSERT_TRUE(back) << back.status().message();
    EXPECT_EQ(back->toDictionary(), d);
    EXPECT_EQ(*back->context().location.lwid, "lw-1");
    EXPECT_EQ(back->context().location.lng, -122.25);
    EXPECT_EQ(back->session_length, 1234567890123LL);

    // Absent fields are written as null and come back absent.
    EventModel sparse(std::nullopt, std::nullopt, std::nullopt, std::nullopt, "t", "svl", "x",
                      std::nullopt, 0, 0, std::nullopt, std::nullopt, Location{std::nullopt, 1, 2},
                      std::nullopt, {}, {});
    const Value::Map sd = sparse.toDictionary();
    ASSERT_EQ(sd.size(), 16u);
    for (const char* key : {"last_firstopen_id", "last_deeplink_id", "last_open_id", "prev_id",
                            "param", "log_id", "session_id", "location", "user_snapshot_id"}) {
        EXPECT_TRUE(sd.at(key).isNull()) << key;
    }
    auto sparseBack = throughJson(sparse);
    ASSERT_TRUE(sparseBack);
    EXPECT_FALSE(sparseBack->param.has_value());
    EXPECT_FALSE(sparseBack->context().location.lwid.has_value());
    EXPECT_EQ(sparseBack->context().location.lat, 0.0);
    EXPECT_EQ(sparseBack->context().location.lng, 0.0);
}

TEST(EventModel, ReaderChecksRequiredKeysInOrderAndTheirKinds) {
    const Value::Map good = fullModel().toDictionary();
    // Each required key missing, null or of the wrong kind fails the read.
    for (const char* key : {"event_datetime", "group", "event_name", "session_interval",
                            "session_length", "user_properties", "ci"}) {
        for (const Value& bad : {Value(), Value(true), Value(1.5), Value(Value::Array{})}) {
            Value::Map d = good;
            d[key] = bad;
            EXPECT_FALSE(EventModel::initFromDictionary(d)) << key << " = " << bad.render();
        }
        Value::Map d = good;
        d.erase(key);
        EXPECT_FALSE(EventModel::initFromDictionary(d)) << key;
    }
    // Integers: signed, or unsigned up to INT64_MAX; never a text.
    Value::Map d = good;
    d["session_interval"] = Value("5");
    EXPECT_FALSE(EventModel::initFromDictionary(d));
    EXPECT_FALSE(EventModel::initFromV1Dictionary(d));
    d["session_interval"] = Value(std::uint64_t{std::numeric_limits<std::int64_t>::max()});
    EXPECT_TRUE(EventModel::initFromDictionary(d));
    d["session_interval"] = Value(std::uint64_t{std::numeric_limits<std::int64_t>::max()} + 1);
    EXPECT_FALSE(EventModel::initFromDictionary(d));

    // Optional keys of the wrong kind read as absent; a location missing "lng"
    // reads as no location.
    d = good;
    d["log_id"] = Value(5);
    d["param"] = Value("text");
    d["location"] = Value(Value::Map{{"lwid", Value("w")}, {"lat", Value(1.0)}});
    auto m = EventModel::initFromDictionary(d);
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->log_id.has_value());
    EXPECT_FALSE(m->param.has_value());
    EXPECT_FALSE(m->context().location.lwid.has_value());
    EXPECT_EQ(describe(EventModelError::FromDictionaryParseError),
              std::string("Error occur while making EventModel from Dictionary"));
}

TEST(EventModel, V1ReaderNeedsOnlyFiveKeysAndFillsEmptyMaps) {
    Value::Map d{{"event_datetime", Value("t")}, {"group", Value("svl")},
                 {"event_name", Value("x")},     {"session_interval", Value(3)},
                 {"session_length", Value(4)},   {"ci", Value()}};
    EXPECT_FALSE(EventModel::initFromDictionary(d));
    auto m = EventModel::initFromV1Dictionary(d);
    ASSERT_TRUE(m);
    ASSERT_TRUE(m->param.has_value());
    EXPECT_TRUE(m->param->empty());
    EXPECT_TRUE(m->context().ci.empty());
    EXPECT_TRUE(m->context().user_properties.empty());
    EXPECT_EQ(m->session_length, 4);
    d.erase("session_length");
    EXPECT_FALSE(EventModel::initFromV1Dictionary(d));
}

TEST(EventModel, ALocationWithoutFiniteCoordinatesIsDroppedOnReading) {
    // What the first version stored can hold any double; JSON has no NaN or
    // infinity, so a location kept with one would be written as null and the
    // event would come back changed from the stored list.
    testing::FreshSdk sdk;
    testing::DelegateLog logs;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (auto [lat, lng] : {std::pair{nan, 2.5}, std::pair{1.5, inf}, std::pair{-inf, -inf}}) {
        const Value::Map d{
            {"event_datetime", Value("t")},
            {"group", Value("custom")},
            {"event_name", Value("x")},
            {"session_interval", Value(0)},
            {"session_length", Value(0)},
            {"location",
             Value(Value::Map{{"lwid", Value("w1")}, {"lat", Value(lat)}, {"lng", Value(lng)}})}};
        auto m = EventModel::initFromV1Dictionary(d);
        ASSERT_TRUE(m);
        EXPECT_FALSE(m->context().location.lwid) << lat << " " << lng;
        std::string json;
        m->appendJson(json);
        const auto parsed = Value::fromJson(json);
        ASSERT_TRUE(parsed && parsed->isMap()) << json;
        auto restored = EventModel::initFromDictionary(*parsed->getMap());
        ASSERT_TRUE(restored) << json;
        std::string again;
        restored->appendJson(again);
        EXPECT_EQ(again, json);
    }
    EXPECT_TRUE(logs.contains("a coordinate is not a finite number"));
    // Finite coordinates stay, at the extremes too.
    auto kept = Location::initFromDictionary(
        Value::Map{{"lwid", Value("w2")}, {"lat", Value(-90.0)}, {"lng", Value(1e308)}});
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->lwid, "w2");
    EXPECT_EQ(kept->lng, 1e308);
}

// A JSON string written one character at a time, as a reader expects it.
std::string referenceJsonString(std::string_view s) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const text::Utf8Char u = text::decodeAt(s, i);
            out += u.wellFormed ? std::string(s.substr(i, u.length)) : "\xEF\xBF\xBD";
            i += u.length;
            continue;
        }
        const char* escaped = c == '"'    ? "\\\""
                              : c == '\\' ? "\\\\"
                              : c == '\n' ? "\\n"
                              : c == '\r' ? "\\r"
                              : c == '\t' ? "\\t"
                              : c == '\b' ? "\\b"
                              : c == '\f' ? "\\f"
                                          : nullptr;
        if (escaped != nullptr) {
            out += escaped;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

TEST(EventModel, TheJsonTextIsTheDictionaryWrittenOut) {
    // Every character that is not copied as is, at every place in texts
    // around the eight bytes the writer checks at once.
    const std::string specials[] = {"\"",       "\\",           "\n",
                                    "\x01",     "\x1f",         "\x7f",
                                    "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                    "\xFF",     "\xE2\x82",     "\xC0\x80"};
    std::vector<std::string> texts;
    for (std::size_t n = 0; n <= 20; ++n) {
        texts.push_back(std::string(n, 'a'));
        for (const auto& special : specials) {
            for (std::size_t at = 0; at <= n; ++at) {
                texts.push_back(std::string(at, 'a') + special + std::string(n - at, 'b'));
            }
        }
    }
    for (const auto& t : texts) {
        std::string written;
        json::appendString(written, t);
        ASSERT_EQ(written, referenceJsonString(t)) << text::isValidUtf8(t) << " " << t.size();
    }

    // The event's own writer gives the bytes of its dictionary, whatever the
    // fields hold; the package and the upload body are put together from it.
    EventModel sparse(std::nullopt, std::nullopt, std::nullopt, std::nullopt, "t", "svl", "x",
                      std::nullopt, 0, 0, std::nullopt, std::nullopt, Location{}, std::nullopt, {},
                      {});
    EventModel odd = fullModel();
    odd.event_name = "na\"me\xFF";
    odd.param =
        Value::Map{{"\xC3\xA9t\xE9", Value(std::numeric_limits<double>::quiet_NaN())},
                   {"big", Value(std::numeric_limits<std::uint64_t>::max())},
                   {"list", Value(Value::Array{Value(), Value(false), Value(-0.0), Value(1e300)})},
                   {"bytes", Value(Value::Bytes{0, 255})},
                   {"deep", Value(Value::Map{{"x", Value(Value::Map{{"y", Value(texts[40])}})}})}};
    odd.editContext().location.lat = std::numeric_limits<double>::infinity();
    for (const EventModel& m : {fullModel(), sparse, odd}) {
        std::string written;
        m.appendJson(written);
        EXPECT_EQ(written, Value(m.toDictionary()).toJson());
    }
    auto package =
        std::make_shared<const EventPackage>(std::vector<EventModel>{fullModel(), sparse, odd});
    std::string packageText;
    package->appendJson(packageText);
    EXPECT_EQ(packageText, Value(package->toDictionary()).toJson());
    EXPECT_EQ(package->eventsJson(), Value(package->toDictionary().at("eventModels")).toJson());
    EXPECT_EQ(EventPackage({}).eventsJson(), "[]");

    // The common block, as empty as it gets and filled, strange text included.
    CommonModel common;
    std::string blockText;
    common.appendJson(blockText);
    EXPECT_EQ(blockText, Value(common.toDictionary()).toJson());
    common.requestDatetime = "2024-05-06T07:08:09.123Z";
    common.appkey = "K";
    common.apiVersion = "6.0.0";
    common.identity.adid = "ADID";
    common.identity.deviceId = "DEV\"ICE";
    common.identity.idfa = "IDFA";
    common.identity.attStatus = 3;
    common.identity.registrationId =
        "tok\xFF"
        "en";
    common.identity.isPushEnable = true;
    common.device.model = "iPhone\n14";
    common.device.ipAddress = "10.0.0.1";
    common.installer = "AppStore";
    blockText.clear();
    common.appendJson(blockText);
    EXPECT_EQ(blockText, Value(common.toDictionary()).toJson());

    EventBundleModel bundle(common, package, "K");
    ApiBody body = bundle.toApiBody();
    EXPECT_EQ(body.json, Value(bundle.toDictionary()).toJson());
    EXPECT_TRUE(body.hasCommon);
    EXPECT_EQ(body.requestDatetime, "2024-05-06T07:08:09.123Z");
    // A model that only has its dictionary gets the same from the default.
    struct Plain : IApiModel {
        Value::Map d;
        Value::Map toDictionary() const override { return d; }
        std::string getUrl() const override { return ""; }
    } plain;
    plain.d = bundle.toDictionary();
    EXPECT_EQ(plain.toApiBody().json, body.json);
    EXPECT_EQ(plain.toApiBody().requestDatetime, body.requestDatetime);
    plain.d = {{"device_id", Value("D")}};
    EXPECT_FALSE(plain.toApiBody().hasCommon);
    plain.d = {{"common", Value(Value::Map{{"request_datetime", Value(5)}})}};
    EXPECT_TRUE(plain.toApiBody().hasCommon);
    EXPECT_FALSE(plain.toApiBody().requestDatetime.has_value());
}

TEST(EventPackage, APackedPackageReadsBackByteForByte) {
    std::vector<EventModel> events;
    for (int i = 0; i < 10; ++i) {
        EventModel m = fullModel();
        m.log_id = "log-" + std::to_string(i);
        // Text the deflater cannot shorten much, beside the repeated keys.
        m.event_name = std::string(1, static_cast<char>('a' + i)) + "\xC3\xA9\"\n";
        events.push_back(std::move(m));
    }
    auto plain = std::make_shared<const EventPackage>(std::move(events));
    plain->withdraw();
    auto packed = plain->packedCopy();
    ASSERT_TRUE(packed);
    EXPECT_TRUE(packed->packed());
    EXPECT_FALSE(plain->packed());
    EXPECT_EQ(packed->packageId(), plain->packageId());
    EXPECT_EQ(packed->eventCount(), 10u);
    EXPECT_TRUE(packed->withdrawn());
    EXPECT_EQ(packed->eventsJsonSize(), plain->eventsJsonSize());
    EXPECT_EQ(packed->eventsJson(), plain->eventsJson());
    EXPECT_TRUE(packed->hasEventsJson(plain->eventsJson()));
    EXPECT_FALSE(packed->hasEventsJson(plain->eventsJson().substr(1) + " "));
    // The stored-list element and the dictionary are the same text.
    std::string plainElement = "x";
    std::string packedElement = "x";
    plain->appendJson(plainElement);
    packed->appendJson(packedElement);
    EXPECT_EQ(packedElement, plainElement);
    EXPECT_EQ(Value(packed->toDictionary()).toJson(), Value(plain->toDictionary()).toJson());
    ASSERT_EQ(packed->eventModels().size(), 10u);
    EXPECT_EQ(packed->eventModels()[9].log_id, "log-9");
    // The upload body is byte-identical.
    CommonModel common;
    EXPECT_EQ(EventBundleModel(common, packed, "K").toApiBody().json,
              EventBundleModel(common, plain, "K").toApiBody().json);
    // Packed once only; a text that would not shrink stays plain.
    EXPECT_FALSE(packed->packedCopy());
    EXPECT_FALSE(EventPackage({}).packedCopy());
    // Copies keep the packed form and read back the same.
    EventPackage copy = *packed;
    EXPECT_TRUE(copy.packed());
    EXPECT_EQ(copy.eventsJson(), plain->eventsJson());
}

// Packages written one after another on one thread, larger and smaller than
// the last and past the room a thread keeps: each text is its own events'.
TEST(EventPackage, EachPackageTextIsItsOwnEventsWhateverCameBefore) {
    auto eventsOf = [](std::size_t count, std::size_t nameBytes) {
        std::vector<EventModel> events;
        for (std::size_t i = 0; i < count; ++i) {
            EventModel m = fullModel();
            m.event_name = std::string(nameBytes, static_cast<char>('a' + i % 26));
            m.log_id = "log-" + std::to_string(i);
            events.push_back(std::move(m));
        }
        return events;
    };
    auto expected = [](const std::vector<EventModel>& events) {
        std::string text = "[";
        for (std::size_t i = 0; i < events.size(); ++i) {
            text += i > 0 ? "," : "";
            events[i].appendJson(text);
        }
        return text + "]";
    };
    const std::pair<std::size_t, std::size_t> shapes[] = {{10, 2000}, {1, 3}, {10, 20000},
                                                          {2, 40},    {0, 0}, {10, 500}};
    for (const auto& [count, nameBytes] : shapes) {
        auto events = eventsOf(count, nameBytes);
        const std::string want = expected(events);
        const EventPackage package(std::move(events));
        EXPECT_EQ(package.eventsJson(), want) << count << " x " << nameBytes;
        EXPECT_EQ(package.eventsJsonSize(), want.size());
        EXPECT_EQ(package.eventCount(), count);
    }
}

TEST(LogEventParameter, InitialisersFillWhatTheyAreNotGiven) {
    auto p = LogEventParameter::initWithEventName("custom", "tap", {{"k", Value("string:v")}});
    EXPECT_FALSE(p.eventId || p.prevId || p.event_datetime);
    EXPECT_EQ(p.sessionOrderNo + p.eventOrderNo, 0u);
    EXPECT_EQ(p.sessionInterval + p.sessionLength, 0);

    // 2024-05-06T07:08:09.123Z in epoch milliseconds: the time keeps the second.
    auto a = LogEventParameter::initAutoEvent("1714979289123:ABC", "prev", "svl", "start_session",
                                              {}, 10, 20);
    EXPECT_EQ(a.event_datetime, "2024-05-06T07:08:09.000Z");
    EXPECT_EQ(a.eventId, "1714979289123:ABC");
    EXPECT_EQ(a.prevId, "prev");

    for (std::optional<std::string> id : {std::optional<std::string>(), {"x:1"}, {":1"}}) {
        auto now = LogEventParameter::initAutoEvent(id, std::nullopt, "svl", "e", {}, 0, 0);
        ASSERT_TRUE(now.event_datetime);
        EXPECT_EQ(now.event_datetime->size(), 24u);
        EXPECT_NE(now.event_datetime, "2024-05-06T07:08:09.000Z");
    }
    auto full = LogEventParameter::init("id", "prev", "svl", "e", {}, 1, 2, 3, 4, "when");
    EXPECT_EQ(full.sessionOrderNo, 3u);
    EXPECT_EQ(full.eventOrderNo, 4u);
    EXPECT_EQ(full.event_datetime, "when");
}

}  // namespace
}  // namespace sorvel
