#include "Data/InAppMessageFixture.h"

#include <sqlite3.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace sorvel::iamtest {
namespace {

using InAppMessageSelection = InAppMessageFixture;

Value::Map triggeredAt(Value::Map c, std::int64_t priority, const char* lastUpdated) {
    c["triggers"] = Value(Value::Array{Value(Value::Map{{"evt", Value("custom:buy")},
                                                        {"type", Value("inappevent")},
                                                        {"priority", Value(priority)}})});
    c["last_updated_datetime"] = Value(lastUpdated);
    return c;
}

std::string idOf(const std::shared_ptr<const InAppMessage>& m) {
    return m ? m->campaignId : "<none>";
}

TEST_F(InAppMessageSelection, OrderLogLinesAndCountingOnce) {
    Value::Map landscapeOnly = triggeredAt(campaign("land"), 9, "2024-01-01T00:00:00.0000000Z");
    landscapeOnly["page_orientation"] = Value(Value::Array{Value("landscape")});
    ingest({Value(triggeredAt(campaign("p5-old"), 5, "2024-01-01T00:00:00.0000000Z")),
            Value(triggeredAt(campaign("p5-new"), 5, "2024-02-01T00:00:00.0000000Z")),
            Value(triggeredAt(campaign("p-1"), -1, "2024-03-01T00:00:00.0000000Z")),
            Value(landscapeOnly)});

    // The priority-9 campaign cannot be shown in portrait: passed over, and
    // nothing counted for it.
    auto m = dao->getInAppMessageByEventName("custom:buy", true);
    EXPECT_EQ(idOf(m), "p5-new");
    EXPECT_EQ(log.count("getInAppMessageByCampaignId Success, campaignId = p5-new"), 1);
    EXPECT_EQ(counters("land"), (std::vector<std::string>{"0", "0", "0", "0"}));
    EXPECT_EQ(counters("p5-new"),
              (std::vector<std::string>{"1", "1", std::to_string(nowMs()), "1"}));
    EXPECT_EQ(counters("p5-old"), (std::vector<std::string>{"0", "0", "0", "0"}));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->titleText, "Title p5-new");
    EXPECT_EQ(m->numberOfButtons, 1);
    EXPECT_EQ(m->buttonArray[0].clickAction.actionType, "close");
    EXPECT_EQ(m->stickyBannerOption->align, "bottom");

    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:buy", false)), "land");
    EXPECT_EQ(counters("land")[1], "1");

    // Letter case matters; an unknown event names itself in the line.
    EXPECT_FALSE(dao->getInAppMessageByEventName("custom:BUY", true));
    EXPECT_EQ(log.count("getInAppMessageByCampaignId Fail, No Valid InAppMessage, eventName : "
                        "custom:BUY"),
              1);
}

// The names some campaign is triggered by let a lookup for any other name
// stop early; a name added by any write, on this connection or another, must
// never be missed.
TEST_F(InAppMessageSelection, TriggerNamesFollowEveryWriteOfTheStore) {
    InAppMessageSqliteStore& store = dao->store();
    store.refreshTriggerEventNames();
    ASSERT_TRUE(store.triggerEventNames());
    EXPECT_TRUE(store.triggerEventNames()->empty());
    EXPECT_FALSE(dao->getInAppMessageByEventName("custom:buy", true));

    ingest({Value(triggeredAt(campaign("a"), 1, "2024-01-01T00:00:00.0000000Z"))});
    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:buy", true)), "a");
    EXPECT_EQ(*store.triggerEventNames(), InAppMessageSqliteStore::EventNames{"custom:buy"});
    EXPECT_FALSE(dao->getInAppMessageByEventName("custom:sell", true));
    EXPECT_EQ(log.count("getInAppMessageByCampaignId Fail, No Valid InAppMessage, eventName : "
                        "custom:sell"),
              1);

    // Another connection to the same file, as a second process would hold.
    auto other = InAppMessageSqliteStore::open();
    ASSERT_TRUE(other);
    ASSERT_EQ(other->insertTriggerTable("a", "inappevent", "custom:sell", 1), SQLITE_DONE);
    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:sell", true)), "a");
    // Only in-app event triggers count.
    ASSERT_EQ(other->insertTriggerTable("a", "other", "custom:hold", 1), SQLITE_DONE);
    store.refreshTriggerEventNames();
    EXPECT_FALSE(store.triggerEventNames()->contains("custom:hold"));

    // Tables dropped and made again, then a new list: found at once.
    dao->deleteAllImagesAndDropTables();
    EXPECT_FALSE(dao->getInAppMessageByEventName("custom:buy", true));
    dao->createTables();
    ingest({Value(triggeredAt(campaign("b"), 1, "2024-01-01T00:00:00.0000000Z"))}, "c2");
    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:buy", true)), "b");
}

