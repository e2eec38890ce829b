#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Base/Status.h"

// The SDK's one way to SQLite: every store (the settings suites, the message
// history, the in-app campaigns) opens its file, runs statements and keeps its
// write-ahead log small through these few types.
namespace sorvel::platform::sqlite {

class Connection;

/// A prepared statement that is always finalised when it goes away, whatever
/// path its user took. Not thread-safe: one thread at a time (the connection's
/// full-mutex mode only keeps SQLite itself consistent).
class Statement {
  public:
    /// A statement that was never prepared (prepared() is false).
    Statement() = default;
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    /// True when preparing succeeded and the text held a statement.
    bool prepared() const noexcept { return stmt_ != nullptr; }
    explicit operator bool() const noexcept { return prepared(); }
    /// What sqlite3_prepare_v3 answered (SQLITE_OK on success).
    int prepareResult() const noexcept { return prepareRc_; }

    // Binding by position, 1 for the first "?". Texts and blobs are copied, so
    // the caller's buffer may go at once. Each returns SQLite's result code.
    int bindInt(int index, std::int32_t value) noexcept;
    int bindInt64(int index, std::int64_t value) noexcept;
    /// Binds 1 for true and 0 for false.
    int bindBool(int index, bool value) noexcept;
    int bindDouble(int index, double value) noexcept;
    /// The bytes as they are, embedded NULs included (nothing is cut at a NUL).
    int bindText(int index, std::string_view value) noexcept;
    int bindBlob(int index, std::span<const std::uint8_t> value) noexcept;
    int bindNull(int index) noexcept;

    /// One step: SQLITE_ROW when a row is ready to read, SQLITE_DONE when the
    /// statement has finished, any other code on failure. An unprepared
    /// statement answers SQLITE_MISUSE.
    int step() noexcept;
    /// Steps until the statement is done; true when it finished (SQLITE_DONE).
    bool run() noexcept;
    /// Makes the statement ready to run again; bindings stay unless cleared.
    void reset() noexcept;
    void clearBindings() noexcept;

    // Columns of the current row, 0 for the first. A NULL reads as 0, 0.0, an
    // empty text or an empty blob; columnType tells it apart.
    int columnCount() const noexcept;
    /// SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL.
    int columnType(int column) const noexcept;
    bool columnIsNull(int column) const noexcept;
    std::int32_t columnInt(int column) const noexcept;
    std::int64_t columnInt64(int column) const noexcept;
    double columnDouble(int column) const noexcept;
    /// The stored bytes, embedded NULs included.
    std::string columnText(int column) const;
    std::vector<std::uint8_t> columnBlob(int column) const;

    /// The statement's text as it was given.
    const std::string& text() const noexcept { return text_; }
    /// For what the layer does not cover; null when not prepared.
    sqlite3_stmt* raw() const noexcept { return stmt_; }

  private:
    friend class Connection;
    Statement(sqlite3_stmt* stmt, int rc, std::string text)
        : stmt_(stmt), prepareRc_(rc), text_(std::move(text)) {}

    sqlite3_stmt* stmt_ = nullptr;
    int prepareRc_ = SQLITE_MISUSE;
    std::string text_;
};

/// How a statement run by Connection::execute ended.
enum class Outcome {
    /// Prepared, and every step up to SQLITE_DONE succeeded.
    Done,
    /// Prepared, but a step failed.
    StepFailed,
    /// The text could not be prepared; nothing ran.
    NotPrepared,
};

/// Truncating checkpoint, or one that only copies what it can without waiting.
enum class Checkpoint { Passive, Truncate };

/// One SQLite connection, closed when it goes away (statements still alive
/// keep SQLite's handle open until they are finalised too).
class Connection {
  public:
    /// Opens `path` with SQLite's open flags (SQLITE_OPEN_READWRITE,
    /// SQLITE_OPEN_CREATE, SQLITE_OPEN_FULLMUTEX for a connection shared by
    /// several queues, or SQLITE_OPEN_NOMUTEX for one behind the caller's own
    /// lock, SQLITE_OPEN_URI...). A symbolic link at the path is refused. Sets
    /// nothing else: no journal mode, no busy time-out (see openStore).
    /// `rc` receives SQLite's answer; the connection is null unless SQLITE_OK.
    /// `error`, when given, receives SQLite's message on failure.
    static std::unique_ptr<Connection> open(const std::string& path, int flags, int& rc,
                                            std::string* error = nullptr);

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    /// Prepares one statement (the first of the text). A failed prepare gives
    /// a statement whose prepared() is false and whose prepareResult() says why.
    Statement prepare(std::string_view sql) noexcept;
    /// Prepares a statement that will be kept and run many times.
    Statement preparePersistent(std::string_view sql) noexcept;
    /// Prepares, steps until done and finalises one statement, rows ignored.
    Outcome execute(std::string_view sql) noexcept;
    /// Runs every statement of a text (no rows, no parameters); SQLite's code.
    int executeScript(const std::string& sql) noexcept;

