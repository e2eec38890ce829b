#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Event/EventJournal.h"
#include "KillLosses.h"
#include "Platform/FileSystem.h"
#include "StoredEvents.h"
#include "support/TestSupport.h"

namespace sorvel::tools {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// A package element as the unsent list and the journal hold it: events of
// launch 3 with these log ids and numbers (none: one of the SDK's own).
std::string element(const std::string& id,
                    const std::vector<std::pair<std::string, std::string>>& events) {
    nlohmann::json models = nlohmann::json::array();
    for (const auto& [logId, n] : events) {
        nlohmann::json param = nlohmann::json::object();
        if (!n.empty()) {
            param = nlohmann::json::parse(n);
        }
        models.push_back({{"log_id", logId}, {"event_name", "soak_tick"}, {"param", param}});
    }
    return nlohmann::json{{"eventModels", models}, {"package_id", id}}.dump();
}

std::string bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(StoredEvents, ReadsTheListAndTheJournalsAsAKillLeftThemWithoutTouchingThem) {
    testing::FreshSdk sdk;
    const fs::path prefs = platform::preferencesFolder();
    // Nothing stored yet: nothing to read, and nothing wrong.
    StoredEvents empty = readStoredEvents(sdk.home());
    EXPECT_TRUE(empty.numbered.empty());
    EXPECT_EQ(empty.pending, 0);
    EXPECT_FALSE(empty.journalWrittenAt);
    EXPECT_EQ(empty.problem, "");

    auto registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
    const std::string list =
        "[" +
        element("A", {{"a1", R"({"n":"long:1","run":"long:3"})"}, {"a2", R"({"n":2,"run":3})"}}) +
        "," + element("B", {{"b1", R"({"c:n":"long:3","c:run":"long:3"})"}, {"s1", ""}}) + "]";
    registry->putData(Value::Bytes(list.begin(), list.end()),
                      DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
    ASSERT_TRUE(registry->waitForPendingWrites());

    auto journal = EventJournal::create(prefs.string());
    ASSERT_TRUE(journal);
    const EventJournal::Counters counters;
    auto& j = *journal.value();
    ASSERT_TRUE(j.appendPackage(
        "C", element("C", {{"c1", R"({"n":4,"run":3})"}, {"c2", R"({"n":5,"run":3})"}}), counters));
    ASSERT_TRUE(j.appendPackage("D", element("D", {{"d1", R"({"n":6,"run":3})"}}), counters));
    // B again under a new id (a start restored it): its events count once.
    ASSERT_TRUE(j.appendPackage(
        "B2", element("B2", {{"b1", R"({"c:n":"long:3","c:run":"long:3"})"}, {"s1", ""}}),
        counters));
    // A (from the list) and D were delivered; a later file of the journal says so.
    (void)j.mark();
    ASSERT_TRUE(j.append(EventJournal::Kind::ACKNOWLEDGED, "D"));
    ASSERT_TRUE(j.append(EventJournal::Kind::ACKNOWLEDGED, "A"));
    // The open buffer: 7 and 8 joined it and became package E; 9 waits there.
    ASSERT_TRUE(j.append(
        EventJournal::Kind::EVENTS,
        EventJournal::openEventsData(counters, R"([{"log_id":"e7","param":{"n":7,"run":3}},)"
                                               R"({"log_id":"e8","param":{"n":8,"run":3}}])")));
    ASSERT_TRUE(j.appendPackage(
        "E", element("E", {{"e7", R"({"n":7,"run":3})"}, {"e8", R"({"n":8,"run":3})"}}), counters,
        EventJournal::Kind::BUFFER_PACKAGE));
    ASSERT_TRUE(j.append(
        EventJournal::Kind::EVENTS,
        EventJournal::openEventsData(counters, R"([{"log_id":"e9","param":{"n":9,"run":3}}])")));

    std::map<fs::path, std::string> before;
    for (const auto& entry : fs::directory_iterator(prefs)) {
        before[entry.path()] = bytesOf(entry.path());
    }
    const StoredEvents stored = readStoredEvents(sdk.home());
    EXPECT_EQ(stored.problem, "");
    // Settled or not, every numbered event on disk; the SDK's own are not numbered.
    EXPECT_EQ(stored.numbered,
              (std::set<EventKey>{
                  {3, 1}, {3, 2}, {3, 3}, {3, 4}, {3, 5}, {3, 6}, {3, 7}, {3, 8}, {3, 9}}));
    // What a start restores: B (b1, s1) once, C, E, and the open buffer's 9
    // (its 7 and 8 once, in E).
    EXPECT_EQ(stored.pending, 7);
    ASSERT_TRUE(stored.journalWrittenAt);
    EXPECT_LE(*stored.journalWrittenAt, fs::file_time_type::clock::now());
    // The store's files (its WAL among them) are as they were.
    std::map<fs::path, std::string> after;
    for (const auto& entry : fs::directory_iterator(prefs)) {
        after[entry.path()] = bytesOf(entry.path());
    }
    EXPECT_EQ(after, before);

    // A list that is not one is named, not taken as empty.
    const std::string broken = "[{\"eventModels\":";
    registry->putData(Value::Bytes(broken.begin(), broken.end()),
                      DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
    ASSERT_TRUE(registry->waitForPendingWrites());
    EXPECT_NE(readStoredEvents(sdk.home()).problem, "");
}

TEST(KillLosses, TellsThePipelinesTailFromStoredEventsAndFromGaps) {
    const auto age = [](long long n) -> KillLosses::Duration {
        return milliseconds(10 * (31 - n));
    };
    auto in = [](std::set<long long> s) { return [s](long long n) { return s.count(n) != 0; }; };

    // 1..10 and 14 arrived; 11..15 were stored; 16..30 were still in memory:
    // 16..24 in the open buffer, 25..30 not yet drained into it.
    KillLosses k = classifyKillLosses(1, 30, 9, age, in({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 14}),
                                      in({11, 12, 13, 14, 15}));
    EXPECT_EQ(k.onDisk, 4);
    EXPECT_EQ(k.lostOnDisk, (std::vector<long long>{11, 12, 13, 15}));
    EXPECT_EQ(k.memoryGap, 0);
    EXPECT_EQ(k.inMemory, 15);
    EXPECT_EQ(k.inPipeline, 6);
    EXPECT_EQ(k.pipelineLag, milliseconds(60));
    EXPECT_EQ(k.bufferAge, milliseconds(150));
    ASSERT_EQ(k.lost.size(), 19u);
    EXPECT_EQ(k.lost.front(), (std::pair<long long, KillLosses::Duration>{11, milliseconds(200)}));
    // The oldest lost from memory: stored ones go only to the cap.
    EXPECT_EQ(k.oldestLost, milliseconds(150));

    // Events unstored below a stored one left memory some other way than
    // through the store: a gap, not the pipeline's tail.
    k = classifyKillLosses(1, 30, 9, age, in({}), in({5, 6}));
    EXPECT_EQ(k.memoryGap, 4);
    EXPECT_EQ(k.onDisk, 2);
    EXPECT_EQ(k.inMemory, 24);
    EXPECT_EQ(k.inPipeline, 15);
    EXPECT_EQ(k.pipelineLag, milliseconds(150));

    // A delivered event counts as stored for the order, whatever the disk says.
    k = classifyKillLosses(1, 30, 9, age, in({20}), in({}));
    EXPECT_EQ(k.memoryGap, 19);
    EXPECT_EQ(k.inMemory, 10);
    EXPECT_EQ(k.inPipeline, 1);
    EXPECT_EQ(k.pipelineLag, milliseconds(10));

    // Only the open buffer in memory: no pipeline lag; nothing recorded: nothing lost.
    k = classifyKillLosses(1, 30, 9, age, in({}), [](long long n) { return n <= 21; });
    EXPECT_EQ(k.inMemory, 9);
    EXPECT_EQ(k.inPipeline, 0);
    EXPECT_EQ(k.pipelineLag, KillLosses::Duration{0});
    EXPECT_EQ(k.bufferAge, milliseconds(90));
    EXPECT_EQ(k.oldestLost, milliseconds(90));
    // With the open buffer on disk (none counted in memory), every event in
    // memory is the pipeline's.
    k = classifyKillLosses(1, 30, 0, age, in({}), [](long long n) { return n <= 27; });
    EXPECT_EQ(k.inPipeline, 3);
    EXPECT_EQ(k.pipelineLag, milliseconds(30));
    EXPECT_EQ(k.oldestLost, milliseconds(30));
    k = classifyKillLosses(5, 4, 9, age, in({}), in({}));
    EXPECT_TRUE(k.lost.empty());
    EXPECT_EQ(k.oldestLost, KillLosses::Duration{0});
}

}  // namespace
}  // namespace sorvel::tools
