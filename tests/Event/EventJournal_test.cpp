#include "Event/EventJournal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Common/Constants.h"
#include "Event/UnsentPackageStore.h"
#include "EventFixture.h"
#include "Platform/FileSystem.h"
#include "support/CommonSupport.h"

namespace sorvel::eventtest {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> journalsIn(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("unsent-", 0) == 0 && name.ends_with(".journal")) {
            out.push_back(entry.path().string());
        }
    }
    return out;
}

// The files a journal keeps aside (a mark's file before it took its name,
// the emptied file kept for the next mark).
std::vector<std::string> asideIn(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().ends_with(".journal.new")) {
            out.push_back(entry.path().string());
        }
    }
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(EventJournal, RecordsAreFramedAndATornOrDamagedTailIsDroppedAndNamed) {
    testing::TempDir dir;
    auto made = EventJournal::create(dir.path() + "/j");
    ASSERT_TRUE(made) << made.status().message();
    auto journal = std::move(made).value();
    const std::string element = EventJournal::packageData(
        "P-1", R"({"eventModels":[],"package_id":"P-1"})", {3, 41, std::string("prev-1")});
    ASSERT_TRUE(journal->append(EventJournal::Kind::PACKAGE, element));
    ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "P-1"));
    ASSERT_TRUE(journal->append(
        EventJournal::Kind::PACKAGE,
        EventJournal::packageData("P-2", R"({"eventModels":[{"a":1}],"package_id":"P-2"})", {})));
    EXPECT_EQ(testing::modeOf(journal->path()), 0600);
    const std::string bytes = readFile(journal->path());
    ASSERT_EQ(bytes.size(), journal->size());

    // The IEEE CRC-32 every journal written so far carries.
    EXPECT_EQ(EventJournal::crc32("123456789"), 0xCBF43926U);
    EXPECT_EQ(EventJournal::crc32(""), 0U);

    const auto whole = EventJournal::parse(bytes);
    ASSERT_EQ(whole.records.size(), 3u);
    EXPECT_EQ(whole.records[0].kind, EventJournal::Kind::PACKAGE);
    EXPECT_EQ(whole.records[0].data, element);
    const auto read = EventJournal::readPackage(whole.records[0].data);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->id, "P-1");
    EXPECT_EQ(read->element, R"({"eventModels":[],"package_id":"P-1"})");
    EXPECT_EQ(read->counters.sessionOrderNo, 3u);
    EXPECT_EQ(read->counters.eventOrderNo, 41u);
    EXPECT_EQ(read->counters.prevId, "prev-1");
    EXPECT_FALSE(EventJournal::readPackage("no separators"));
    EXPECT_EQ(whole.records[1].kind, EventJournal::Kind::ACKNOWLEDGED);
    EXPECT_EQ(whole.records[1].data, "P-1");
    EXPECT_EQ(whole.tornBytes, 0u);

    // Cut inside the last record: the two before it stay, the rest is named.
    const auto torn = EventJournal::parse(std::string_view(bytes).substr(0, bytes.size() - 5));
    ASSERT_EQ(torn.records.size(), 2u);
    EXPECT_EQ(torn.tornBytes,
              EventJournal::frame(EventJournal::Kind::PACKAGE, whole.records[2].data).size() - 5);
    EXPECT_EQ(torn.tornPackageIds, std::vector<std::string>{"P-2"});

    // A flipped byte in the middle record: its CRC fails, and nothing after
    // it is trusted.
    std::string damaged = bytes;
    damaged[EventJournal::frame(EventJournal::Kind::PACKAGE, element).size() + 9] ^= 0x20;
    const auto broken = EventJournal::parse(damaged);
    EXPECT_EQ(broken.records.size(), 1u);
    EXPECT_GT(broken.tornBytes, 0u);
    // An absurd length is damage too, not a request to read 4 GB.
    EXPECT_EQ(EventJournal::parse(std::string("\xff\xff\xff\xff\0\0\0\0\x01", 9)).records.size(),
              0u);

    // Dropping what a checkpoint covers keeps what came after the mark.
    const auto mark = journal->mark();
    ASSERT_TRUE(journal->append(EventJournal::Kind::DROPPED, "P-2"));
    ASSERT_TRUE(journal->dropCovered(mark));
    const auto left = EventJournal::parse(readFile(journal->path()));
    ASSERT_EQ(left.records.size(), 1u);
    EXPECT_EQ(left.records[0].kind, EventJournal::Kind::DROPPED);
    EXPECT_EQ(testing::modeOf(journal->path()), 0600);
    // A mark from before a cut drops nothing.
    ASSERT_TRUE(journal->dropCovered(mark));
    EXPECT_EQ(EventJournal::parse(readFile(journal->path())).records.size(), 1u);

    // A running owner's journal is never adopted; a released one is. A
    // rewrite cut short before its rename is cleared away.
    const std::string leftover = dir.path() + "/j/unsent-1-dead.journal.new";
    std::ofstream(leftover) << "half a rewrite";
    EXPECT_TRUE(EventJournal::adoptOrphans(dir.path() + "/j").empty());
    EXPECT_FALSE(fs::exists(leftover));
    const std::string path = journal->path();
    journal.reset();
    auto orphans = EventJournal::adoptOrphans(dir.path() + "/j");
    ASSERT_EQ(orphans.size(), 1u);
    EXPECT_EQ(orphans[0]->path(), path);
    EXPECT_TRUE(EventJournal::adoptOrphans(dir.path() + "/j").empty()) << "adopted twice";
    orphans[0]->remove();
    EXPECT_FALSE(fs::exists(path));
}