    /// The connection's last error message ("not an error" when none).
    std::string errorMessage() const;
    /// Rows changed by the last INSERT, UPDATE or DELETE.
    std::int64_t changes() const noexcept;
    /// True when the main database is open read-only.
    bool readOnly() const noexcept;
    /// True outside an explicit transaction.
    bool autocommit() const noexcept;
    /// Waits up to this long for a lock another connection holds.
    void setBusyTimeout(int millis) noexcept;

    /// Checkpoints the write-ahead log; a truncating one also leaves the log
    /// file empty when no reader needs it. SQLite's result code.
    int checkpoint(Checkpoint mode) noexcept;

    /// Keeps the write-ahead log of the file at `path` (this connection's)
    /// small instead of SQLite's default of about 4 MB: a log that reaches
    /// three quarters of a megabyte is checkpointed by the committing thread,
    /// without waiting for anyone, and a log that grew is cut back to a
    /// quarter of a megabyte at the first commit after a checkpoint emptied
    /// it. Pages the file no longer uses are given back when the store opens
    /// and by compact().
    void keepWalSmall(const std::string& path) noexcept;
    /// Empties the log file when no other connection needs it, and gives
    /// unused pages back (a store made for it, a quarter of a megabyte of
    /// them at least). On the owner's connection, from the owner's thread.
    void compact() noexcept;

    /// For what the layer does not cover.
    sqlite3* raw() const noexcept { return db_; }

    /// Only open() makes connections.
    class Key {
        friend class Connection;
        Key() = default;
    };
    Connection(Key, sqlite3* db);

  private:
    struct WalKeeper;
    Statement prepareWith(std::string_view sql, unsigned flags) noexcept;
    static int walCommitted(void* keeper, sqlite3* db, const char* name, int frames);
    sqlite3* db_;
    std::unique_ptr<WalKeeper> walKeeper_;
};

/// Kind of an explicit transaction: DEFERRED takes the write lock at the first
/// write, IMMEDIATE at once (so a busy time-out applies to BEGIN itself).
enum class TransactionKind { Deferred, Immediate };

/// An explicit transaction, rolled back when it goes away uncommitted.
/// Nested use on one connection is not supported (SQLite has no nested BEGIN).
class Transaction {
  public:
    explicit Transaction(Connection& db, TransactionKind kind = TransactionKind::Immediate);
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction();

    /// Whether BEGIN succeeded; when it did not, the error says why.
    const Status& begun() const noexcept { return begun_; }
    /// Commits; after a failed commit the transaction is rolled back when it
    /// goes away.
    Status commit();
    /// Rolls back now (a no-op once committed or rolled back).
    void rollback() noexcept;

  private:
    Connection& db_;
    Status begun_;
    bool open_ = false;
};

/// Tells, without a statement or a lock, whether anything was committed to a
/// store in WAL mode since the last settle(). Every commit, by any connection
/// in any process, appends to the store's log file ("<path>-wal"), and the
/// kernel reports each write to a watch on that file before the writer's call
/// returns, so a commit that came before a call to mark() is always seen by
/// it. No descriptor of the store's own files is opened for it: closing one
/// would drop every lock the process's connections hold on the file.
class CommitWatch {
  public:
    /// Null when the log file is missing or the kernel gives no watch (too
    /// many watches in use, or a file system without them).
    static std::unique_ptr<CommitWatch> open(const std::string& databasePath);
    CommitWatch(const CommitWatch&) = delete;
    CommitWatch& operator=(const CommitWatch&) = delete;
    ~CommitWatch();

    /// The number the last settle() gave, while nothing was written to the
    /// log since it; nothing once a write was reported, and for good once the
    /// watch is lost (see lost()). Safe from any thread, lock-free.
    std::optional<std::uint64_t> mark() const noexcept;
    /// True once the log file was removed, renamed or unmounted: the watch
    /// sees nothing more, and the caller must ask the database instead.
    bool lost() const noexcept { return lost_.load(); }

    /// Runs `read` (statements on `db`, a connection of its own whose busy
    /// time-out bounds the wait for a writer) inside an immediate transaction, so that
    /// every commit made before it is visible and none is half written, after
    /// taking in the reports of those commits. Returns the mark that stands
    /// for what `read` saw, or nothing when the store was busy, `read`
    /// failed or the watch was lost. One settle() at a time.
    std::optional<std::uint64_t> settle(Connection& db, const std::function<bool()>& read);

