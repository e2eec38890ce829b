#include "Platform/Sqlite.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <thread>

#include "Platform/FileSystem.h"
#include "support/TestSupport.h"

namespace sorvel::platform::sqlite {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Statements the connection has not finalised yet.
int liveStatements(const Connection& db) {
    int n = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(db.raw(), nullptr); s != nullptr;
         s = sqlite3_next_stmt(db.raw(), s)) {
        ++n;
    }
    return n;
}

// The names in `folder` that start with `file`'s name and ".corrupt-".
std::vector<std::string> movedAside(const std::string& file) {
    const std::string prefix = fs::path(file).filename().string() + ".corrupt-";
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(fs::path(file).parent_path())) {
        if (e.path().filename().string().starts_with(prefix)) {
            out.push_back(e.path().string());
        }
    }
    return out;
}

StoreOptions storeOptions(std::vector<std::string>* lines = nullptr) {
    StoreOptions options;
    options.setup = [](Connection& db) {
        if (!db.readOnly() &&
            db.execute("CREATE TABLE IF NOT EXISTS t (k TEXT UNIQUE, v INT)") != Outcome::Done) {
            return SQLITE_ERROR;
        }
        Statement check = db.prepare("SELECT count(*) FROM sqlite_master");
        const int rc = check ? check.step() : check.prepareResult();
        return rc == SQLITE_ROW ? SQLITE_OK : rc;
    };
    if (lines != nullptr) {
        options.log = [lines](const std::string& line) { lines->push_back(line); };
    }
    return options;
}

std::vector<std::string> keysIn(Connection& db) {
    std::vector<std::string> out;
    Statement s = db.prepare("SELECT k FROM t ORDER BY k");
    while (s.step() == SQLITE_ROW) {
        out.push_back(s.columnText(0));
    }
    return out;
}

bool insertKey(Connection& db, const std::string& key, std::int64_t value = 0) {
    Statement s = db.prepare("INSERT INTO t (k, v) VALUES (?, ?)");
    s.bindText(1, key);
    s.bindInt64(2, value);
    return s.run();
}

TEST(Sqlite, BoundValuesOfEveryTypeReadBackAsTheyWere) {
    testing::TempDir dir;
    int rc = SQLITE_ERROR;
    auto db =
        Connection::open(dir.path() + "/typed.sqlite",
                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, rc);
    ASSERT_EQ(rc, SQLITE_OK);
    ASSERT_TRUE(db);
    ASSERT_EQ(db->execute("CREATE TABLE v (i INT, i64 INT, d REAL, t TEXT, b BLOB, n, f INT)"),
              Outcome::Done);

    struct Row {
        std::int32_t i;
        std::int64_t i64;
        double d;
        std::string text;
        std::vector<std::uint8_t> blob;
        bool flag;
    };
    const std::vector<Row> rows = {
        {std::numeric_limits<std::int32_t>::min(),
         std::numeric_limits<std::int64_t>::max(),
         -0.5,
         "caf\xC3\xA9 'quoted' \"double\"",
         {0, 0xff, 7},
         true},
        // NULs inside a text, bytes that are not UTF-8, an empty blob (not NULL).
        {0, std::numeric_limits<std::int64_t>::min(), 1e300, "a\0b\xff\xfe"s, {}, false},
    };
    {
        Statement insert = db->prepare("INSERT INTO v VALUES (?, ?, ?, ?, ?, ?, ?)");
        ASSERT_TRUE(insert.prepared());
        for (const Row& r : rows) {
            EXPECT_EQ(insert.bindInt(1, r.i), SQLITE_OK);
            EXPECT_EQ(insert.bindInt64(2, r.i64), SQLITE_OK);
            EXPECT_EQ(insert.bindDouble(3, r.d), SQLITE_OK);
            EXPECT_EQ(insert.bindText(4, r.text), SQLITE_OK);
            EXPECT_EQ(insert.bindBlob(5, r.blob), SQLITE_OK);
            EXPECT_EQ(insert.bindNull(6), SQLITE_OK);
            EXPECT_EQ(insert.bindBool(7, r.flag), SQLITE_OK);
            EXPECT_EQ(insert.step(), SQLITE_DONE);
            insert.reset();
            insert.clearBindings();
        }
        // An empty text is a text, not NULL, however it is given.
        EXPECT_EQ(insert.bindText(4, std::string_view()), SQLITE_OK);
        EXPECT_EQ(insert.step(), SQLITE_DONE);
        insert.reset();
        Statement empty = db->prepare("SELECT typeof(t), length(t) FROM v WHERE rowid = 3");
        ASSERT_EQ(empty.step(), SQLITE_ROW);
        EXPECT_EQ(empty.columnText(0), "text");
        EXPECT_EQ(empty.columnInt(1), 0);
        ASSERT_EQ(db->execute("DELETE FROM v WHERE rowid = 3"), Outcome::Done);
        // An index past the parameters is refused, not written anywhere.
        EXPECT_EQ(insert.bindInt(8, 1), SQLITE_RANGE);
    }
    Statement select = db->prepare("SELECT i, i64, d, t, b, n, f FROM v ORDER BY rowid");
    ASSERT_EQ(select.columnCount(), 7);
    for (const Row& r : rows) {
        ASSERT_EQ(select.step(), SQLITE_ROW);
        EXPECT_EQ(select.columnInt(0), r.i);
        EXPECT_EQ(select.columnInt64(1), r.i64);
        EXPECT_EQ(select.columnDouble(2), r.d);
        EXPECT_EQ(select.columnType(3), SQLITE_TEXT);
        EXPECT_EQ(select.columnText(3), r.text);
        EXPECT_EQ(select.columnType(4), SQLITE_BLOB);
        EXPECT_EQ(select.columnBlob(4), r.blob);
        EXPECT_TRUE(select.columnIsNull(5));
        EXPECT_EQ(select.columnText(5), "");
        EXPECT_EQ(select.columnInt64(5), 0);
        EXPECT_EQ(select.columnInt(6), r.flag ? 1 : 0);
    }
    EXPECT_EQ(select.step(), SQLITE_DONE);
}