// The same record gathered from its parts or framed whole: the bytes on disk
// are what every journal written so far holds.
TEST(EventJournal, APackageRecordGatheredFromItsPartsIsTheFramedRecord) {
    testing::TempDir dir;
    auto journal = std::move(EventJournal::create(dir.path() + "/j")).value();
    const std::string element = R"({"eventModels":[{"log_id":"x"}],"package_id":"P-9"})";
    const EventJournal::Counters withPrev{2, 77, std::string("prev-9")};
    const EventJournal::Counters withoutPrev{1, 3, std::nullopt};
    ASSERT_TRUE(journal->appendPackage("P-9", element, withPrev));
    ASSERT_TRUE(journal->appendPackage("P-10", element, withoutPrev));
    ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "P-9"));
    const std::string expected =
        EventJournal::frame(EventJournal::Kind::PACKAGE,
                            EventJournal::packageData("P-9", element, withPrev)) +
        EventJournal::frame(EventJournal::Kind::PACKAGE,
                            EventJournal::packageData("P-10", element, withoutPrev)) +
        EventJournal::frame(EventJournal::Kind::ACKNOWLEDGED, "P-9");
    EXPECT_EQ(readFile(journal->path()), expected);
    EXPECT_EQ(journal->size(), expected.size());
    const auto read = EventJournal::readPackage(
        EventJournal::parse(readFile(journal->path())).records.at(1).data);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->counters, withoutPrev);
}

