// The order numbers and previous id live in memory: numbering an event makes
// no settings-store commit, a clean relaunch goes on from the next number,
// and a kill never lets a number be handed out twice.
#include "Event/EventCounters.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Event/EventModelProvider.h"
#include "Event/UserPropertyManager.h"
#include "KillPipeline.h"
#include "Platform/Host.h"
#include "ServerDouble.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

// The settings store, counting the changes of the counter keys that reach it.
class CountingContext final : public IDataContext {
  public:
    Status set(const std::string& key, const std::optional<Value>& value) override {
        note(key);
        return inner_.set(key, value);
    }
    std::vector<Status> setAll(const std::vector<Change>& changes) override {
        for (const auto& change : changes) {
            note(change.first);
        }
        return inner_.setAll(changes);
    }
    std::optional<Value> get(const std::string& key) const override { return inner_.get(key); }
    Status removeAll() override { return inner_.removeAll(); }
    int counterWrites() const { return writes_.load(); }

  private:
    void note(const std::string& key) {
        if (key == "svlPrefKey_UINT64_EVENT_ORDER_NO") {
            ++writes_;
        }
    }
    DefaultDataContext inner_;
    std::atomic<int> writes_{0};
};

std::uint64_t stored(DataRegistry& r, DataRegistryKey key) {
    return r.getUInt64(key, 0);
}

TEST(EventCountersTest, AStreamCommitsOncePerHalfBlockAndACheckpointStoresExactValues) {
    testing::FreshSdk sdk;
    auto context = std::make_shared<CountingContext>();
    auto registry = std::make_shared<DataRegistry>(context);
    registry->putUInt64(7, DataRegistryKey::UINT64_SESSION_ORDER_NO);
    registry->putUInt64(40, DataRegistryKey::UINT64_EVENT_ORDER_NO);
    ASSERT_TRUE(registry->waitForPendingWrites());
    const int before = context->counterWrites();

    auto counters = std::make_shared<EventCounters>(registry);
    auto properties = std::make_shared<UserPropertyManager>(registry, [] { return 100; });
    // A steady stream: every event's writes have landed before the next.
    constexpr int kEvents = 250;
    for (int i = 0; i < kEvents; ++i) {
        auto p = LogEventParameter::initWithEventName("custom", "tap", {});
        p.eventId = "id-" + std::to_string(i);
        EventModel m = EventModelProvider(properties, registry, counters, p).buildEventModel();
        ASSERT_EQ(*m.param->at("svl:event_order_no").getString(), "long:" + std::to_string(41 + i));
        counters->setPrevId(p.eventId);
        ASSERT_TRUE(registry->waitForPendingWrites());
        // The store always holds a number no lower than the last one handed out.
        ASSERT_GE(stored(*registry, DataRegistryKey::UINT64_EVENT_ORDER_NO),
                  static_cast<std::uint64_t>(41 + i));
    }
    EXPECT_LE(context->counterWrites() - before,
              kEvents / static_cast<int>(EventCounters::RESERVED_AHEAD / 2) + 1);
    EXPECT_EQ(counters->current(), (EventCounters::Values{7 + kEvents, 40 + kEvents, "id-249"}));

    EXPECT_TRUE(counters->checkpoint());
    EXPECT_FALSE(counters->checkpoint());  // nothing new to store
    EXPECT_EQ(stored(*registry, DataRegistryKey::UINT64_EVENT_ORDER_NO), 290u);
    EXPECT_EQ(stored(*registry, DataRegistryKey::UINT64_SESSION_ORDER_NO), 257u);
    EXPECT_EQ(registry->getStringOrNil(DataRegistryKey::STRING_PREV_ID, std::nullopt), "id-249");

    // A new session starts its numbers again; the event numbers go on.
    counters->resetSession();
    EXPECT_EQ(stored(*registry, DataRegistryKey::UINT64_SESSION_ORDER_NO), 0u);
    EXPECT_EQ(counters->next(), std::make_pair(std::uint64_t{1}, std::uint64_t{291}));
    counters->checkpoint();
    ASSERT_TRUE(registry->waitForPendingWrites());

    // A relaunch on the same data goes on from the very next numbers.
    auto relaunched = std::make_shared<EventCounters>(
        std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>()));
    EXPECT_EQ(relaunched->next(), std::make_pair(std::uint64_t{2}, std::uint64_t{292}));
    EXPECT_EQ(relaunched->prevId(), "id-249");

    // A replay lower than what is held changes nothing; a higher one raises
    // the numbers and brings its previous id.
    relaunched->restore({1, 100, std::string("old")});
    EXPECT_EQ(relaunched->current(), (EventCounters::Values{2, 292, "id-249"}));
    relaunched->restore({5, 900, std::string("newer")});
    EXPECT_EQ(relaunched->nextEventOrderNo(), 901u);
    EXPECT_EQ(relaunched->nextSessionOrderNo(), 6u);
    EXPECT_EQ(relaunched->prevId(), "newer");

    // An event takes the previous id whole, held inline or not, and none
    // once it is cleared.
    std::optional<InlineText> taken = InlineText("stale text of another event's id");
    for (const std::string& id : {std::string(200, 'L'), std::string("short"), std::string()}) {
        relaunched->setPrevId(id);
        relaunched->prevIdInto(taken);
        EXPECT_EQ(taken, id);
        EXPECT_EQ(relaunched->prevId(), id);
    }
    relaunched->setPrevId(std::nullopt);
    relaunched->prevIdInto(taken);
    EXPECT_FALSE(taken.has_value());
    relaunched->setPrevId("back");
    relaunched->prevIdInto(taken);
    EXPECT_EQ(taken, "back");
}