TEST(Sqlite, StatementsAreFinalisedOnEveryPath) {
    testing::TempDir dir;
    int rc = SQLITE_ERROR;
    auto db =
        Connection::open(dir.path() + "/f.sqlite", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, rc);
    ASSERT_TRUE(db);
    ASSERT_EQ(db->execute("CREATE TABLE t (k TEXT UNIQUE, v INT)"), Outcome::Done);
    {
        // Not prepared: nothing to finalise, every call refused without a crash.
        Statement bad = db->prepare("SELEKT nothing");
        EXPECT_FALSE(bad.prepared());
        EXPECT_NE(bad.prepareResult(), SQLITE_OK);
        EXPECT_EQ(bad.text(), "SELEKT nothing");
        EXPECT_EQ(bad.bindText(1, "x"), SQLITE_MISUSE);
        EXPECT_EQ(bad.step(), SQLITE_MISUSE);
        EXPECT_FALSE(bad.run());
        EXPECT_EQ(bad.columnText(0), "");
        // A text with no statement in it.
        EXPECT_FALSE(db->prepare("  -- nothing").prepared());
    }
    {
        // A step that fails (a UNIQUE conflict), and one abandoned mid-rows.
        ASSERT_TRUE(insertKey(*db, "a"));
        Statement again = db->prepare("INSERT INTO t (k) VALUES ('a')");
        EXPECT_EQ(again.step() & 0xff, SQLITE_CONSTRAINT);
        Statement rows = db->prepare("SELECT k FROM t");
        ASSERT_EQ(rows.step(), SQLITE_ROW);
        EXPECT_EQ(liveStatements(*db), 2);
        // Moved, the statement is finalised once, by its last owner.
        Statement moved = std::move(rows);
        EXPECT_FALSE(rows.prepared());  // NOLINT(bugprone-use-after-move)
        EXPECT_EQ(liveStatements(*db), 2);
        moved = db->prepare("SELECT 1");
        EXPECT_EQ(liveStatements(*db), 2);
    }
    EXPECT_EQ(liveStatements(*db), 0);
    EXPECT_EQ(db->execute("INSERT INTO t (k) VALUES ('a')"), Outcome::StepFailed);
    EXPECT_EQ(db->execute("INSERT INTO nowhere VALUES (1)"), Outcome::NotPrepared);
    EXPECT_EQ(liveStatements(*db), 0);
}