// A mark starts a new file; the files before it go once its checkpoint is
// durable, and a replay reads a journal's files oldest first.
TEST(EventJournal, AMarkStartsANewFileAndADropDeletesTheFilesBeforeIt) {
    testing::TempDir dir;
    const std::string folder = dir.path() + "/j";
    auto journal = std::move(EventJournal::create(folder)).value();
    const std::string first = journal->path();

    // Nothing recorded: a mark needs no new file.
    const auto idle = journal->mark();
    EXPECT_EQ(journal->path(), first);
    EXPECT_EQ(journal->fileCount(), 1u);

    ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "A"));
    const auto m1 = journal->mark();
    const std::string second = journal->path();
    EXPECT_NE(second, first);
    EXPECT_EQ(testing::modeOf(second), 0600);
    ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "B"));
    const auto m2 = journal->mark();
    ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "C"));
    EXPECT_EQ(journal->fileCount(), 3u);
    EXPECT_EQ(journal->size(),
              3 * EventJournal::frame(EventJournal::Kind::ACKNOWLEDGED, "A").size());
    // Past the cap of files the current one grows instead.
    for (int i = 0; i < 12; ++i) {
        (void)journal->mark();
        ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "x" + std::to_string(i)));
    }
    EXPECT_EQ(journal->fileCount(), EventJournal::MAX_FILES) << "files are capped";
    auto replayed = [&] {
        std::string ids;
        for (const std::string& path : EventJournal::filesInReplayOrder(folder)) {
            for (const auto& r : EventJournal::parse(readFile(path)).records) {
                ids += r.data + " ";
            }
        }
        return ids;
    };
    EXPECT_EQ(replayed(), "A B C x0 x1 x2 x3 x4 x5 x6 x7 x8 x9 x10 x11 ");
    EXPECT_FALSE(EventJournal::othersRunning(folder, journal->path()))
        << "its own older files are not another process";

    // A checkpoint whose mark came before others deletes only what it covers;
    // an older mark after it, nothing more.
    ASSERT_TRUE(journal->dropCovered(m2));
    EXPECT_EQ(replayed(), "C x0 x1 x2 x3 x4 x5 x6 x7 x8 x9 x10 x11 ");
    EXPECT_FALSE(fs::exists(first));
    EXPECT_FALSE(fs::exists(second));
    // One of them waits, emptied and private, to be the next mark's file.
    auto spare = asideIn(folder);
    ASSERT_EQ(spare.size(), 1u);
    EXPECT_EQ(fs::file_size(spare[0]), 0u);
    EXPECT_EQ(testing::modeOf(spare[0]), 0600);
    struct stat spareStat {};
    ASSERT_EQ(::stat(spare[0].c_str(), &spareStat), 0);
    ASSERT_TRUE(journal->dropCovered(m1));
    ASSERT_TRUE(journal->dropCovered(idle));
    EXPECT_EQ(journal->fileCount(), EventJournal::MAX_FILES - 2);
    const auto m3 = journal->mark();
    struct stat currentStat {};
    ASSERT_EQ(::stat(journal->path().c_str(), &currentStat), 0);
    EXPECT_EQ(currentStat.st_ino, spareStat.st_ino) << "the mark took the kept file";
    EXPECT_TRUE(asideIn(folder).empty());
    ASSERT_TRUE(journal->append(EventJournal::Kind::DROPPED, "D"));
    ASSERT_TRUE(journal->dropCovered(m3));
    EXPECT_EQ(replayed(), "D ");
    EXPECT_EQ(journal->fileCount(), 1u);
    EXPECT_EQ(journal->size(), EventJournal::frame(EventJournal::Kind::DROPPED, "D").size());

    // A clear empties every file at once; a mark from before it drops
    // nothing that came after.
    ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "E"));
    const auto m4 = journal->mark();
    ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "F"));
    ASSERT_TRUE(journal->clear());
    EXPECT_EQ(journal->size(), 0u);
    EXPECT_EQ(replayed(), "");
    ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "G"));
    (void)journal->mark();
    ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "H"));
    ASSERT_TRUE(journal->dropCovered(m4));
    EXPECT_EQ(replayed(), "G H ");

    // Another owner in the folder is running while it holds its journal.
    auto other = std::move(EventJournal::create(folder)).value();
    EXPECT_TRUE(EventJournal::othersRunning(folder, journal->path()));
    other->removeFile();
    EXPECT_FALSE(EventJournal::othersRunning(folder, journal->path()));
    journal->removeFile();
    EXPECT_TRUE(EventJournal::filesInReplayOrder(folder).empty());
    EXPECT_TRUE(asideIn(folder).empty());
}

// A process killed between a mark and the deletion leaves a journal of
// several files: a later start takes them all, oldest first, or none.
TEST(EventJournal, ADeadJournalOfSeveralFilesIsAdoptedWholeInOrder) {
    testing::TempDir dir;
    const std::string folder = dir.path() + "/j";
    auto journal = std::move(EventJournal::create(folder)).value();
    ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "gone"));
    const auto covered = journal->mark();
    ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "old"));
    (void)journal->mark();
    ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, "new"));
    ASSERT_TRUE(journal->dropCovered(covered));
    const std::vector<std::string> files = EventJournal::filesInReplayOrder(folder);
    ASSERT_EQ(files.size(), 2u);
    const std::vector<std::string> kept = asideIn(folder);
    ASSERT_EQ(kept.size(), 1u);
    // A mark's file that a kill left before it took its name.
    const std::string leftover = journal->path() + ".new";
    std::ofstream(leftover) << "";
    EXPECT_TRUE(EventJournal::adoptOrphans(folder).empty()) << "its owner runs";
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_TRUE(fs::exists(kept[0])) << "a running owner's kept file is its own";
    journal.reset();
    EXPECT_FALSE(fs::exists(kept[0]));

    {
        // Another start holds the newer file: this one takes neither.
        auto held = platform::openPrivateFile(files[1], O_RDONLY);
        ASSERT_TRUE(held);
        ASSERT_EQ(::flock(held.value(), LOCK_EX | LOCK_NB), 0);
        EXPECT_TRUE(EventJournal::adoptOrphans(folder).empty());
        ::close(held.value());
    }
    auto orphans = EventJournal::adoptOrphans(folder);
    ASSERT_EQ(orphans.size(), 2u);
    EXPECT_EQ(orphans[0]->path(), files[0]);
    EXPECT_EQ(orphans[1]->path(), files[1]);
    EXPECT_EQ(orphans[0]->contents().records.at(0).data, "old");
    EXPECT_EQ(orphans[1]->contents().records.at(0).data, "new");
    EXPECT_TRUE(EventJournal::adoptOrphans(folder).empty()) << "adopted twice";
    for (const auto& orphan : orphans) {
        orphan->remove();
    }
    EXPECT_TRUE(EventJournal::filesInReplayOrder(folder).empty());
}