// The app's threads answer "no campaign" only from names read after the last
// commit to the file by anyone; a commit by another connection (another
// process, the image queue) makes them ask the queue until the names are
// read again. Names handed out stay as they were when a refresh replaces them.
TEST_F(InAppMessageSelection, TheAppsCheckHoldsOnlyForNamesAsNewAsTheFile) {
    InAppMessageSqliteStore& store = dao->store();
    EXPECT_TRUE(store.mayTrigger("custom:buy")) << "nothing read yet: ask the queue";
    ingest({Value(triggeredAt(campaign("a"), 1, "2024-01-01T00:00:00.0000000Z"))});
    EXPECT_TRUE(store.mayTrigger("custom:sell")) << "the store's own commit since the last read";
    store.refreshTriggerEventNames();
    EXPECT_FALSE(store.mayTrigger("custom:sell"));
    EXPECT_TRUE(store.mayTrigger("custom:buy"));
    const auto held = store.triggerEventNames();
    ASSERT_TRUE(held);

    // The commit watch itself: its mark stands while nothing commits, a
    // commit of any connection takes it away until the next settle, and a
    // write that changes nothing commits nothing.
    EXPECT_FALSE(platform::sqlite::CommitWatch::open(dbPath() + ".missing"));
    auto watch = platform::sqlite::CommitWatch::open(dbPath());
    ASSERT_TRUE(watch);
    int own = 0;
    auto settling = platform::sqlite::Connection::open(dbPath(), SQLITE_OPEN_READWRITE, own);
    ASSERT_TRUE(settling) << own;
    const auto before = watch->settle(*settling, [] { return true; });
    ASSERT_TRUE(before);
    EXPECT_EQ(watch->mark(), before);
    EXPECT_EQ(watch->mark(), before) << "a settle writes nothing the watch reports";
    // Another connection opening the log and reading (as root, SQLite sets
    // the log's owner then) commits nothing either.
    int rc = 0;
    auto other = platform::sqlite::Connection::open(dbPath(), SQLITE_OPEN_READWRITE, rc);
    ASSERT_TRUE(other) << rc;
    other->setBusyTimeout(5000);
    ASSERT_EQ(other->execute("SELECT 1 FROM Triggers"), platform::sqlite::Outcome::Done);
    EXPECT_EQ(watch->mark(), before);
    EXPECT_FALSE(store.mayTrigger("custom:sell"));

    ASSERT_EQ(other->execute("UPDATE CurrentFrequency SET CurrentFrequencyCapPerSession = 0"),
              platform::sqlite::Outcome::Done);
    EXPECT_EQ(watch->mark(), before);
    EXPECT_FALSE(store.mayTrigger("custom:sell"));
    ASSERT_EQ(other->execute("INSERT INTO Triggers VALUES ('a', 'inappevent', 'custom:sell', 1)"),
              platform::sqlite::Outcome::Done);
    EXPECT_FALSE(watch->mark());
    const auto after = watch->settle(*settling, [] { return true; });
    ASSERT_TRUE(after);
    EXPECT_NE(after, before);
    EXPECT_EQ(watch->mark(), after);
    // A name no commit added is not answered from stale names either.
    EXPECT_TRUE(store.mayTrigger("custom:other"));
    EXPECT_TRUE(store.mayTrigger("custom:sell"));
    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:sell", true)), "a");
    store.refreshTriggerEventNames();
    EXPECT_FALSE(store.mayTrigger("custom:other"));
    EXPECT_EQ(*store.triggerEventNames(),
              (InAppMessageSqliteStore::EventNames{"custom:buy", "custom:sell"}));
    EXPECT_EQ(*held, InAppMessageSqliteStore::EventNames{"custom:buy"});

    // Dropped tables: nothing can be told, so everything takes the queue.
    dao->deleteAllImagesAndDropTables();
    store.refreshTriggerEventNames();
    EXPECT_FALSE(store.triggerEventNames());
    EXPECT_TRUE(store.mayTrigger("custom:other"));
}