TEST(Sqlite, ATransactionRollsBackUnlessCommitted) {
    testing::TempDir dir;
    const std::string path = dir.path() + "/tx.sqlite";
    OpenedStore opened = openStore(path, storeOptions());
    ASSERT_EQ(opened.mode, OpenedStore::Mode::ReadWrite);
    Connection& db = *opened.connection;
    {
        Transaction tx(db);
        ASSERT_TRUE(tx.begun());
        ASSERT_TRUE(insertKey(db, "dropped"));
    }
    {
        Transaction tx(db, TransactionKind::Deferred);
        ASSERT_TRUE(insertKey(db, "kept"));
        EXPECT_TRUE(tx.commit());
        EXPECT_FALSE(tx.commit());  // once only
    }
    {
        Transaction tx(db);
        ASSERT_TRUE(insertKey(db, "rolled back"));
        tx.rollback();
        EXPECT_TRUE(db.autocommit());
    }
    EXPECT_EQ(keysIn(db), std::vector<std::string>{"kept"});

    // A second connection holding the write lock: BEGIN IMMEDIATE waits for
    // the busy time-out, then says why; nothing is left open.
    OpenedStore other = openStore(path, storeOptions());
    ASSERT_TRUE(other.connection);
    Transaction holding(*other.connection);
    ASSERT_TRUE(holding.begun());
    db.setBusyTimeout(10);
    {
        Transaction blocked(db);
        EXPECT_FALSE(blocked.begun());
        EXPECT_NE(blocked.begun().message().find("locked"), std::string::npos)
            << blocked.begun().message();
        EXPECT_FALSE(blocked.commit());
    }
    EXPECT_TRUE(db.autocommit());
}

// A full disk, as SQLite meets it: a write that needs a page more fails, its
// transaction goes back whole, and the rows already there stay.
TEST(Sqlite, AFullStoreRefusesTheWriteAndKeepsWhatItHad) {
    testing::TempDir dir;
    OpenedStore opened = openStore(dir.path() + "/full.sqlite", storeOptions());
    ASSERT_TRUE(opened.connection);
    Connection& db = *opened.connection;
    ASSERT_TRUE(insertKey(db, "before"));
    Statement pages = db.prepare("PRAGMA page_count");
    ASSERT_EQ(pages.step(), SQLITE_ROW);
    const std::int64_t count = pages.columnInt64(0);
    pages = Statement();
    ASSERT_EQ(db.executeScript("PRAGMA max_page_count=" + std::to_string(count + 2)), SQLITE_OK);
    {
        Transaction tx(db);
        ASSERT_TRUE(tx.begun());
        int failedAt = -1;
        for (int i = 0; i < 50 && failedAt < 0; ++i) {
            Statement s = db.prepare("INSERT INTO t (k) VALUES (?)");
            s.bindText(1, std::to_string(i) + std::string(2000, 'f'));
            if (const int rc = s.step(); rc != SQLITE_DONE) {
                EXPECT_EQ(rc, SQLITE_FULL);
                failedAt = i;
            }
        }
        EXPECT_GT(failedAt, 0);
        // The caller gives up: nothing of it reaches the file.
    }
    EXPECT_TRUE(db.autocommit());
    EXPECT_EQ(keysIn(db), std::vector<std::string>{"before"});
    EXPECT_EQ(db.execute("INSERT INTO t (k) VALUES ('" + std::string(20000, 'g') + "')"),
              Outcome::StepFailed);
    ASSERT_EQ(db.executeScript("PRAGMA max_page_count=1000000"), SQLITE_OK);
    EXPECT_TRUE(insertKey(db, "after"));
    EXPECT_EQ(keysIn(db), (std::vector<std::string>{"after", "before"}));
}