class JournalReplayTest : public EventFixture {
  protected:
    std::shared_ptr<const EventPackage> package(int events, const std::string& prefix) {
        std::vector<EventModel> list;
        for (int i = 0; i < events; ++i) {
            list.push_back(event(prefix + std::to_string(i)));
        }
        return std::make_shared<const EventPackage>(std::move(list));
    }
    static std::string elementOf(const EventPackage& p) {
        std::string out;
        p.appendJson(out);
        return out;
    }
    std::string listText() const {
        auto data = registry->getData(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES, std::nullopt);
        return data ? std::string(data->begin(), data->end()) : std::string();
    }
    std::vector<std::string> queuedLogIds(const EventPackageContainer& c) const {
        std::vector<std::string> ids;
        for (const auto& p : c.snapshot()) {
            for (const auto& e : p->eventModels()) {
                ids.push_back(e.log_id.value_or(""));
            }
        }
        return ids;
    }
};

TEST_F(JournalReplayTest, AStartReadsTodaysListAloneOrWithTheJournalOfADeadProcess) {
    platform::host::setReachability(std::string("unknown"));
    // A list as the code before the journal wrote it, and no journal: it is
    // restored as it is and not rewritten.
    auto a = package(2, "a");
    auto b = package(2, "b");
    const std::string today = "[" + elementOf(*a) + "," + elementOf(*b) + "]";
    registry->putData(Value::Bytes(today.begin(), today.end()),
                      DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
    {
        auto alone = makeContainer();
        EXPECT_EQ(queuedLogIds(*alone), (std::vector<std::string>{"id-1", "id-2", "id-3", "id-4"}));
        EXPECT_EQ(listText(), today);
        alone->removeAllPackages();
        alone->waitForStoreWrites();
        containers.clear();
    }
    registry->putData(Value::Bytes(today.begin(), today.end()),
                      DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);

    // A process that died left a journal: a was acknowledged, c was queued,
    // and a write of d was torn by the kill.
    auto c = package(3, "c");
    auto d = package(1, "d");
    const std::string folder = platform::preferencesFolder();
    {
        auto dead = EventJournal::create(folder);
        ASSERT_TRUE(dead);
        auto journal = std::move(dead).value();
        ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, a->packageId()));
        ASSERT_TRUE(journal->append(EventJournal::Kind::PACKAGE,
                                    EventJournal::packageData(c->packageId(), elementOf(*c),
                                                              {70, 900, std::string("id-7")})));
        // b again (a checkpoint raced the record): read once.
        ASSERT_TRUE(journal->append(EventJournal::Kind::PACKAGE,
                                    EventJournal::packageData(b->packageId(), elementOf(*b),
                                                              {69, 899, std::string("id-4")})));
        const std::string tornRecord = EventJournal::frame(
            EventJournal::Kind::PACKAGE,
            EventJournal::packageData(d->packageId(), elementOf(*d), {71, 901, std::nullopt}));
        std::ofstream(journal->path(), std::ios::binary | std::ios::app)
            << tornRecord.substr(0, tornRecord.size() - 7);
        // The process dies: its lock goes, its file stays.
    }
    ASSERT_EQ(journalsIn(folder).size(), 1u);
    // Where the dead process's registry had got to.
    registry->putUInt64(3, DataRegistryKey::UINT64_SESSION_ORDER_NO);
    registry->putUInt64(30, DataRegistryKey::UINT64_EVENT_ORDER_NO);
    testing::LogCapture log;
    auto next = makeContainer();
    // b, then c; a is gone, d was torn.
    EXPECT_EQ(queuedLogIds(*next),
              (std::vector<std::string>{"id-3", "id-4", "id-5", "id-6", "id-7"}));
    // The log line reaches the sink on the logging queue.
    EXPECT_TRUE(testing::pollUntil([&] {
        return log.contains("unreadable bytes, dropped (part of package " + d->packageId());
    })) << "the torn tail is not named";
    // The registry had not stored the counters' last steps: they carry on
    // from the journal's newest whole record.
    EXPECT_EQ(registry->getUInt64(DataRegistryKey::UINT64_EVENT_ORDER_NO, 0), 900u);
    EXPECT_EQ(registry->getUInt64(DataRegistryKey::UINT64_SESSION_ORDER_NO, 0), 70u);
    EXPECT_EQ(registry->getStringOrNil(DataRegistryKey::STRING_PREV_ID, std::nullopt), "id-7");
    // A fresh checkpoint holds them, and the dead journal is gone.
    next->waitForStoreWrites();
    EXPECT_EQ(storedLogIds(), (std::vector<std::string>{"id-3", "id-4", "id-5", "id-6", "id-7"}));
    auto left = journalsIn(folder);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(EventJournal::parse(readFile(left[0])).records.size(), 0u)
        << "only this process's new journal is left";
}