// Whether the thread is asleep (blocked), by its state in /proc.
bool asleep(long tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}

// A refresh of the names waits only a moment for a write lock another
// connection holds, and never for the store's connection (held by a write
// that waits for that lock); no reader of the names waits for a refresh.
// While the names cannot be read with every commit in them, nothing is
// answered from names, and every event takes the queue.
TEST_F(InAppMessageSelection, ReadersOfTheNamesNeverWaitForARefresh) {
    InAppMessageSqliteStore& store = dao->store();
    ingest({Value(triggeredAt(campaign("a"), 1, "2024-01-01T00:00:00.0000000Z"))});
    store.refreshTriggerEventNames();
    int rc = 0;
    auto locker = platform::sqlite::Connection::open(dbPath(), SQLITE_OPEN_READWRITE, rc);
    ASSERT_TRUE(locker) << rc;
    // A commit the names do not hold yet, then the write lock kept.
    ASSERT_EQ(locker->execute("INSERT INTO Triggers VALUES ('a', 'inappevent', 'custom:new', 1)"),
              platform::sqlite::Outcome::Done);
    ASSERT_EQ(locker->execute("BEGIN IMMEDIATE"), platform::sqlite::Outcome::Done);

    // A write on the store's connection waits for the lock, holding that
    // connection.
    std::atomic<long> writerTid{0};
    std::thread writer([&] {
        writerTid.store(static_cast<long>(::syscall(SYS_gettid)));
        store.resetFrequencyCapPerSession();
    });
    ASSERT_TRUE(testing::pollUntil([&] { return writerTid.load() != 0 && asleep(writerTid); }));

    std::atomic<bool> answered{false};
    std::shared_ptr<const InAppMessageSqliteStore::EventNames> seen;
    bool triggers = false;
    std::thread refresher([&] {
        store.refreshTriggerEventNames();
        seen = store.triggerEventNames();
        triggers = store.mayTrigger("custom:new");
        answered.store(true);
        testing::notifyWaiters();
    });
    const bool atOnce =
        testing::waitUntil([&] { return answered.load(); }, std::chrono::seconds(2));
    ASSERT_EQ(locker->execute("ROLLBACK"), platform::sqlite::Outcome::Done);
    writer.join();
    refresher.join();
    EXPECT_TRUE(atOnce) << "a refresh or a reader waited for a lock";
    EXPECT_FALSE(seen) << "names were published that may lack a commit";
    EXPECT_TRUE(triggers) << "names older than the file's last commit answered no";
    store.refreshTriggerEventNames();
    ASSERT_TRUE(store.triggerEventNames());
    EXPECT_EQ(*store.triggerEventNames(),
              (InAppMessageSqliteStore::EventNames{"custom:buy", "custom:new"}));
    EXPECT_FALSE(store.mayTrigger("custom:other"));
}

