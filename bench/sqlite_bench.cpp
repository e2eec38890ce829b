// The SQLite layer under the stores: a row of eleven bound values inserted
// in its own commit, a page of 50 read from 10,000 rows, and how much
// write-ahead log a settings store leaves behind after many small writes.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <string>

#include "BenchSupport.h"
#include "Platform/FileSystem.h"
#include "Platform/Sqlite.h"
#include "Platform/UserDefaults.h"

namespace {

namespace sqlite = sorvel::platform::sqlite;

constexpr const char* kCreate =
    "CREATE TABLE IF NOT EXISTS Rows (Id TEXT UNIQUE, Kind TEXT, Time INT, A TEXT, B TEXT, "
    "Content TEXT, Revision INT, C TEXT, G TEXT, Synced INT, Read INT)";
constexpr const char* kInsert =
    "INSERT OR REPLACE INTO Rows (Id, Kind, Time, A, B, Content, Revision, C, G, Synced, Read) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

std::unique_ptr<sqlite::Connection> openRows(const std::string& folder) {
    sqlite::StoreOptions options;
    options.setup = [](sqlite::Connection& db) {
        return db.execute(kCreate) == sqlite::Outcome::Done ? SQLITE_OK : SQLITE_ERROR;
    };
    return sqlite::openStore(folder + "/rows.sqlite", options).connection;
}

bool insertRow(sqlite::Connection& db, std::int64_t i, const std::string& content) {
    sqlite::Statement s = db.prepare(kInsert);
    s.bindText(1, "history-" + std::to_string(i));
    s.bindText(2, "PUSH_IOS");
    s.bindInt64(3, 1'700'000'000'000 + i);
    s.bindText(4, "step");
    s.bindText(5, "cycle");
    s.bindText(6, content);
    s.bindInt(7, 3);
    s.bindText(8, "campaign");
    s.bindText(9, "group");
    s.bindBool(10, i % 2 == 0);
    s.bindBool(11, false);
    return s.run();
}

const std::string& content() {
    static const std::string c =
        R"({"title":"A title","body":")" + std::string(200, 'x') + R"(","deep_link_json":{}})";
    return c;
}

void BM_SqliteInsertBoundRow(benchmark::State& state) {
    sorvel::bench::TempHome home;
    auto db = openRows(home.path);
    std::int64_t i = 0;
    for (auto _ : state) {
        if (!insertRow(*db, i++, content())) {
            state.SkipWithError("insert failed");
            break;
        }
    }
}
BENCHMARK(BM_SqliteInsertBoundRow)->Unit(benchmark::kMicrosecond);

// Arg 1: with an index on the column the page is ordered by; without one
// every page sorts the whole table.
void BM_SqliteReadPageOf50From10000(benchmark::State& state) {
    sorvel::bench::TempHome home;
    auto db = openRows(home.path);
    if (state.range(0) == 1 && db->execute("CREATE INDEX IF NOT EXISTS RowsTime ON Rows (Time)") !=
                                   sqlite::Outcome::Done) {
        state.SkipWithError("index failed");
        return;
    }
    {
        sqlite::Transaction tx(*db);
        for (std::int64_t i = 0; i < 10'000; ++i) {
            insertRow(*db, i, content());
        }
        if (!tx.commit()) {
            state.SkipWithError("fill failed");
            return;
        }
    }
    std::int64_t page = 0;
    for (auto _ : state) {
        sqlite::Statement s = db->prepare(
            "SELECT Id, Kind, Time, Content, G, Synced, Read FROM Rows WHERE Kind IN " +
            sqlite::quotedList({"PUSH_IOS", "KAKAOTALK"}) + " ORDER BY Time DESC LIMIT 50 OFFSET " +
            std::to_string((page++ % 200) * 50));
        int rows = 0;
        while (s.step() == SQLITE_ROW) {
            benchmark::DoNotOptimize(s.columnText(0));
            benchmark::DoNotOptimize(s.columnInt64(2));
            benchmark::DoNotOptimize(s.columnText(3));
            ++rows;
        }
        if (rows != 50) {
            state.SkipWithError("short page");
            break;
        }
    }
}
BENCHMARK(BM_SqliteReadPageOf50From10000)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

std::int64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

// 100,000 small writes to one settings suite, as a long-running app makes
// them; counters give the write-ahead log's size at its largest (sampled
// every 100 writes) and at the end, with the store still open as a killed
// process would leave it.
void BM_SettingsWalAfter100000Writes(benchmark::State& state) {
    for (auto _ : state) {
        sorvel::bench::TempHome home;
        auto defaults = sorvel::platform::UserDefaults::suite("wal");
        const std::string wal = defaults->path() + "-wal";
        std::int64_t largest = 0;
        for (int i = 0; i < 100'000; ++i) {
            (void)defaults->set("counter-" + std::to_string(i % 20),
                                sorvel::Value(std::int64_t{i}));
            if (i % 100 == 0) {
                largest = std::max(largest, fileSize(wal));
            }
        }
        state.counters["wal_largest_KB"] = static_cast<double>(largest) / 1024;
        state.counters["wal_end_KB"] = static_cast<double>(fileSize(wal)) / 1024;
        state.counters["db_end_KB"] = static_cast<double>(fileSize(defaults->path())) / 1024;
    }
}
BENCHMARK(BM_SettingsWalAfter100000Writes)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