TEST_F(JournalReplayTest, OpenBuffersComeBackOnceAndTheJournalsOfEndedProcessesGo) {
    platform::host::setReachability(std::string("unknown"));
    const std::string folder = platform::preferencesFolder();
    // Ten launches that ended with nothing to say each left an empty journal.
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(EventJournal::create(folder));
    }
    ASSERT_EQ(journalsIn(folder).size(), 10u);

    std::vector<EventModel> e;
    for (int i = 0; i < 7; ++i) {
        e.push_back(event("e"));
    }
    auto texts = [&](std::initializer_list<int> which) {
        std::string out = "[";
        for (int i : which) {
            out += out.size() > 1 ? "," : "";
            e[static_cast<std::size_t>(i - 1)].appendJson(out);
        }
        return out + "]";
    };
    auto packageOf = [&](std::initializer_list<int> which) {
        std::vector<EventModel> list;
        for (int i : which) {
            list.push_back(e[static_cast<std::size_t>(i - 1)]);
        }
        return std::make_shared<const EventPackage>(std::move(list));
    };
    const EventJournal::Counters counters{5, 777, std::string("id-7")};
    auto open = [&](EventJournal& j, EventJournal::Kind kind, std::initializer_list<int> which) {
        ASSERT_TRUE(j.append(kind, EventJournal::openEventsData(counters, texts(which))));
    };
    // A process whose buffer made a package of e1 and e2, then took e3, which
    // a checkpoint carried into a new file, and e4; it died.
    auto p = packageOf({1, 2});
    {
        auto first = std::move(EventJournal::create(folder)).value();
        open(*first, EventJournal::Kind::EVENTS, {1});
        open(*first, EventJournal::Kind::EVENTS, {2});
        ASSERT_TRUE(first->appendPackage(p->packageId(), elementOf(*p), counters,
                                         EventJournal::Kind::BUFFER_PACKAGE));
        open(*first, EventJournal::Kind::EVENTS, {3});
        (void)first->mark();
        open(*first, EventJournal::Kind::BUFFER, {3});
        open(*first, EventJournal::Kind::EVENTS, {4});
    }
    // A start that took e3 and e4 into its buffer and died before it deleted
    // that journal; its buffer made a package of them with e5 and e6, and
    // took e7.
    auto q = packageOf({3, 4, 5, 6});
    {
        auto second = std::move(EventJournal::create(folder)).value();
        open(*second, EventJournal::Kind::BUFFER, {3, 4});
        open(*second, EventJournal::Kind::EVENTS, {5, 6});
        ASSERT_TRUE(second->appendPackage(q->packageId(), elementOf(*q), counters,
                                          EventJournal::Kind::BUFFER_PACKAGE));
        open(*second, EventJournal::Kind::EVENTS, {7});
    }
    // A third died after a checkpoint left two packages out for the cap;
    // one of them was delivered afterwards.
    {
        auto third = std::move(EventJournal::create(folder)).value();
        ASSERT_TRUE(third->append(EventJournal::Kind::LEFT_OUT, "OLD 3\n"));
        ASSERT_TRUE(third->append(EventJournal::Kind::LEFT_OUT, "LOST 10\nSENT 7\n"));
        ASSERT_TRUE(third->append(EventJournal::Kind::ACKNOWLEDGED, "SENT"));
    }
    ASSERT_EQ(journalsIn(folder).size(), 14u);

    testing::LogCapture log;
    auto next = makeContainer();
    EXPECT_TRUE(testing::pollUntil([&] {
        return log.contains(
            "10 events over the cap of 1000 unsent events were lost with the "
            "process that held them (1 packages, from LOST to LOST)");
    }));
    // Each event once: the packages, and e7 alone in the buffer (e3 and e4
    // are in a package already, whichever journal was read first).
    std::vector<std::string> queued = queuedLogIds(*next);
    std::sort(queued.begin(), queued.end());
    EXPECT_EQ(queued, (std::vector<std::string>{"id-1", "id-2", "id-3", "id-4", "id-5", "id-6"}));
    std::vector<std::string> buffered;
    for (const EventModel& model : next->takeRestoredOpenEvents()) {
        buffered.push_back(model.log_id.value_or(""));
    }
    EXPECT_EQ(buffered, std::vector<std::string>{"id-7"});
    EXPECT_TRUE(next->takeRestoredOpenEvents().empty()) << "taken twice";
    // The numbers the buffered events carry are never handed out again.
    EXPECT_EQ(registry->getUInt64(DataRegistryKey::UINT64_EVENT_ORDER_NO, 0), 777u);

    // The empty journals went at once, the others with the start's
    // checkpoint; this process's journal holds the buffer now.
    next->waitForStoreWrites();
    const auto left = journalsIn(folder);
    ASSERT_EQ(left.size(), 1u);
    const auto records = EventJournal::parse(readFile(left[0])).records;
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, EventJournal::Kind::BUFFER);
    EXPECT_EQ(EventJournal::readOpenEvents(records[0].data)->eventsJson, texts({7}));
}