TEST_F(InAppMessageSelection, CapsPerSessionUserAndPeriod) {
    Value::Map c = campaign("c");
    c["frequency_cap"] = Value(Value::Map{{"per_session", Value(2)}, {"per_user", Value(3)}});
    Value::Map fallback = triggeredAt(campaign("fallback"), 0, "2024-01-01T00:00:00.0000000Z");
    ingest({Value(triggeredAt(c, 5, "2024-01-01T00:00:00.0000000Z")), Value(fallback)});

    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:buy", true)), "c");
    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:buy", true)), "c");
    // Session cap reached: no line, the next candidate.
    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:buy", true)), "fallback");
    dao->resetFrequencyCapPerSession();
    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:buy", true)), "c");
    EXPECT_EQ(counters("c")[1], "3");
    dao->resetFrequencyCapPerSession();
    // Per user reached: the campaign goes, its counters stay.
    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:buy", true)), "fallback");
    EXPECT_EQ(log.count("isCampaignIdFrequencyAvailable: frequency perUser is over"), 1);
    EXPECT_EQ(count("InAppMessage", "CampaignId = 'c'"), 0u);
    EXPECT_EQ(counters("c"), (std::vector<std::string>{"0", "3", std::to_string(nowMs()), "3"}));
    // The next list still names it: it stays capped.
    ingest({Value(triggeredAt(c, 5, "2024-01-01T00:00:00.0000000Z"))}, "c2");
    EXPECT_FALSE(dao->getInAppMessageByEventName("custom:buy", true));
    EXPECT_EQ(log.count("isCampaignIdFrequencyAvailable: frequency perUser is over"), 2);

    // Two per hour.
    Value::Map p = campaign("p");
    p["frequency_cap"] =
        Value(Value::Map{{"per_period", Value(Value::Map{{"period_in_minutes", Value(60)},
                                                         {"per_period", Value(2)}})}});
    ingest({Value(p)}, "c3");
    const std::int64_t start = nowMs();
    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:buy", true)), "p");
    sdk.clock()->advance(std::chrono::minutes(30));
    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:buy", true)), "p");
    sdk.clock()->advance(std::chrono::minutes(30));  // exactly the end: still open
    EXPECT_FALSE(dao->getInAppMessageByEventName("custom:buy", true));
    EXPECT_EQ(log.count("isCampaignIdFrequencyAvailable: frequency period is over"), 1);
    EXPECT_EQ(counters("p"), (std::vector<std::string>{"2", "2", std::to_string(start), "2"}));
    sdk.clock()->advance(std::chrono::milliseconds(1));
    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:buy", true)), "p");
    EXPECT_EQ(counters("p"), (std::vector<std::string>{"3", "3", std::to_string(nowMs()), "1"}));

    // A campaign without a frequency row is never shown.
    dao->store().deleteCurrentFrequencyRow("p");
    EXPECT_FALSE(dao->getInAppMessageByEventName("custom:buy", true));
    EXPECT_EQ(count("CurrentFrequency", "CampaignId = 'p'"), 0u);
}