TEST(Sqlite, QuotedValuesMatchTheSameBytesBound) {
    EXPECT_EQ(quote("PUSH_IOS"), "'PUSH_IOS'");
    EXPECT_EQ(quote("it's"), "'it''s'");
    EXPECT_EQ(quote(""), "''");
    EXPECT_EQ(quote("a\0b"s), "CAST(X'610062' AS TEXT)");
    EXPECT_EQ(quotedList({"PUSH_IOS", "KAKAOTALK"}), "( 'PUSH_IOS','KAKAOTALK' )");
    EXPECT_EQ(quotedList({}), "(  )");

    testing::TempDir dir;
    OpenedStore opened = openStore(dir.path() + "/q.sqlite", storeOptions());
    ASSERT_TRUE(opened.connection);
    Connection& db = *opened.connection;
    const std::vector<std::string> keys = {
        "plain",
        "it's",
        "''",
        "x' OR '1'='1",
        "'; DROP TABLE t; --",
        "a\0b"s,
        "\xff\xfe bad utf8",
        "\"double\"",
        "caf\xC3\xA9",
        "",
    };
    for (const std::string& k : keys) {
        ASSERT_TRUE(insertKey(db, k));
    }
    ASSERT_EQ(db.execute("SELECT k FROM t WHERE k IN " + quotedList({})), Outcome::Done);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        SCOPED_TRACE(::testing::PrintToString(keys[i]));
        // Exactly the one row goes, whatever the value holds.
        ASSERT_EQ(db.execute("DELETE FROM t WHERE k = " + quote(keys[i])), Outcome::Done);
        EXPECT_EQ(db.changes(), 1);
        EXPECT_EQ(keysIn(db).size(), keys.size() - i - 1);
    }
    for (const std::string& k : keys) {
        ASSERT_TRUE(insertKey(db, k));
    }
    Statement in = db.prepare("SELECT count(*) FROM t WHERE k IN " + quotedList(keys));
    ASSERT_EQ(in.step(), SQLITE_ROW);
    EXPECT_EQ(in.columnInt64(0), static_cast<std::int64_t>(keys.size()));
}

TEST(Sqlite, AStoreIsPrivateAndKeepsWhatWasCommitted) {
    testing::TempDir dir;
    const std::string folder = dir.path() + "/Documents";
    const std::string path = folder + "/s.sqlite";
    {
        // Other tests' threads create no files while the umask is open.
        testing::ScopedUmask open(0);
        ASSERT_TRUE(makePrivateFolder(folder));
        OpenedStore opened = openStore(path, storeOptions());
        ASSERT_EQ(opened.mode, OpenedStore::Mode::ReadWrite);
        EXPECT_FALSE(opened.damage.has_value());
        EXPECT_TRUE(describe(opened, path, "test store").empty());
        ASSERT_TRUE(insertKey(*opened.connection, "k", 7));
        for (const std::string suffix : {"", "-wal", "-shm"}) {
            EXPECT_EQ(testing::modeOf(path + suffix), 0600) << suffix;
        }
        EXPECT_EQ(testing::modeOf(folder), 0700);
        Statement mode = opened.connection->prepare("PRAGMA journal_mode");
        ASSERT_EQ(mode.step(), SQLITE_ROW);
        EXPECT_EQ(mode.columnText(0), "wal");
    }
    // A file made open by someone else is made private again.
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    OpenedStore again = openStore(path, storeOptions());
    ASSERT_TRUE(again.connection);
    EXPECT_EQ(keysIn(*again.connection), std::vector<std::string>{"k"});
    EXPECT_EQ(testing::modeOf(path), 0600);
}