TEST_F(JournalReplayTest, AStartReplaysTheFilesAKillLeftBetweenAMarkAndItsCheckpoint) {
    platform::host::setReachability(std::string("unknown"));
    auto a = package(2, "a");
    auto b = package(1, "b");
    auto c = package(2, "c");
    const std::string folder = platform::preferencesFolder();
    {
        auto journal = std::move(EventJournal::create(folder)).value();
        ASSERT_TRUE(journal->appendPackage(a->packageId(), elementOf(*a), {1, 2, std::nullopt}));
        ASSERT_TRUE(journal->appendPackage(b->packageId(), elementOf(*b), {1, 3, std::nullopt}));
        // The checkpoint's mark; the process dies before its list lands.
        (void)journal->mark();
        // a's upload ends after the mark: told in the newer file.
        ASSERT_TRUE(journal->append(EventJournal::Kind::ACKNOWLEDGED, a->packageId()));
        ASSERT_TRUE(journal->appendPackage(c->packageId(), elementOf(*c), {1, 5, std::nullopt}));
    }
    ASSERT_EQ(journalsIn(folder).size(), 2u);
    auto next = makeContainer();
    EXPECT_EQ(queuedLogIds(*next), (std::vector<std::string>{"id-3", "id-4", "id-5"}));
    next->waitForStoreWrites();
    EXPECT_EQ(storedLogIds(), (std::vector<std::string>{"id-3", "id-4", "id-5"}));
    EXPECT_EQ(journalsIn(folder).size(), 1u) << "the dead journal's files are deleted";
}