    /// Only open() makes one.
    class Key {
        friend class CommitWatch;
        Key() = default;
    };
    CommitWatch(Key, int fd, std::string log, dev_t device, ino_t inode)
        : fd_(fd), log_(std::move(log)), device_(device), inode_(inode) {}

  private:
    // Takes every pending report; notes a lost watch.
    void drain() noexcept;
    int fd_;
    // The log file watched, to tell at each settle that it is still the one
    // at its name.
    std::string log_;
    dev_t device_;
    ino_t inode_;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<bool> lost_{false};
};

/// A text as an SQL literal for the few statements that paste a value in
/// (values are otherwise bound): between single quotes with every single quote
/// doubled. Bytes that are not valid UTF-8 are kept as they are: SQLite copies
/// a literal's bytes unchanged, so the literal still equals the same bytes
/// bound as text. A value holding a NUL (which would end the statement text)
/// becomes CAST(X'<hex>' AS TEXT), a text of exactly those bytes.
std::string quote(std::string_view value);

/// "( 'a','b' )": the quoted values joined by "," with no blank, between
/// "( " and " )"; an empty list gives "(  )", which matches nothing.
std::string quotedList(const std::vector<std::string>& values);

// ---- Opening a store --------------------------------------------------------

/// What to do with something at a store's path that is not a regular file.
enum class NonRegularFile {
    /// Leave it; the store is unavailable.
    Refuse,
    /// Move it aside like a damaged file and start an empty store.
    MoveAside,
};

/// How openStore opens and prepares a store.
struct StoreOptions {
    /// SQLite open flags beyond read-write and create: SQLITE_OPEN_FULLMUTEX
    /// for a connection that several queues use, SQLITE_OPEN_NOMUTEX for one
    /// behind its owner's lock.
    int threading = SQLITE_OPEN_FULLMUTEX;
    NonRegularFile nonRegular = NonRegularFile::MoveAside;
    /// Waits up to this long for a lock another connection holds.
    int busyTimeoutMillis = 5000;
    /// Called once the connection is open and configured, read-write (create
    /// the tables, read what the owner caches) or, when the file cannot be
    /// written, read-only (connection.readOnly() tells). SQLITE_OK to accept
    /// it; a code that says the file is not a readable database
    /// (SQLITE_CORRUPT, SQLITE_NOTADB, SQLITE_FORMAT, SQLITE_ERROR) has the
    /// file moved aside and an empty store tried once more.
    std::function<int(Connection&)> setup;
    /// Where the layer's own lines go (defaults to the system log, prefixed
    /// "SQLite :: "): a file that could not be moved or made private.
    std::function<void(const std::string&)> log;
};

/// What openStore found and did.
struct OpenedStore {
    enum class Mode {
        /// Read and writable.
        ReadWrite,
        /// Read from a file or folder that cannot be written.
        ReadOnly,
        /// Nothing could be opened; `connection` is null.
        Unavailable,
    };
    Mode mode = Mode::Unavailable;
    std::unique_ptr<Connection> connection;
    /// Set when the file (with its "-wal" and "-shm") was moved aside: why,
    /// and the new name ("<file>.corrupt-<epoch millis>[.n]").
    std::optional<std::string> damage;
    std::string movedTo;
    /// Why the file could not be written (ReadOnly) or opened (Unavailable).
    std::string why;
};

/// Opens the SQLite store at `path` on the caller's thread, creating the file
/// 0600 whatever the umask when it is missing (its folder is the caller's: the
/// app's folders are made 0700): WAL journal, synchronous NORMAL (a commit
/// survives the process being killed), the busy time-out, a write-ahead log
/// emptied at open and then kept small (Connection::keepWalSmall). Files are
/// looked at by name before SQLite is given them, and a descriptor of them
/// is never opened beside SQLite's (closing it would drop the process's
/// locks): a FIFO cannot block the call; a file SQLite does not take for a
/// database (garbage, a bad header; asked on a read-only connection, which
/// leaves the log alone) or an empty file beside a non-empty log is moved
/// aside with its log and index and an empty store started; a file or folder
/// that cannot be written is opened read-only. What a damaged log held is
/// dropped by SQLite as it replays the log. The caller logs the outcome (see
/// describe()).
OpenedStore openStore(const std::string& path, const StoreOptions& options);

/// The lines that tell what openStore found, naming the store `what` (none
/// when it opened read-write without trouble).
std::vector<std::string> describe(const OpenedStore& opened, const std::string& path,
                                  const std::string& what);

}  // namespace sorvel::platform::sqlite