TEST(Sqlite, DamagedOrForeignFilesAreMovedAsideWithoutBlocking) {
    testing::TempDir dir;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        std::size_t filesMoved;
    };
    const std::vector<Case> cases = {
        {"empty", [](const std::string& p) { writeFile(p, ""); }, 0},
        {"garbage", [](const std::string& p) { writeFile(p, std::string(8192, '\x5a')); }, 1},
        {"bad header",
         [](const std::string& p) {
             writeFile(p, "SQLite format 3\0"s + std::string(8176, '\xa5'));
         },
         1},
        {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, 1},
        {"folder", [](const std::string& p) { ASSERT_TRUE(fs::create_directory(p)); }, 1},
        {"empty beside its log",
         [](const std::string& p) {
             writeFile(p, "");
             writeFile(p + "-wal", std::string(4096, '\x01'));
         },
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.path() + "/" + c.name + ".sqlite";
        c.make(path);
        OpenedStore opened;
        ASSERT_TRUE(testing::endsWithin(
            std::chrono::seconds(10), [&] { opened = openStore(path, storeOptions()); },
            [&] { testing::freeFifoReader(path); }));
        ASSERT_EQ(opened.mode, OpenedStore::Mode::ReadWrite);
        EXPECT_EQ(opened.damage.has_value(), c.filesMoved > 0);
        EXPECT_EQ(movedAside(path).size(), c.filesMoved);
        if (c.filesMoved > 0) {
            const auto lines = describe(opened, path, "test store");
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find("unreadable"), std::string::npos) << lines[0];
            EXPECT_NE(lines[0].find(opened.movedTo), std::string::npos) << lines[0];
            EXPECT_TRUE(fs::exists(fs::symlink_status(opened.movedTo)));
        }
        // A usable, empty store now stands at the path.
        EXPECT_TRUE(fs::is_regular_file(path));
        EXPECT_TRUE(keysIn(*opened.connection).empty());
        EXPECT_TRUE(insertKey(*opened.connection, "new"));
    }

    // Refused instead: the thing stays, nothing is opened.
    const std::string fifo = dir.path() + "/refused.sqlite";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    StoreOptions refuse = storeOptions();
    refuse.nonRegular = NonRegularFile::Refuse;
    OpenedStore refused = openStore(fifo, refuse);
    EXPECT_EQ(refused.mode, OpenedStore::Mode::Unavailable);
    EXPECT_FALSE(refused.connection);
    EXPECT_NE(refused.why.find("not a regular file"), std::string::npos) << refused.why;
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(movedAside(fifo).empty());
}

TEST(Sqlite, AStoreThatCannotBeWrittenIsOpenedReadOnly) {
    testing::TempDir dir;
    const std::string folder = dir.path() + "/ro";
    ASSERT_TRUE(makePrivateFolder(folder));
    const std::string path = folder + "/r.sqlite";
    {
        OpenedStore opened = openStore(path, storeOptions());
        ASSERT_TRUE(insertKey(*opened.connection, "kept"));
    }  // the last connection checkpoints and removes the log
    struct Case {
        const char* name;
        mode_t fileMode;
        mode_t folderMode;
    };
    for (const Case& c : {Case{"read-only file", 0400, 0700}, Case{"read-only folder", 0600, 0500},
                          Case{"both", 0400, 0500}}) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(::chmod(path.c_str(), c.fileMode), 0);
        ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);
        {
            testing::FileModesApply modes;
            OpenedStore opened = openStore(path, storeOptions());
            ASSERT_EQ(opened.mode, OpenedStore::Mode::ReadOnly) << opened.why;
            ASSERT_TRUE(opened.connection);
            EXPECT_TRUE(opened.connection->readOnly());
            EXPECT_EQ(keysIn(*opened.connection), std::vector<std::string>{"kept"});
            EXPECT_FALSE(insertKey(*opened.connection, "refused"));
            const auto lines = describe(opened, path, "test store");
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find("can not be written"), std::string::npos) << lines[0];
        }
        ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
        // Reading may have left a log and index as read-only as the file was;
        // they follow the file again, so the store is writable.
        testing::FileModesApply modes;
        OpenedStore writable = openStore(path, storeOptions());
        ASSERT_EQ(writable.mode, OpenedStore::Mode::ReadWrite) << writable.why;
        EXPECT_TRUE(insertKey(*writable.connection, c.name));
        ASSERT_EQ(writable.connection->execute("DELETE FROM t WHERE k <> 'kept'"), Outcome::Done);
    }  // the last connection removes the log and index
    EXPECT_TRUE(movedAside(path).empty());
    EXPECT_FALSE(fs::exists(path + "-wal"));
}

// A store's three files as a process killed while it had the store open
// leaves them: the values are in the log, not yet in the database file.
struct Snapshot {
    std::string db, wal, shm;
};

Snapshot snapshotOf(const std::string& path) {
    return {readFile(path), readFile(path + "-wal"), readFile(path + "-shm")};
}

