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
    defaults->set("removed", Value(1));
    defaults->remove("removed");
    defaults->set("cleared", Value(1));
    defaults->set("cleared", std::nullopt);
    defaults->set("overwritten", Value("first"));
    defaults->set("overwritten", Value(2));
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
        damaged->set("key" + std::to_string(i), Value(std::string(100, 'v')));
    }
    damaged.reset();
    relaunch();
    std::string store = readFile(storeFile("damaged"));
    ASSERT_GT(store.size(), 4096u);
    std::fill(store.begin() + 4096, store.end(), '\xa5');

    // A young store keeps its values in the write-ahead log until a checkpoint.
    auto young = UserDefaults::suite("young");
    young->set("k", Value("in the log only"));
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

        defaults->set("fresh", Value(true));
        defaults.reset();
        relaunch();
        EXPECT_EQ(UserDefaults::suite(suite)->snapshot(), (Map{{"fresh", true}}));
    }
}

TEST(UserDefaults, AnUndecodableRowIsSkippedAndTheFileKept) {
    testing::FreshSdk sdk;
    auto defaults = UserDefaults::suite("rows");
    defaults->set("good", Value("ok"));
    defaults->set("bad", Value("soon garbage"));
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
        EXPECT_EQ(defaults->get("k"), Value(1));
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
    old->set("secret", Value("kept"));
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
        defaults->set(key, value);
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
    defaults->set("k", Value("kept"));

    Value deep = Array{};
    for (int i = 0; i < 300; ++i) {
        deep = Array{std::move(deep)};
    }
    EXPECT_FALSE(defaults->set("k", deep));
    EXPECT_TRUE(log.contains("nests too deeply"));
    EXPECT_FALSE(defaults->set("k", Value(Bytes(17u << 20))));
    EXPECT_TRUE(log.contains("over the limit"));
    EXPECT_EQ(defaults->get("k"), Value("kept"));
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
                defaults->set(key, Value(Array{t, i}));
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

}  // namespace
}  // namespace sorvel::platform