TEST_F(InAppMessageSelection, TimeWindowsClosesAndEnds) {
    // Tuesday 09:30 local.
    auto windows = [](Value::Map c, Value::Array w) {
        c["available_time"] = Value(std::move(w));
        return c;
    };
    auto window = [](std::vector<const char*> days, int from, int to) {
        Value::Array d;
        for (const char* day : days) {
            d.push_back(Value(day));
        }
        return Value(Value::Map{
            {"days", Value(std::move(d))}, {"start_min", Value(from)}, {"end_min", Value(to)}});
    };
    ingest({Value(windows(campaign("in"), {window({"Tue"}, 540, 570)})),
            Value(windows(campaign("late"), {window({"Tue"}, 571, 600)})),
            Value(windows(campaign("monday"), {window({"Mon"}, 0, 1439)}))});
    auto& s = dao->store();
    EXPECT_TRUE(s.isCampaignIdTimeAvailable("in"));
    EXPECT_FALSE(s.isCampaignIdTimeAvailable("late"));
    EXPECT_FALSE(s.isCampaignIdTimeAvailable("monday"));
    EXPECT_FALSE(s.isCampaignIdTimeAvailable("missing"));
    EXPECT_EQ(log.count("isCampaignIdTimeAvailable: campaignId dateTime inAvailable"), 1);

    // Global +9 at local 20:15 is Wednesday 05:15.
    Value::Map global = windows(campaign("global"), {window({"Wed"}, 315, 315)});
    global["timezone_type"] = Value("Global");
    global["timezone_offset"] = Value(9);
    Value::Map odd = campaign("odd");
    odd["timezone_type"] = Value("global");
    Value::Map future = campaign("future");
    future["start_datetime"] = Value("2024-03-06T00:00:00");
    Value::Map ended = campaign("ended");
    ended["end_datetime"] = Value("2024-03-05T00:29:59.999");  // 09:29:59.999 local
    ingest({Value(global), Value(odd), Value(future), Value(ended)}, "c2");
    setLocal(20, 15);
    EXPECT_TRUE(s.isCampaignIdTimeAvailable("global"));
    EXPECT_FALSE(s.isCampaignIdTimeAvailable("odd"));
    EXPECT_EQ(log.count("isCampaignIdTimeAvailable: invalid timezoneZoneType: global"), 1);
    EXPECT_FALSE(s.isCampaignIdTimeAvailable("future"));
    EXPECT_EQ(log.count("isCampaignIdTimeAvailable: currentTimeMillis is earlier than "
                        "startDateTime"),
              1);
    EXPECT_EQ(count("InAppMessage", "CampaignId = 'future'"), 1u);
    EXPECT_FALSE(s.isCampaignIdTimeAvailable("ended"));
    EXPECT_EQ(log.count("isCampaignIdTimeAvailable: currentTimeMillis over endDateTime"), 1);
    EXPECT_EQ(count("InAppMessage", "CampaignId = 'ended'") +
                  count("CurrentFrequency", "CampaignId = 'ended'"),
              0u);

    // Closed for today: refused even once it has ended; cleared on a later day.
    ingest({Value(campaign("closed"))}, "c3");
    s.closeForOneDay("closed", "Tue", nowMs());
    EXPECT_FALSE(s.isCampaignIdTimeAvailable("closed"));
    EXPECT_EQ(log.count("isCampaignIdTimeAvailable: one day close"), 1);
    setLocal(0, 1, 1);  // Wednesday
    EXPECT_TRUE(s.isCampaignIdTimeAvailable("closed"));
    EXPECT_EQ(rows("SELECT UnavailableDay, UnavailableTime FROM InAppMessage WHERE CampaignId = "
                   "'closed'"),
              (std::vector<std::vector<std::string>>{{"", "0"}}));
    // The same weekday name a week later is another day.
    s.closeForOneDay("closed", "Wed", nowMs());
    setLocal(0, 1, 8);
    EXPECT_TRUE(s.isCampaignIdTimeAvailable("closed"));

    // A campaign with no window rows at all is never available.
    dao->store().deleteAvailableTimeRows("closed");
    EXPECT_FALSE(s.isCampaignIdTimeAvailable("closed"));
}

TEST_F(InAppMessageSelection, ABrokenRowIsPassedOverWithItsLine) {
    ingest({Value(triggeredAt(campaign("broken"), 9, "2024-01-01T00:00:00.0000000Z")),
            Value(campaign("ok"))});
    // Contents text damaged behind the store's back.
    dao->store().deleteInAppMessageRow("broken");
    CampaignRow row;
    row.campaignId = "broken";
    row.portraitAvailable = 1;
    row.timezoneType = "Local";
    row.texts.contentsText = "[]";
    dao->store().insertInAppMessageTable(row);
    dao->store().insertAvailableTimeTable("broken", "all", 0, 0);
    EXPECT_EQ(idOf(dao->getInAppMessageByEventName("custom:buy", true)), "ok");
    EXPECT_EQ(log.count("getInAppMessageByCampaignId :: can not get text dictionary"), 1);
    EXPECT_EQ(counters("broken")[1], "0");  // not shown, not counted
}

}  // namespace
}  // namespace sorvel::iamtest