void restore(const Snapshot& s, const std::string& path) {
    writeFile(path, s.db);
    writeFile(path + "-wal", s.wal);
    writeFile(path + "-shm", s.shm);
}

TEST(Sqlite, ADamagedWriteAheadLogLeavesTheStoreInPlaceAndWritable) {
    testing::TempDir dir;
    const std::string live = dir.path() + "/live.sqlite";
    OpenedStore opened = openStore(live, storeOptions());
    ASSERT_TRUE(opened.connection);
    Connection& db = *opened.connection;
    ASSERT_EQ(db.checkpoint(Checkpoint::Truncate), SQLITE_OK);  // the table is in the file
    ASSERT_EQ(db.executeScript("PRAGMA wal_autocheckpoint=0"), SQLITE_OK);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(insertKey(db, "k" + std::to_string(i)));
    }
    const Snapshot young = snapshotOf(live);
    ASSERT_GT(young.wal.size(), 20u * 4096u);
    // A log restarted after a checkpoint keeps the older frames behind its
    // new ones; those are not damage.
    ASSERT_EQ(db.checkpoint(Checkpoint::Passive), SQLITE_OK);
    ASSERT_TRUE(insertKey(db, "after restart"));
    const Snapshot restarted = snapshotOf(live);

    struct Case {
        const char* name;
        Snapshot files;
        bool damaged;      // SQLite drops part of what the log held
        std::size_t keys;  // at least this many come back
    };
    const std::string& wal = young.wal;
    // Damage in the middle of the log: frames of its generation follow it.
    std::string holed = wal;
    holed.replace(wal.size() / 2, 2000, std::string(2000, '\0'));
    const std::vector<Case> cases = {
        {"intact", young, false, 20},
        {"restarted", restarted, false, 21},
        {"garbage", {young.db, std::string(wal.size(), 'Z'), young.shm}, true, 0},
        {"a frame overwritten", {young.db, holed, young.shm}, true, 1},
        {"garbage, no index", {young.db, std::string(5000, 'Z'), ""}, true, 0},
        {"intact, no index", {young.db, wal, ""}, false, 20},
        {"half", {young.db, wal.substr(0, wal.size() / 2), young.shm}, true, 1},
        {"last frame torn",
         {young.db, wal.substr(0, wal.size() - 2000) + std::string(2000, '\0'), young.shm},
         true,
         15},
        {"zero-length", {young.db, "", young.shm}, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.path() + "/" + c.name + ".sqlite";
        restore(c.files, path);
        if (c.files.shm.empty()) {
            fs::remove(path + "-shm");
        }
        std::vector<std::string> lines;
        OpenedStore reopened = openStore(path, storeOptions(&lines));
        ASSERT_EQ(reopened.mode, OpenedStore::Mode::ReadWrite) << reopened.why;
        EXPECT_FALSE(reopened.damage.has_value());
        // Nothing is moved aside or taken for a broken store: the log is
        // SQLite's to replay, and the store goes on with what it kept.
        EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
        if (c.damaged) {
            EXPECT_LT(keysIn(*reopened.connection).size(), 20u);
        }
        EXPECT_TRUE(insertKey(*reopened.connection, "written after"));
        EXPECT_GE(keysIn(*reopened.connection).size(), c.keys);
    }
}

TEST(Sqlite, TheWriteAheadLogStaysSmall) {
    testing::TempDir dir;
    const std::string path = dir.path() + "/small.sqlite";
    OpenedStore opened = openStore(path, storeOptions());
    ASSERT_TRUE(opened.connection);
    // Each commit adds at least one 4 KB page to the log: 3,000 of them would
    // leave 12 MB without checkpoints, and about 4 MB with SQLite's own.
    std::int64_t largest = 0;
    Statement insert = opened.connection->prepare("INSERT OR REPLACE INTO t (k, v) VALUES (?, ?)");
    for (int i = 0; i < 3000; ++i) {
        insert.bindText(1, "key" + std::to_string(i % 10));
        insert.bindInt64(2, i);
        ASSERT_EQ(insert.step(), SQLITE_DONE);
        insert.reset();
        if (i % 50 == 0) {
            std::error_code ec;
            largest = std::max<std::int64_t>(largest, fs::file_size(path + "-wal", ec));
        }
    }
    EXPECT_GT(largest, 0);
    EXPECT_LT(largest, 1024 * 1024);
}