TEST(EventCountersTest, BlocksGrowWithAFastStreamAndShrinkBackWhenItSlows) {
    testing::FreshSdk sdk(/*manualClock=*/true);
    auto context = std::make_shared<CountingContext>();
    auto registry = std::make_shared<DataRegistry>(context);
    auto counters = std::make_shared<EventCounters>(registry);
    // Every number handed out is below what the store holds, and what the
    // store holds is never more than a largest block ahead of it.
    auto check = [&](std::uint64_t handedOut) {
        ASSERT_TRUE(registry->waitForPendingWrites());
        const std::uint64_t held = stored(*registry, DataRegistryKey::UINT64_EVENT_ORDER_NO);
        ASSERT_GE(held, handedOut);
        ASSERT_LT(held - handedOut, EventCounters::MAX_RESERVED_AHEAD);
    };

    // 500 events a second for six seconds: one commit per second or so, not
    // one per 50 events.
    const int before = context->counterWrites();
    std::uint64_t last = 0;
    for (int i = 0; i < 3000; ++i) {
        last = counters->next().second;
        sdk.clock()->advance(std::chrono::milliseconds(2));
        if (i % 100 == 99) {
            check(last);
        }
    }
    const int fastWrites = context->counterWrites() - before;
    EXPECT_LE(fastWrites, 15) << "a fast stream kept reserving small blocks";
    EXPECT_GE(fastWrites, 4);

    // One event every three seconds: the blocks shrink back to the smallest,
    // so a kill of a slow stream leaves a small gap.
    for (int i = 0; i < 1600; ++i) {
        last = counters->next().second;
        sdk.clock()->advance(std::chrono::seconds(3));
    }
    check(last);
    EXPECT_LT(stored(*registry, DataRegistryKey::UINT64_EVENT_ORDER_NO) - last,
              EventCounters::RESERVED_AHEAD);

    // The numbers themselves never skip while the process lives.
    EXPECT_EQ(counters->current().eventOrderNo, 4600u);
    EXPECT_EQ(counters->current().sessionOrderNo, 4600u);
}

TEST(EventCountersTest, AWipeStartsEverythingAgainEvenAfterARacingWrite) {
    testing::FreshSdk sdk;
    auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    auto counters = std::make_shared<EventCounters>(registry);
    for (int i = 0; i < 150; ++i) {
        counters->next();
    }
    counters->setPrevId("before-delete");
    registry->removeAll();
    // A block reserved by an event built beside the delete lands after the wipe.
    registry->putUInt64(250, DataRegistryKey::UINT64_EVENT_ORDER_NO);
    counters->resetAfterWipe();
    EXPECT_EQ(stored(*registry, DataRegistryKey::UINT64_EVENT_ORDER_NO), 0u);
    EXPECT_EQ(counters->current(), EventCounters::Values{});
    EXPECT_EQ(counters->next(), std::make_pair(std::uint64_t{1}, std::uint64_t{1}));
    EXPECT_FALSE(counters->prevId());
    // Without a racing write the wipe's absent values stay absent.
    counters->checkpoint();
    registry->removeAll();
    counters->resetAfterWipe();
    EXPECT_FALSE(registry->getValue(DataRegistryKey::UINT64_EVENT_ORDER_NO));
    EXPECT_FALSE(registry->getValue(DataRegistryKey::STRING_PREV_ID));
}