TEST_F(JournalReplayTest, AListIsRewrittenOnceTheSettledPackagesComeToTwiceItsSize) {
    // Packages of a thousand events each: the stored list holds the first
    // alone, and each settled package weighs about what the list does.
    std::vector<EventModel> events;
    for (int i = 0; i < Constants::MAX_UNSENT_EVENTS; ++i) {
        events.push_back(event("e"));
    }
    UnsentPackageStore::Packages queue;
    for (int i = 0; i < 10; ++i) {
        queue.push_back(std::make_shared<const EventPackage>(events));
    }
    auto store = std::make_unique<UnsentPackageStore>(registry, counters(), [&] { return queue; });
    (void)store->load();
    store->requestWrite(true);
    store->waitUntilIdle();
    const std::string capped = listText();
    ASSERT_EQ(capped, UnsentPackageStore::encode(queue));
    ASSERT_LT(capped.size(), 2 * queue[0]->eventsJsonSize()) << "the list is one package";

    // A burst's uploads settle the oldest packages one by one: the list is
    // rewritten once they come to two lists, not at every one, and the
    // journal a start replays stays within that.
    std::size_t settled = 0;
    while (settled < 10 && listText() == capped) {
        auto front = queue.front();
        queue.erase(queue.begin());
        store->recordSettled(*front, true);
        store->waitUntilIdle();
        ++settled;
    }
    EXPECT_EQ(settled, 2u);
    EXPECT_EQ(listText(), UnsentPackageStore::encode(queue));

    // A list below the cap: one package settled past CHECKPOINT_SETTLED_BYTES
    // (and twice the short list) is enough.
    auto small = package(1, "s");
    queue = {small};
    store->requestWrite(true);
    store->waitUntilIdle();
    ASSERT_EQ(listText(), UnsentPackageStore::encode(queue));
    queue.push_back(package(1, "t"));
    auto big = std::make_shared<const EventPackage>(events);
    ASSERT_GT(big->eventsJsonSize(), UnsentPackageStore::CHECKPOINT_SETTLED_BYTES);
    store->recordSettled(*big, true);
    store->waitUntilIdle();
    EXPECT_EQ(listText(), UnsentPackageStore::encode(queue));
}

TEST_F(JournalReplayTest, TwoOwnersOfOneFolderKeepEachOthersPackagesAndTheCapIsLogged) {
    platform::host::setReachability(std::string("unknown"));
    auto first = makeContainer();
    auto second = makeContainer();
    for (int i = 0; i < 5; ++i) {
        first->addEventPackage(package(10, "f"));
        second->addEventPackage(package(10, "s"));
    }
    // Each writes its checkpoint; neither removes the other's packages.
    first->updateUnsentEventPackagesInDataRegistry();
    first->waitForStoreWrites();
    second->updateUnsentEventPackagesInDataRegistry();
    second->waitForStoreWrites();
    first->updateUnsentEventPackagesInDataRegistry();
    first->waitForStoreWrites();
    auto v = Value::fromJson(listText());
    ASSERT_TRUE(v && v->isArray());
    EXPECT_EQ(v->getArray()->size(), 10u);

    // Over the cap: the list holds 1,000 events, and the packages it leaves
    // out are still queued and in the journal, so nothing is said to be lost.
    testing::LogCapture log;
    for (int i = 0; i < 100; ++i) {
        first->addEventPackage(package(10, "o"));
    }
    first->updateUnsentEventPackagesInDataRegistry();
    first->waitForStoreWrites();
    v = Value::fromJson(listText());
    ASSERT_TRUE(v && v->isArray());
    EXPECT_EQ(v->getArray()->size(), 100u);
    EXPECT_EQ(first->packageCount(), 105u);

    // Both end; a start finds 1,100 events and keeps the oldest 1,000: only
    // now are events dropped, and the line names the first and last of them.
    first.reset();
    second.reset();
    containers.clear();
    auto next = makeContainer();
    std::size_t restored = 0;
    for (const auto& p : next->snapshot()) {
        restored += p->eventCount();
    }
    EXPECT_EQ(restored, 1000u);
    EXPECT_FALSE(log.contains("are not stored"));
    EXPECT_TRUE(
        log.contains("100 events over the cap of 1000 unsent events dropped (from the "
                     "event \"id-"));
    EXPECT_TRUE(log.contains("to the event \"id-1100\""));
}

TEST_F(JournalReplayTest, PackagesBuiltBeforeADeleteAreDroppedNotSentUnderTheNewIdentity) {
    auto container = makeContainer();
    auto before = package(3, "old");
    container->addEventPackage(before);
    // A delete is the app's own doing: the drop is a line for quality
    // assurance.
    testing::DelegateLog log;
    // The delete withdraws what was built for the identity that goes.
    container->cutGeneration();
    auto after = package(2, "new");
    container->addEventPackage(after);
    container->sendAllEventPackages();
    // Only the package built after the cut went out.
    EXPECT_EQ(uploadedLogIds(), (std::vector<std::string>{"id-4", "id-5"}));
    EXPECT_EQ(container->packageCount(), 0u);
    EXPECT_TRUE(testing::pollUntil([&] {
        return log.contains("sendEventPackage :: package " + before->packageId() + " of 3 events");
    })) << "the dropped package is not logged";
    // Neither is at rest any more: the dropped one is settled in the journal.
    EXPECT_EQ(storedLogIds(), std::vector<std::string>{});
}

}  // namespace
}  // namespace sorvel::eventtest