TEST(Sqlite, ALogLeftLargeIsEmptiedWhenTheStoreOpens) {
    testing::TempDir dir;
    const std::string path = dir.path() + "/grown.sqlite";
    int rc = SQLITE_ERROR;
    // As a connection without the layer's care, killed, leaves it.
    auto raw = Connection::open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, rc);
    ASSERT_TRUE(raw);
    ASSERT_EQ(raw->executeScript("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; "
                                 "CREATE TABLE t (k TEXT UNIQUE, v INT)"),
              SQLITE_OK);
    for (int i = 0; i < 500; ++i) {
        ASSERT_TRUE(insertKey(*raw, "grown" + std::to_string(i)));
    }
    ASSERT_GT(fs::file_size(path + "-wal"), 1024u * 1024u);
    const std::string copy = dir.path() + "/copy.sqlite";
    restore(snapshotOf(path), copy);
    OpenedStore reopened = openStore(copy, storeOptions());
    ASSERT_TRUE(reopened.connection);
    EXPECT_EQ(fs::file_size(copy + "-wal"), 0u);
    EXPECT_EQ(keysIn(*reopened.connection).size(), 500u);
}

// When this program is started as the writer of KilledWritersLeaveNoFalseAlarm,
// it commits transactions of five rows before any test or thread runs,
// printing "tx <n>" after each, until it is killed.
int runAsWriterIfAsked() {
    const char* path = std::getenv("SORVEL_SQLITE_KILL_CHILD_PATH");
    if (path == nullptr) {
        return 0;
    }
    OpenedStore opened = openStore(path, storeOptions());
    if (!opened.connection) {
        std::puts("failed");
        std::exit(1);
    }
    Connection& db = *opened.connection;
    for (int n = 1;; ++n) {
        Transaction tx(db);
        for (int i = 0; i < 5; ++i) {
            insertKey(db, std::to_string(n) + "." + std::to_string(i) + std::string(3000, 'x'));
        }
        if (!tx.commit()) {
            std::puts("failed");
            std::exit(1);
        }
        std::printf("tx %d\n", n);
        std::fflush(stdout);
    }
}
const int kWriterDone = runAsWriterIfAsked();

// Killed at random moments (mid-transaction, mid-checkpoint), a writer leaves
// a log that reads back whole: every transaction it reported is there, and
// what it had not finished is dropped without a word of damage.
TEST(Sqlite, KilledWritersLeaveNoFalseAlarm) {
    testing::TempDir dir;
    const std::string path = dir.path() + "/killed.sqlite";
    std::mt19937 random(std::random_device{}());
    for (int kill = 0; kill < 20; ++kill) {
        const int after = std::uniform_int_distribution<int>(1, 150)(random);
        SCOPED_TRACE("killed after tx " + std::to_string(after));
        const std::string said = testing::runSelf({"SORVEL_SQLITE_KILL_CHILD_PATH=" + path},
                                                  "tx " + std::to_string(after) + "\n");
        ASSERT_NE(said.find("tx " + std::to_string(after) + "\n"), std::string::npos) << said;
        std::vector<std::string> lines;
        OpenedStore opened = openStore(path, storeOptions(&lines));
        ASSERT_EQ(opened.mode, OpenedStore::Mode::ReadWrite) << opened.why;
        EXPECT_FALSE(opened.damage.has_value());
        EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
        Statement check = opened.connection->prepare("PRAGMA integrity_check");
        ASSERT_EQ(check.step(), SQLITE_ROW);
        EXPECT_EQ(check.columnText(0), "ok");
        // Each run starts again at 1; a row of every reported transaction is there.
        for (int n = 1; n <= after; n += 7) {
            Statement row = opened.connection->prepare("SELECT count(*) FROM t WHERE k = ?");
            row.bindText(1, std::to_string(n) + ".4" + std::string(3000, 'x'));
            ASSERT_EQ(row.step(), SQLITE_ROW);
            EXPECT_EQ(row.columnInt(0), 1) << "tx " << n;
        }
        ASSERT_EQ(opened.connection->execute("DELETE FROM t"), Outcome::Done);
    }
}