// ---- Across a kill -------------------------------------------------------------

constexpr const char* kEnv = "SORVEL_COUNTERS_KILL_CHILD";
constexpr int kDelivered = 200;
constexpr int kInOpenBuffer = 5;

using killtest::Pipeline;

std::string lastNumberFile(const std::string& home) {
    return home + "/last-order-no";
}

// The child: 200 events delivered, 5 more numbered and left in the open
// buffer; it notes the last number it handed out and waits to be killed.
int runAsKilledChildIfAsked() {
    const std::optional<std::string> home = killtest::killedChildHome(kEnv);
    if (!home) {
        return 0;
    }
    Pipeline p;
    const bool keysStored = p.storeKeys();
    for (int i = 0; i < kDelivered; ++i) {
        p.log("first-" + std::to_string(i));
    }
    p.buffer->flushAllNow();
    p.buffer->waitUntilIdle();
    for (int i = kDelivered; i < kDelivered + kInOpenBuffer; ++i) {
        p.log("first-" + std::to_string(i));
    }
    p.buffer->waitUntilIdle();
    // The kill comes once the block reserved for these numbers is on disk.
    if (!p.registry->waitForPendingWrites().ok()) {
        return 1;
    }
    std::ofstream(lastNumberFile(*home)) << p.buffer->eventCounters()->current().eventOrderNo;
    testing::reportAndAwaitKill(keysStored && p.buffer->bufferedEventCount() ==
                                                  static_cast<std::size_t>(kInOpenBuffer));
}
const int kKilledChildDone = runAsKilledChildIfAsked();

TEST(EventCountersKill, NumbersNeverRepeatAfterASigkill) {
    killtest::KilledLaunch launch;
    std::string said;
    ASSERT_TRUE(launch.killChild(kEnv, said)) << said;
    testing::FreshSdk& sdk = launch.sdk;
    tools::ServerDouble& server = launch.server;
    std::uint64_t lastHandedOut = 0;
    std::ifstream(lastNumberFile(sdk.home())) >> lastHandedOut;
    ASSERT_EQ(lastHandedOut, static_cast<std::uint64_t>(kDelivered + kInOpenBuffer));

    platform::host::setKeychainFolder(sdk.home() + "/keychain");
    platform::host::setReachability(std::string("wifi"));
    platform::host::mapHttpHost("*", server.baseUrl());
    {
        Pipeline next;
        for (int i = 0; i < 10; ++i) {
            next.log("next-" + std::to_string(i));
        }
        next.buffer->flushAllNow();
        next.buffer->waitUntilIdle();
        EventUploadIntervalManager::shared().removeObserver(next.buffer);
    }

    // Every delivered number once; the first launch's in order from 1 (the
    // open buffer's too, which its journal kept), the next launch's past
    // every number the killed one handed out.
    std::set<std::uint64_t> first;
    std::set<std::uint64_t> later;
    int deliveries = 0;
    for (const auto& r : server.requests(tools::Endpoint::EVENT_BULK)) {
        auto body = Value::fromJson(r.decodedBody);
        const Value::Map* m = body ? body->getMap() : nullptr;
        ASSERT_TRUE(m && m->count("evts") && m->at("evts").isArray());
        for (const auto& e : *m->at("evts").getArray()) {
            const Value::Map& event = *e.getMap();
            const std::string& number =
                *event.at("param").getMap()->at("svl:event_order_no").getString();
            const std::uint64_t n = std::stoull(number.substr(std::string("long:").size()));
            const bool isFirst = event.at("log_id").getString()->rfind("first-", 0) == 0;
            EXPECT_TRUE((isFirst ? first : later).insert(n).second) << "repeated " << n;
            ++deliveries;
        }
    }
    ASSERT_EQ(first.size(), static_cast<std::size_t>(kDelivered + kInOpenBuffer));
    EXPECT_EQ(*first.rbegin(), static_cast<std::uint64_t>(kDelivered + kInOpenBuffer));
    ASSERT_EQ(later.size(), 10u);
    EXPECT_GT(*later.begin(), lastHandedOut);
    EXPECT_EQ(deliveries, kDelivered + kInOpenBuffer + 10);
}

}  // namespace
}  // namespace sorvel
