#include "Event/EventModel.h"

#include <gtest/gtest.h>

#include <limits>

#include "Event/LogEventParameter.h"
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

TEST(EventModel, AllSixteenFieldsSurviveTheStoredForm) {
    const EventModel m = fullModel();
    const Value::Map d = m.toDictionary();
    EXPECT_EQ(d.size(), 16u);

    auto back = throughJson(m);
    ASSERT_TRUE(back) << back.status().message();
    EXPECT_EQ(back->toDictionary(), d);
    EXPECT_EQ(*back->location.lwid, "lw-1");
    EXPECT_EQ(back->location.lng, -122.25);
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
    EXPECT_FALSE(sparseBack->location.lwid.has_value());
    EXPECT_EQ(sparseBack->location.lat, 0.0);
    EXPECT_EQ(sparseBack->location.lng, 0.0);
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
    EXPECT_FALSE(m->location.lwid.has_value());
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
    EXPECT_TRUE(m->ci.empty());
    EXPECT_TRUE(m->user_properties.empty());
    EXPECT_EQ(m->session_length, 4);
    d.erase("session_length");
    EXPECT_FALSE(EventModel::initFromV1Dictionary(d));
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
