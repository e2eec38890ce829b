#include "Platform/UserDefaults.h"
#include "Platform/FileSystem.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include "Platform/Host.h"
#include "Platform/ProcessState.h"
#include "support/TestSupport.h"

namespace sorvel::platform {
namespace {

namespace fs = std::filesystem;
using Map = Value::Map;
using Array = Value::Array;
using Bytes = Value::Bytes;

// What a relaunch of the app sees: the process-wide instances are gone and
// the suites are read again from their files in the same home folder.
void relaunch() {
    const std::string home = platform::homeFolder();
    runResetHooks();
    host::setHomeFolder(home);
}

std::string storeFile(const std::string& suite) {
    return platform::preferencesFolder() + "/" + suite + ".sqlite";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The files moved aside from `file`, by what follows "<file>.corrupt-<millis>"
// in their names ("" for the database, "-wal", "-shm"), with their contents.
std::map<std::string, std::string> movedAside(const std::string& file) {
    const std::string prefix = fs::path(file).filename().string() + ".corrupt-";
    std::map<std::string, std::string> out;
    for (const auto& e : fs::directory_iterator(fs::path(file).parent_path())) {
        const std::string name = e.path().filename().string();
        if (name.starts_with(prefix)) {
            const std::string rest = name.substr(prefix.size());
            out[rest.substr(std::min(rest.size(), rest.find_first_not_of("0123456789")))] =
                readFile(e.path());
        }
    }
    return out;
}

const std::map<std::string, Value>& typedValues() {
    static const std::map<std::string, Value> values = {
        {"null", nullptr},
        {"bool", true},
        {"int", std::numeric_limits<std::int64_t>::min()},
        {"uint", std::numeric_limits<std::uint64_t>::max()},
        {"small uint", std::uint64_t{1}},
        {"double", 0.1},
        {"whole double", 2.0},
        {"string", "caf\xC3\xA9"},
        {"bytes", Bytes{0, 0xff, 7}},
        {"array", Array{1, "two", Array{3.5}}},
        {"map", Map{{"k", Map{{"n", -1}}}, {"b", Bytes{}}}},
    };
    return values;
}

TEST(UserDefaults, ValuesKeepTheirTypesAcrossARelaunch) {
    testing::FreshSdk sdk;
    auto defaults = UserDefaults::suite("typed");
    EXPECT_EQ(defaults, UserDefaults::suite("typed"));

    for (const auto& [key, value] : typedValues()) {
        EXPECT_TRUE(defaults->set(key, value)) << key;
    }
    EXPECT_TRUE(defaults->set("removed", Value(1)).isOk());
    EXPECT_TRUE(defaults->remove("removed").isOk());
    EXPECT_TRUE(defaults->set("cleared", Value(1)).isOk());
    EXPECT_TRUE(defaults->set("cleared", std::nullopt).isOk());
    EXPECT_TRUE(defaults->set("overwritten", Value("first")).isOk());
    EXPECT_TRUE(defaults->set("overwritten", Value(2)).isOk());
    EXPECT_EQ(defaults->get("int"), typedValues().at("int"));

    std::weak_ptr<UserDefaults> before = defaults;
    defaults.reset();
    relaunch();
    EXPECT_TRUE(before.expired());

    auto reopened = UserDefaults::suite("typed");
    auto expected = typedValues();
    expected.emplace("overwritten", 2);
    EXPECT_EQ(reopened->snapshot(), expected);  // strict: types and contents
    std::vector<std::string> keys;
    for (const auto& [k, v] : expected) {
        keys.push_back(k);
    }
    EXPECT_EQ(reopened->keys(), keys);
}

// When this program is started as the writer of AWriteSurvivesSigkill, it
// writes before any test or thread runs, reports and waits to be killed while
// its store is still open.
int runAsKilledWriterIfAsked() {
    const char* home = std::getenv("SORVEL_DEFAULTS_KILL_CHILD_HOME");
    if (home == nullptr) {
        return 0;
    }
    host::setHomeFolder(home);
    auto defaults = UserDefaults::suite("durable");
    bool stored = true;
    for (const auto& [key, value] : typedValues()) {
        stored = defaults->set(key, value) && stored;
    }
    testing::reportAndAwaitKill(stored);
}
const int kKilledWriterDone = runAsKilledWriterIfAsked();

TEST(UserDefaults, AWriteSurvivesSigkill) {
    testing::FreshSdk sdk;
    std::string said;
    ASSERT_TRUE(testing::killWhenReady("SORVEL_DEFAULTS_KILL_CHILD_HOME=" + sdk.home(), said))
        << said;

    EXPECT_EQ(UserDefaults::suite("durable")->snapshot(), typedValues());
}

TEST(UserDefaults, AnUnreadableFileIsMovedAsideAndReplaced) {
    testing::FreshSdk sdk;
    testing::LogCapture log;

    // A real store whose table pages are then overwritten: SQLite itself finds it.
    auto damaged = UserDefaults::suite("damaged");
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(damaged->set("key" + std::to_string(i), Value(std::string(100, 'v'))).isOk());
    }
    damaged.reset();
    relaunch();
    std::string store = readFile(storeFile("damaged"));
    ASSERT_GT(store.size(), 4096u);
    std::fill(store.begin() + 4096, store.end(), '\xa5');

    // A young store keeps its values in the write-ahead log until a checkpoint.
    auto young = UserDefaults::suite("young");
    EXPECT_TRUE(young->set("k", Value("in the log only")).isOk());
    const std::string youngLog = readFile(young->path() + "-wal");
    ASSERT_FALSE(youngLog.empty());
    young.reset();
    relaunch();

    struct Files {
        std::optional<std::string> main;
        std::optional<std::string> wal;
    };
    const std::map<std::string, Files> broken = {
        {"garbage", {std::string(8192, '\x5a'), "stale log"}},
        {"bad header",
         {std::string("SQLite format 3\0", 16) + std::string(8176, '\xa5'), "stale log"}},
        {"damaged", {store, std::nullopt}},
        {"truncated beside its log", {"", youngLog}},
        {"missing beside its log", {std::nullopt, youngLog}},
    };
    for (const auto& [suite, files] : broken) {
        SCOPED_TRACE(suite);
        const std::string file = storeFile(suite);
        if (files.main) {
            std::ofstream(file, std::ios::binary) << *files.main;
        }
        if (files.wal) {
            std::ofstream(file + "-wal", std::ios::binary) << *files.wal;
        }

        log.clear();
        auto defaults = UserDefaults::suite(suite);
        EXPECT_TRUE(log.contains("unreadable")) << ::testing::PrintToString(log.lines());
        EXPECT_TRUE(defaults->keys().empty());
        auto moved = movedAside(file);
        EXPECT_EQ(moved.count(""), files.main.has_value() ? 1u : 0u);
        // Compared as booleans: the contents are binary and long.
        EXPECT_TRUE(moved[""] == files.main.value_or("")) << moved[""].size() << " bytes";
        EXPECT_TRUE(moved["-wal"] == files.wal.value_or("")) << moved["-wal"].size() << " bytes";

        EXPECT_TRUE(defaults->set("fresh", Value(true)).isOk());
        defaults.reset();
        relaunch();
        EXPECT_EQ(UserDefaults::suite(suite)->snapshot(), (Map{{"fresh", true}}));
    }
}

TEST(UserDefaults, AnUndecodableRowIsSkippedAndTheFileKept) {
    testing::FreshSdk sdk;
    auto defaults = UserDefaults::suite("rows");
    EXPECT_TRUE(defaults->set("good", Value("ok")).isOk());
    EXPECT_TRUE(defaults->set("bad", Value("soon garbage")).isOk());
    const std::string file = defaults->path();
    defaults.reset();
    relaunch();

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "UPDATE kv SET value = x'01ff' WHERE key = 'bad'", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    testing::LogCapture log;
    auto reopened = UserDefaults::suite("rows");
    EXPECT_TRUE(log.contains("'bad'"));
    EXPECT_EQ(reopened->snapshot(), (Map{{"good", "ok"}}));
    EXPECT_TRUE(movedAside(file).empty());
}

TEST(UserDefaults, SomethingOtherThanAFileAtTheStorePathIsRefusedWithoutBlocking) {
    testing::FreshSdk sdk;
    testing::LogCapture log;
    const std::string folder = storeFile("folder");
    fs::create_directories(folder);
    const std::string fifo = storeFile("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    for (const std::string suite : {"folder", "fifo"}) {
        SCOPED_TRACE(suite);
        const std::string file = storeFile(suite);
        log.clear();
        // Reading a FIFO would wait for a writer that never comes.
        std::shared_ptr<UserDefaults> defaults;
        ASSERT_TRUE(testing::endsWithin(
            std::chrono::seconds(10), [&] { defaults = UserDefaults::suite(suite); },
            [&] { testing::freeFifoReader(file); }))
            << "opening the store blocked";
        EXPECT_TRUE(log.contains("not a regular file")) << ::testing::PrintToString(log.lines());
        EXPECT_TRUE(log.contains("in memory only"));
        EXPECT_FALSE(defaults->set("k", Value(1)));  // not in a file
        const auto batch = defaults->setAll({{"k", Value(2)}, {"j", Value(3)}});
        ASSERT_EQ(batch.size(), 2u);
        EXPECT_FALSE(batch[0]);
        EXPECT_NE(batch[1].message().find("has no file"), std::string::npos) << batch[1].message();
        EXPECT_EQ(defaults->get("j"), Value(3));
        EXPECT_EQ(defaults->get("k"), Value(2));
        EXPECT_TRUE(movedAside(file).empty());
    }
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST(UserDefaults, StoreFilesArePrivateWhateverTheUmask) {
    testing::FreshSdk sdk;
    for (mode_t mask : {mode_t{022}, mode_t{0}}) {
        SCOPED_TRACE(mask);
        testing::ScopedUmask umask(mask);
        auto defaults = UserDefaults::suite("private" + std::to_string(mask));
        ASSERT_TRUE(defaults->set("secret", Value("not for others")));
        // While the store is open its log and index exist beside it.
        for (const char* suffix : {"", "-wal", "-shm"}) {
            EXPECT_EQ(testing::modeOf(defaults->path() + suffix), 0600) << suffix;
        }
    }

    // A store written before its files were private loses the access it gave others.
    auto old = UserDefaults::suite("old");
    EXPECT_TRUE(old->set("secret", Value("kept")).isOk());
    const std::string file = old->path();
    old.reset();
    relaunch();
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    EXPECT_EQ(UserDefaults::suite("old")->get("secret"), Value("kept"));
    for (const char* suffix : {"", "-wal", "-shm"}) {
        EXPECT_EQ(testing::modeOf(file + suffix), 0600) << suffix;
    }
}

TEST(UserDefaults, AStoreThatCannotBeWrittenIsServedFromItsFile) {
    testing::FreshSdk sdk;
    const Map kept{{"appKey", "0123456789012345678901"}, {"count", 7}};
    auto defaults = UserDefaults::suite("kept");
    for (const auto& [key, value] : kept) {
        EXPECT_TRUE(defaults->set(key, value).isOk());
    }
    const std::string file = defaults->path();
    const std::string folder = fs::path(file).parent_path().string();
    defaults.reset();
    relaunch();

    // As on a read-only mount, where SQLite can neither write the file nor make
    // the log and index beside it, when both the file and its folder are read-only.
    struct Case {
        const char* name;
        mode_t fileMode;
        mode_t folderMode;
    };
    for (const Case& c : {Case{"read-only file", 0444, 0700}, Case{"read-only folder", 0600, 0500},
                          Case{"both read-only", 0444, 0500}}) {
        SCOPED_TRACE(c.name);
        testing::LogCapture log;
        ASSERT_EQ(::chmod(file.c_str(), c.fileMode), 0);
        ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);
        {
            testing::FileModesApply modes;
            auto readOnly = UserDefaults::suite("kept");
            EXPECT_TRUE(log.contains("can not be written"))
                << ::testing::PrintToString(log.lines());
            EXPECT_EQ(readOnly->snapshot(), kept);
            EXPECT_FALSE(readOnly->set("count", Value(8)));
            EXPECT_EQ(readOnly->get("count"), Value(8));  // the change lasts in memory
        }
        ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
        relaunch();
        EXPECT_EQ(UserDefaults::suite("kept")->snapshot(), kept);  // the file is as it was
        relaunch();
    }
}

TEST(UserDefaults, RefusesValuesItCouldNotStore) {
    testing::FreshSdk sdk;
    testing::LogCapture log;
    auto defaults = UserDefaults::suite("limits");
    EXPECT_TRUE(defaults->set("k", Value("kept")).isOk());

    Value deep = Array{};
    for (int i = 0; i < 300; ++i) {
        deep = Array{std::move(deep)};
    }
    Status refused = defaults->set("k", deep);
    EXPECT_FALSE(refused);
    EXPECT_NE(refused.message().find("nests too deeply"), std::string::npos) << refused.message();
    EXPECT_TRUE(log.contains("nests too deeply"));
    EXPECT_FALSE(defaults->set("k", Value(Bytes(17u << 20))));
    EXPECT_TRUE(log.contains("over the limit"));
    EXPECT_EQ(defaults->get("k"), Value("kept"));

    // In one commit a refused change answers for itself; the others land.
    const std::vector<Status> answers = defaults->setAll(
        {{"a", Value(1)}, {"k", deep}, {"k2", Value("two")}, {"gone", std::nullopt}});
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_TRUE(answers[0].isOk()) << answers[0].message();
    EXPECT_NE(answers[1].message().find("nests too deeply"), std::string::npos);
    EXPECT_TRUE(answers[2].isOk()) << answers[2].message();
    EXPECT_TRUE(answers[3].isOk()) << answers[3].message();
    defaults.reset();
    relaunch();
    auto reopened = UserDefaults::suite("limits");
    EXPECT_EQ(reopened->get("a"), Value(1));
    EXPECT_EQ(reopened->get("k"), Value("kept"));
    EXPECT_EQ(reopened->get("k2"), Value("two"));
}

TEST(UserDefaults, ThreadsWritingDifferentKeys) {
    testing::FreshSdk sdk;
    auto defaults = UserDefaults::suite("threads");
    constexpr int kThreads = 8;
    constexpr int kWrites = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string key = "key" + std::to_string(t);
            for (int i = 1; i <= kWrites; ++i) {
                EXPECT_TRUE(defaults->set(key, Value(Array{t, i})).isOk());
                const auto seen = defaults->get(key);
                if (!seen || *seen != Value(Array{t, i})) {
                    ADD_FAILURE() << key << " read back " << (seen ? seen->render() : "absent");
                    return;
                }
                defaults->keys();
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    Map expected;
    for (int t = 0; t < kThreads; ++t) {
        expected.emplace("key" + std::to_string(t), Array{t, kWrites});
    }
    EXPECT_EQ(defaults->snapshot(), expected);
    defaults.reset();
    relaunch();
    EXPECT_EQ(UserDefaults::suite("threads")->snapshot(), expected);
}

// A process killed with the store open leaves its values in the "-wal" beside
// it; when that log comes back damaged, SQLite replays what it can read and
// the store goes on in place with it.
TEST(UserDefaults, ADamagedWriteAheadLogLeavesTheStoreInPlace) {
    testing::FreshSdk sdk;
    auto live = UserDefaults::suite("live");
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(live->set("k" + std::to_string(i), Value(i)));
    }
    const std::string db = readFile(live->path());
    const std::string wal = readFile(live->path() + "-wal");
    const std::string shm = readFile(live->path() + "-shm");
    ASSERT_FALSE(wal.empty());
    std::string holed = wal;
    holed.replace(wal.size() / 2, 200, std::string(200, '\0'));
    const std::map<std::string, std::string> logs = {{"intact", wal},
                                                     {"zero-length", ""},
                                                     {"half", wal.substr(0, wal.size() / 2)},
                                                     {"garbage", std::string(wal.size(), '\x77')},
                                                     {"holed", holed}};
    for (const auto& [name, log] : logs) {
        SCOPED_TRACE(name);
        const std::string file = storeFile(name);
        std::ofstream(file, std::ios::binary) << db;
        std::ofstream(file + "-wal", std::ios::binary) << log;
        std::ofstream(file + "-shm", std::ios::binary) << shm;
        auto reopened = UserDefaults::suite(name);
        if (name == "intact") {
            EXPECT_EQ(reopened->snapshot(), live->snapshot());
        } else {
            EXPECT_LT(reopened->keys().size(), 30u);
        }
        // The store itself goes on: it is not moved aside, and takes writes.
        EXPECT_TRUE(movedAside(file).empty());
        EXPECT_TRUE(reopened->set("after", Value(1)));
    }
}

// A large value replaced by a small one leaves its pages unused in the file;
// the store gives them back and goes on writing with what it prepared.
TEST(UserDefaults, GivesBackThePagesOfAValueThatShrank) {
    testing::FreshSdk sdk;
    auto defaults = UserDefaults::suite("shrunk");
    ASSERT_TRUE(defaults->set("list", Value(std::string(3 << 20, 'e'))));
    ASSERT_TRUE(defaults->set("list", Value("short")));
    const std::string file = defaults->path();
    defaults.reset();
    relaunch();  // the registry lets the store go: its last close fills the file
    ASSERT_GT(fs::file_size(file), 3u << 20);
    auto reopened = UserDefaults::suite("shrunk");
    EXPECT_LT(fs::file_size(file), 256u * 1024u);
    EXPECT_EQ(reopened->snapshot(), (Map{{"list", "short"}}));
    EXPECT_TRUE(reopened->set("more", Value(1)));
    reopened.reset();
    relaunch();
    EXPECT_EQ(UserDefaults::suite("shrunk")->snapshot(), (Map{{"list", "short"}, {"more", 1}}));
}

}  // namespace
}  // namespace sorvel::platform