// A large value written and removed leaves its pages in the file; a store
// gives them back, whether it was made by the layer or before it.
TEST(Sqlite, PagesNoLongerUsedAreGivenBack) {
    testing::TempDir dir;
    for (const bool madeByTheLayer : {true, false}) {
        SCOPED_TRACE(madeByTheLayer ? "made by the layer" : "made before it");
        const std::string path = dir.path() + (madeByTheLayer ? "/layer.sqlite" : "/older.sqlite");
        {
            std::unique_ptr<Connection> db;
            if (madeByTheLayer) {
                db = std::move(openStore(path, storeOptions()).connection);
            } else {
                int rc = SQLITE_ERROR;
                db = Connection::open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, rc);
                ASSERT_TRUE(db);
                ASSERT_EQ(db->executeScript("PRAGMA journal_mode=WAL; "
                                            "CREATE TABLE t (k TEXT UNIQUE, v INT)"),
                          SQLITE_OK);
            }
            ASSERT_TRUE(db);
            ASSERT_TRUE(insertKey(*db, "kept"));
            ASSERT_TRUE(insertKey(*db, std::string(2 << 20, 'L')));
            ASSERT_EQ(db->execute("DELETE FROM t WHERE k <> 'kept'"), Outcome::Done);
        }  // the last close copies everything into the file, unused pages too
        ASSERT_GT(fs::file_size(path), 2u << 20);
        OpenedStore reopened = openStore(path, storeOptions());
        ASSERT_TRUE(reopened.connection);
        EXPECT_LT(fs::file_size(path), 256u * 1024u);
        EXPECT_EQ(keysIn(*reopened.connection), std::vector<std::string>{"kept"});
        Statement check = reopened.connection->prepare("PRAGMA integrity_check");
        ASSERT_EQ(check.step(), SQLITE_ROW);
        EXPECT_EQ(check.columnText(0), "ok");
    }
}

// A store opened while another connection writes to it (as a second process
// on the same folder would) finds a log in motion, not a damaged one.
TEST(Sqlite, ALogInUseIsNotTakenForDamage) {
    testing::TempDir dir;
    const std::string path = dir.path() + "/busy.sqlite";
    OpenedStore writer = openStore(path, storeOptions());
    ASSERT_TRUE(writer.connection);
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::thread writing([&] {
        for (int i = 0; !stop; ++i) {
            if (!insertKey(*writer.connection, "w" + std::to_string(i) + std::string(1500, 'w'))) {
                ADD_FAILURE() << "write " << i << ": " << writer.connection->errorMessage();
                return;
            }
            written = i + 1;
            testing::notifyWaiters();
        }
    });
    std::vector<std::string> lines;
    for (int open = 0; open < 50; ++open) {
        // Each open meets a log that has moved on since the last.
        const int before = written;
        ASSERT_TRUE(testing::waitUntil([&] { return written >= before + 20; }));
        OpenedStore reader = openStore(path, storeOptions(&lines));
        ASSERT_EQ(reader.mode, OpenedStore::Mode::ReadWrite) << reader.why;
        EXPECT_FALSE(reader.damage.has_value());
    }
    stop = true;
    writing.join();
    EXPECT_GE(written.load(), 50 * 20);
    EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
}

TEST(Sqlite, SharedFullMutexConnectionServesSeveralThreads) {
    testing::TempDir dir;
    OpenedStore opened = openStore(dir.path() + "/shared.sqlite", storeOptions());
    ASSERT_TRUE(opened.connection);
    Connection& db = *opened.connection;
    constexpr int kThreads = 4;
    constexpr int kRows = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&db, t] {
            for (int i = 0; i < kRows; ++i) {
                EXPECT_TRUE(insertKey(db, std::to_string(t) + "-" + std::to_string(i), i));
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(keysIn(db).size(), static_cast<std::size_t>(kThreads * kRows));
}

}  // namespace
}  // namespace sorvel::platform::sqlite
