#include "Platform/Sqlite.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "Base/Hex.h"
#include "Platform/Clock.h"
#include "Platform/FileSystem.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform::sqlite {

namespace {

// The write-ahead log is checkpointed by the committing thread once a commit
// leaves this much in it, and a log file that grew is cut back to the second
// size at the next commit that restarts it.
constexpr std::int64_t kWalInlineCheckpointBytes = 768 * 1024;
constexpr std::int64_t kWalSizeLimitBytes = 256 * 1024;
// Pages a file holds without using them (a large value rewritten smaller
// leaves them) are given back once they come to this much.
constexpr std::int64_t kFreeBytesToReclaim = 256 * 1024;

// The single number a PRAGMA answers, or -1.
std::int64_t pragmaNumber(Connection& db, const char* sql) {
    Statement s = db.prepare(sql);
    return s.step() == SQLITE_ROW ? s.columnInt64(0) : -1;
}

// Gives unused pages back to the file system when they are many: in place in
// a store made for it (incremental auto-vacuum, what new stores are), by
// rebuilding an older one once when `mayRebuild`, which also makes it so. The
// file itself shrinks at the next checkpoint. A busy store is left for later.
void reclaimFreePages(Connection& db, bool mayRebuild) {
    const std::int64_t freePages = pragmaNumber(db, "PRAGMA freelist_count");
    if (freePages * pragmaNumber(db, "PRAGMA page_size") < kFreeBytesToReclaim) {
        return;
    }
    if (pragmaNumber(db, "PRAGMA auto_vacuum") == 2) {
        (void)db.executeScript("PRAGMA incremental_vacuum");
    } else if (mayRebuild) {
        (void)db.executeScript("PRAGMA auto_vacuum=INCREMENTAL; VACUUM");
    }
}

}  // namespace

// ---- Statement --------------------------------------------------------------

Statement::Statement(Statement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)),
      prepareRc_(other.prepareRc_),
      text_(std::move(other.text_)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = std::exchange(other.stmt_, nullptr);
        prepareRc_ = other.prepareRc_;
        text_ = std::move(other.text_);
    }
    return *this;
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

int Statement::bindInt(int index, std::int32_t value) noexcept {
    return stmt_ ? sqlite3_bind_int(stmt_, index, value) : SQLITE_MISUSE;
}

int Statement::bindInt64(int index, std::int64_t value) noexcept {
    return stmt_ ? sqlite3_bind_int64(stmt_, index, value) : SQLITE_MISUSE;
}

int Statement::bindBool(int index, bool value) noexcept {
    return bindInt(index, value ? 1 : 0);
}

int Statement::bindDouble(int index, double value) noexcept {
    return stmt_ ? sqlite3_bind_double(stmt_, index, value) : SQLITE_MISUSE;
}

int Statement::bindText(int index, std::string_view value) noexcept {
    // An empty view may have no data at all, which SQLite would bind as NULL.
    const char* data = value.data() != nullptr ? value.data() : "";
    return stmt_ ? sqlite3_bind_text64(stmt_, index, data, value.size(), SQLITE_TRANSIENT,
                                       SQLITE_UTF8)
                 : SQLITE_MISUSE;
}

int Statement::bindBlob(int index, std::span<const std::uint8_t> value) noexcept {
    if (!stmt_) {
        return SQLITE_MISUSE;
    }
    // A blob of no bytes is still a blob, not NULL.
    return value.empty()
               ? sqlite3_bind_zeroblob(stmt_, index, 0)
               : sqlite3_bind_blob64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT);
}

int Statement::bindNull(int index) noexcept {
    return stmt_ ? sqlite3_bind_null(stmt_, index) : SQLITE_MISUSE;
}

int Statement::step() noexcept {
    return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE;
}

bool Statement::run() noexcept {
    int rc;
    while ((rc = step()) == SQLITE_ROW) {
    }
    return rc == SQLITE_DONE;
}

void Statement::reset() noexcept {
    if (stmt_) {
        sqlite3_reset(stmt_);
    }
}

void Statement::clearBindings() noexcept {
    if (stmt_) {
        sqlite3_clear_bindings(stmt_);
    }
}

int Statement::columnCount() const noexcept {
    return stmt_ ? sqlite3_column_count(stmt_) : 0;
}

int Statement::columnType(int column) const noexcept {
    return stmt_ ? sqlite3_column_type(stmt_, column) : SQLITE_NULL;
}

bool Statement::columnIsNull(int column) const noexcept {
    return columnType(column) == SQLITE_NULL;
}

std::int32_t Statement::columnInt(int column) const noexcept {
    return stmt_ ? sqlite3_column_int(stmt_, column) : 0;
}

std::int64_t Statement::columnInt64(int column) const noexcept {
    return stmt_ ? sqlite3_column_int64(stmt_, column) : 0;
}

double Statement::columnDouble(int column) const noexcept {
    return stmt_ ? sqlite3_column_double(stmt_, column) : 0.0;
}

std::string Statement::columnText(int column) const {
    if (!stmt_) {
        return {};
    }
    // The text first, then its length: the order SQLite asks for.
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    const auto n = static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
    return p ? std::string(p, n) : std::string();
}

std::vector<std::uint8_t> Statement::columnBlob(int column) const {
    if (!stmt_) {
        return {};
    }
    const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    const auto n = static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
    return p ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>();
}

// ---- Connection -------------------------------------------------------------

std::unique_ptr<Connection> Connection::open(const std::string& path, int flags, int& rc,
                                             std::string* error) {
    sqlite3* raw = nullptr;
    rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
        if (error != nullptr) {
            *error = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        }
        sqlite3_close_v2(raw);
        return nullptr;
    }
    return std::make_unique<Connection>(Key(), raw);
}

// What keepWalSmall needs at each commit.
struct Connection::WalKeeper {
    std::string path;
    int inlineFrames;
};

Connection::Connection(Key, sqlite3* db) : db_(db) {}

Connection::~Connection() {
    // The keeper goes with this object; the connection itself may outlive it
    // as a zombie until its last statement is finalised.
    sqlite3_wal_hook(db_, nullptr, nullptr);
    // Closes once the last statement is finalised, whichever goes first.
    sqlite3_close_v2(db_);
}

void Connection::keepWalSmall(const std::string& path) noexcept {
    int pageSize = 4096;
    if (Statement s = prepare("PRAGMA page_size"); s.step() == SQLITE_ROW) {
        pageSize = std::max(512, s.columnInt(0));
    }
    const int frameBytes = pageSize + 24;
    walKeeper_ = std::make_unique<WalKeeper>(
        WalKeeper{path, std::max(2, static_cast<int>(kWalInlineCheckpointBytes / frameBytes))});
    (void)executeScript("PRAGMA journal_size_limit=" + std::to_string(kWalSizeLimitBytes));
    // Replaces SQLite's own checkpoint after 1000 pages.
    sqlite3_wal_hook(db_, &Connection::walCommitted, walKeeper_.get());
}

// Runs on the committing thread once its write lock is released.
int Connection::walCommitted(void* keeper, sqlite3* db, const char* name, int frames) {
    auto* k = static_cast<WalKeeper*>(keeper);
    if (frames >= k->inlineFrames) {
        // Copies what it can without waiting (another connection at work:
        // then it answers SQLITE_BUSY at once and the commit stands).
        (void)sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
    return SQLITE_OK;
}

Statement Connection::prepareWith(std::string_view sql, unsigned flags) noexcept {
    sqlite3_stmt* raw = nullptr;
    const int rc =
        sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), flags, &raw, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(raw);
        raw = nullptr;
    }
    // A text without a statement (blank, a comment) prepares to nothing.
    return Statement(raw, raw == nullptr && rc == SQLITE_OK ? SQLITE_MISUSE : rc, std::string(sql));
}

Statement Connection::prepare(std::string_view sql) noexcept {
    return prepareWith(sql, 0);
}

Statement Connection::preparePersistent(std::string_view sql) noexcept {
    return prepareWith(sql, SQLITE_PREPARE_PERSISTENT);
}

Outcome Connection::execute(std::string_view sql) noexcept {
    Statement s = prepare(sql);
    if (!s) {
        return Outcome::NotPrepared;
    }
    return s.run() ? Outcome::Done : Outcome::StepFailed;
}

int Connection::executeScript(const std::string& sql) noexcept {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}

std::string Connection::errorMessage() const {
    return sqlite3_errmsg(db_);
}

std::int64_t Connection::changes() const noexcept {
    return sqlite3_changes64(db_);
}

bool Connection::readOnly() const noexcept {
    return sqlite3_db_readonly(db_, "main") == 1;
}

bool Connection::autocommit() const noexcept {
    return sqlite3_get_autocommit(db_) != 0;
}

void Connection::setBusyTimeout(int millis) noexcept {
    sqlite3_busy_timeout(db_, millis);
}

void Connection::compact() noexcept {
    // On the owner's connection only: a log restarted by another connection
    // of this process would make a read the owner left open fail its next
    // write at once (a stale snapshot), which no busy time-out waits out.
    if (checkpoint(Checkpoint::Truncate) == SQLITE_OK) {
        const std::int64_t before = pragmaNumber(*this, "PRAGMA freelist_count");
        reclaimFreePages(*this, false);
        if (pragmaNumber(*this, "PRAGMA freelist_count") != before) {
            (void)checkpoint(Checkpoint::Truncate);
        }
    }
    // Otherwise a reader or writer elsewhere: the next compaction does it.
}

int Connection::checkpoint(Checkpoint mode) noexcept {
    return sqlite3_wal_checkpoint_v2(
        db_, nullptr,
        mode == Checkpoint::Truncate ? SQLITE_CHECKPOINT_TRUNCATE : SQLITE_CHECKPOINT_PASSIVE,
        nullptr, nullptr);
}

// ---- Transaction ------------------------------------------------------------

Transaction::Transaction(Connection& db, TransactionKind kind) : db_(db), begun_(Status::ok()) {
    const char* sql = kind == TransactionKind::Immediate ? "BEGIN IMMEDIATE" : "BEGIN";
    if (db_.execute(sql) == Outcome::Done) {
        open_ = true;
    } else {
        begun_ = Status::error(db_.errorMessage());
    }
}

Transaction::~Transaction() {
    rollback();
}

Status Transaction::commit() {
    if (!open_) {
        return Status::error(begun_ ? "the transaction has ended" : begun_.message());
    }
    if (db_.execute("COMMIT") != Outcome::Done) {
        Status failed = Status::error(db_.errorMessage());
        // SQLite may already have rolled back (an I/O error, a full disk).
        open_ = !db_.autocommit();
        return failed;
    }
    open_ = false;
    return Status::ok();
}

void Transaction::rollback() noexcept {
    if (open_) {
        open_ = false;
        if (!db_.autocommit()) {
            (void)db_.execute("ROLLBACK");
        }
    }
}

// ---- Quoting ----------------------------------------------------------------

std::string quote(std::string_view value) {
    if (value.find('\0') != std::string_view::npos) {
        std::string out = "CAST(X'";
        text::appendHex(
            out, std::span(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()),
            text::HexCase::Upper);
        return out + "' AS TEXT)";
    }
    std::string out;
    out.reserve(value.size() + 2);
    out += '\'';
    for (char c : value) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    out += '\'';
    return out;
}

std::string quotedList(const std::vector<std::string>& values) {
    std::string out = "( ";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        out += quote(values[i]);
    }
    return out + " )";
}

// ---- Opening a store --------------------------------------------------------

namespace {

// How far opening got: read and writable; read but not writable; not a store
// we can read (moved aside and replaced); cannot be reached at all (a
// permission, disk or locking problem, or something other than a file at its
// path, that a fresh file would not fix).
enum class Result { Ok, ReadOnly, Unreadable, Unavailable };

Result classify(int rc) {
    switch (rc & 0xff) {
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
        case SQLITE_FORMAT:
        case SQLITE_ERROR:  // a database with some other schema
            return Result::Unreadable;
        default:
            return Result::Unavailable;
    }
}

// A failure that means the file or its folder cannot be written, while what
// is in it may still be read.
bool cannotWrite(int rc) {
    return (rc & 0xff) == SQLITE_READONLY || (rc & 0xff) == SQLITE_CANTOPEN ||
           (rc & 0xff) == SQLITE_PERM;
}

using Log = std::function<void(const std::string&)>;

// What a look at one of the store's files found.
struct FileInfo {
    bool exists = false;
    bool regular = true;
    mode_t mode = 0;
    std::uint64_t size = 0;
};

// Looks at a file by its name, without a descriptor of it: another
// connection of this process may have the file open, and closing any
// descriptor of a file drops every lock the process holds on it. A FIFO is
// never opened and a link never followed. A regular file that grants access
// to group or others (written before the store's files were private) loses
// it; the owner's bits stay, so a read-only file stays read-only. `like`,
// when given, is the mode of the database file, which its "-wal" and "-shm"
// take: a read-only connection may have made them while the file was
// read-only, and left so they would keep the store read-only once the file
// is not.
StatusOr<FileInfo> inspect(const std::string& path, const Log& log,
                           std::optional<mode_t> like = std::nullopt) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return FileInfo{};
        }
        return Status::error("can not inspect " + path + ": " + std::strerror(errno));
    }
    if (S_ISLNK(st.st_mode)) {
        return Status::error(path + " is a symbolic link");
    }
    FileInfo info;
    info.exists = true;
    if (!S_ISREG(st.st_mode)) {
        info.regular = false;
        return info;
    }
    if (::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0) {
        return Status::error("can not open " + path + ": " + std::strerror(errno));
    }
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.mode = st.st_mode & 07777;
    mode_t wanted = st.st_mode & 0700;
    if (like.has_value() && (*like & 0200) != 0 && (wanted & 0200) == 0) {
        wanted = *like & 0700;
    }
    if (wanted != info.mode && st.st_uid == ::geteuid() && ::chmod(path.c_str(), wanted) != 0 &&
        errno != EROFS) {
        log("can not make " + path + " private: " + std::strerror(errno));
    }
    return info;
}

// Creates the missing database file 0600 whatever the umask (SQLite would use
// 0644 less the umask). A file someone else made meanwhile is left alone: it
// is never opened here (see inspect).
Status createPrivateFile(const std::string& path) {
    const int fd = ::open(path.c_str(),
                          O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        return errno == EEXIST
                   ? Status::ok()
                   : Status::error("can not create " + path + ": " + std::strerror(errno));
    }
    // Nothing else can hold a lock on a file this call just made.
    const bool ok = ::fchmod(fd, 0600) == 0;
    const int err = errno;
    ::close(fd);
    return ok ? Status::ok()
              : Status::error("can not set the mode of " + path + ": " + std::strerror(err));
}

// A file name as an SQLite URI path: every byte outside the unreserved set
// is percent-encoded, so '?', '#' and '%' in a name stay part of it.
std::string uriPath(const std::string& path) {
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) != 0 || c == '/' || c == '.' || c == '-' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            text::appendHex(out, std::span(&c, 1), text::HexCase::Upper);
        }
    }
    return out;
}

// Whether SQLite takes the file for a database: SQLITE_OK, or its answer
// with the reason in `why`. Asked on a read-only connection: one opened to
// write on a file SQLite refuses would replay and delete the "-wal" beside
// it on the way, and the log is part of what gets moved aside; a read-only
// one leaves the log as it is. It reads under SQLite's locks, so a writer
// elsewhere is never caught half way. Only the header and the schema's
// version are read; damage further in is found by the store's own
// connection.
int databaseCheck(const std::string& path, std::string& why) {
    int rc = SQLITE_OK;
    auto probe = Connection::open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, rc, &why);
    if (!probe) {
        return rc;
    }
    Statement version = probe->prepare("PRAGMA schema_version");
    rc = version ? version.step() : version.prepareResult();
    if (rc == SQLITE_ROW) {
        return SQLITE_OK;
    }
    why = probe->errorMessage();
    return rc;
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// Renames `from` to `to` when it exists.
bool renameIfPresent(const std::string& from, const std::string& to, const Log& log) {
    if (std::rename(from.c_str(), to.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    log("can not move " + from + " to " + to + ": " + std::strerror(errno));
    return false;
}

// Moves the file with its write-ahead log and shared-memory index to
// "<file>.corrupt-<epoch millis>" (keeping SQLite's "-wal"/"-shm" suffixes so
// the three still open together for a post-mortem).
bool moveAside(const std::string& path, std::string& movedTo, const Log& log) {
    const std::string base = path + ".corrupt-" + std::to_string(wallMillis());
    movedTo = base;
    for (int n = 1; exists(movedTo) || exists(movedTo + "-wal"); ++n) {
        movedTo = base + "." + std::to_string(n);
    }
    // The log goes first: a fresh file must never meet an old log, which
    // SQLite would replay into it.
    return renameIfPresent(path + "-wal", movedTo + "-wal", log) &&
           renameIfPresent(path + "-shm", movedTo + "-shm", log) &&
           renameIfPresent(path, movedTo, log);
}

class Opener {
  public:
    Opener(const std::string& path, const StoreOptions& options) : path_(path), options_(options) {
        log_ = options.log ? options.log : Log([](const std::string& line) {
            SystemLog::log(LogLevel::warning, "SQLite :: " + line);
        });
    }

    OpenedStore open() {
        OpenedStore out;
        std::string why;
        Result result = attempt(why);
        if (result == Result::Unreadable) {
            connection_.reset();
            std::string movedTo;
            if (moveAside(path_, movedTo, log_)) {
                out.damage = why;
                out.movedTo = movedTo;
                result = attempt(why);
            } else {
                why = "unreadable and can not be moved aside: " + why;
                result = Result::Unavailable;
            }
        }
        if (result == Result::ReadOnly) {
            connection_.reset();
            std::string readWhy;
            if (readOnly(readWhy)) {
                out.mode = OpenedStore::Mode::ReadOnly;
                out.why = why;
                out.connection = std::move(connection_);
                return out;
            }
            why += "; reading it: " + readWhy;
            result = Result::Unavailable;
        }
        if (result != Result::Ok) {
            connection_.reset();
            out.mode = OpenedStore::Mode::Unavailable;
            out.why = why;
            return out;
        }
        out.mode = OpenedStore::Mode::ReadWrite;
        out.connection = std::move(connection_);
        return out;
    }

  private:
    Result fail(int rc, std::string& why) {
        why = connection_ ? connection_->errorMessage() : sqlite3_errstr(rc);
        return classify(rc);
    }

    // Looks at the files before SQLite does. Anything that is not a regular
    // file is refused (SQLite would block on a FIFO) or taken for damage; an
    // empty or missing file beside a non-empty "-wal" is damage (SQLite would
    // take it for a new store and delete the log, which holds everything a
    // young store has); a missing file is created private.
    Result checkFiles(std::string& why) {
        auto main = inspect(path_, log_);
        const std::optional<mode_t> like =
            main && main->exists && main->regular ? std::optional(main->mode) : std::nullopt;
        auto wal = inspect(path_ + "-wal", log_, like);
        auto shm = inspect(path_ + "-shm", log_, like);
        for (const auto* file : {&wal, &shm, &main}) {
            if (!*file) {
                why = file->status().message();
                return Result::Unavailable;
            }
        }
        for (const auto& [file, name] : {std::pair{&main, path_}, std::pair{&wal, path_ + "-wal"},
                                         std::pair{&shm, path_ + "-shm"}}) {
            if (!(*file)->regular) {
                why = name + " is not a regular file";
                return options_.nonRegular == NonRegularFile::MoveAside ? Result::Unreadable
                                                                        : Result::Unavailable;
            }
        }
        if (main->size == 0 && wal->size > 0) {
            why = std::string(main->exists ? "empty" : "no") +
                  " database file beside a write-ahead log of " + std::to_string(wal->size) +
                  " bytes";
            return Result::Unreadable;
        }
        newFile_ = main->size == 0;
        if (main->size > 0) {
            const int rc = databaseCheck(path_, why);
            // Any other answer (a busy or unwritable store) is the store's
            // own connection's to meet.
            if ((rc & 0xff) == SQLITE_NOTADB || (rc & 0xff) == SQLITE_CORRUPT) {
                why = "not a database file";
                return Result::Unreadable;
            }
        }
        if (!main->exists) {
            // Its "-wal" and "-shm" take the file's mode.
            if (Status created = createPrivateFile(path_); !created) {
                why = created.message();
                return Result::Unavailable;
            }
        }
        return Result::Ok;
    }

    Result attempt(std::string& why) {
        connection_.reset();
        if (Result checked = checkFiles(why); checked != Result::Ok) {
            return checked;
        }
        int rc = SQLITE_OK;
        connection_ = Connection::open(
            path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | options_.threading, rc, &why);
        if (rc != SQLITE_OK) {
            return classify(rc);
        }
        // SQLite falls back to reading a file it may not write.
        if (connection_->readOnly()) {
            why = "the file is read-only";
            return Result::ReadOnly;
        }
        connection_->setBusyTimeout(options_.busyTimeoutMillis);
        // WAL with synchronous=NORMAL: a committed write is in the log file
        // when the commit returns, so it survives the process being killed;
        // only a power loss could take the last writes.
        // A new store can give unused pages back in place. Only a new one:
        // on a store with tables, setting it would rewrite the first page.
        if (newFile_ &&
            (rc = connection_->executeScript("PRAGMA auto_vacuum=INCREMENTAL")) != SQLITE_OK) {
            const Result failed = fail(rc, why);
            return cannotWrite(rc) ? Result::ReadOnly : failed;
        }
        const std::string setupSql[] = {
            "PRAGMA journal_mode=WAL",
            "PRAGMA synchronous=NORMAL",
        };
        for (const std::string& sql : setupSql) {
            if ((rc = connection_->executeScript(sql)) != SQLITE_OK) {
                // A folder that cannot be written keeps SQLite from making its log.
                const Result failed = fail(rc, why);
                return cannotWrite(rc) ? Result::ReadOnly : failed;
            }
        }
        if (options_.setup && (rc = options_.setup(*connection_)) != SQLITE_OK) {
            const Result failed = fail(rc, why);
            return cannotWrite(rc) ? Result::ReadOnly : failed;
        }
        connection_->keepWalSmall(path_);
        // A log left large by an earlier run is cut back now. Without waiting:
        // when another connection is busy with the file, this is skipped and
        // the size limit applies at a later checkpoint.
        connection_->setBusyTimeout(0);
        reclaimFreePages(*connection_, true);
        (void)connection_->checkpoint(Checkpoint::Truncate);
        connection_->setBusyTimeout(options_.busyTimeoutMillis);
        return Result::Ok;
    }

    // Reads a store whose file or folder cannot be written. Without write
    // access SQLite can neither create the "-wal" and "-shm" nor read a WAL
    // store without them; when there is no log with content, the file alone
    // holds everything and is read as it is.
    bool readOnly(std::string& why) {
        const int flags = SQLITE_OPEN_READONLY | options_.threading;
        int rc = SQLITE_OK;
        connection_ = Connection::open(path_, flags, rc, &why);
        if (rc == SQLITE_OK && options_.setup) {
            rc = options_.setup(*connection_);
        }
        if (cannotWrite(rc)) {
            auto wal = inspect(path_ + "-wal", log_);
            if (wal && wal->size == 0) {
                connection_ = Connection::open("file:" + uriPath(path_) + "?immutable=1",
                                               flags | SQLITE_OPEN_URI, rc, &why);
                if (rc == SQLITE_OK && options_.setup) {
                    rc = options_.setup(*connection_);
                }
            }
        }
        if (rc != SQLITE_OK) {
            fail(rc, why);
            connection_.reset();
            return false;
        }
        return true;
    }

    const std::string& path_;
    const StoreOptions& options_;
    Log log_;
    std::unique_ptr<Connection> connection_;
    // The file was missing or empty when last looked at.
    bool newFile_ = false;
};

}  // namespace

OpenedStore openStore(const std::string& path, const StoreOptions& options) {
    return Opener(path, options).open();
}

std::vector<std::string> describe(const OpenedStore& opened, const std::string& path,
                                  const std::string& what) {
    std::vector<std::string> lines;
    if (opened.damage.has_value()) {
        lines.push_back(what + " is unreadable (" + *opened.damage + "); moved " + path + " to " +
                        opened.movedTo + " and starting an empty one");
    }
    if (opened.mode == OpenedStore::Mode::ReadOnly) {
        lines.push_back(what + " at " + path + " can not be written (" + opened.why +
                        "); it is only read");
    } else if (opened.mode == OpenedStore::Mode::Unavailable) {
        lines.push_back("can not open " + what + " at " + path + " (" + opened.why + ")");
    }
    return lines;
}

// ---- CommitWatch -----------------------------------------------------------

std::unique_ptr<CommitWatch> CommitWatch::open(const std::string& databasePath) {
    const std::string log = databasePath + "-wal";
    struct stat st {};
    if (::lstat(log.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return nullptr;
    }
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    // A write or a truncation changes the content; a removal or a rename ends
    // what the watch can see. Changes of owner or mode are not asked for: a
    // connection that opens the log as root sets its owner each time.
    if (::inotify_add_watch(fd, log.c_str(),
                            IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW) < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<CommitWatch>(Key(), fd, log, st.st_dev, st.st_ino);
}

CommitWatch::~CommitWatch() {
    ::close(fd_);
}

std::optional<std::uint64_t> CommitWatch::mark() const noexcept {
    // Reports are looked for before the number is read: a settle() takes its
    // number before it takes the reports, so one that took a report this
    // call would have seen has always moved the number on.
    int pending = 0;
    if (lost_.load() || ::ioctl(fd_, FIONREAD, &pending) != 0 || pending > 0) {
        return std::nullopt;
    }
    return generation_.load();
}

void CommitWatch::drain() noexcept {
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
            struct inotify_event event {};
            std::memcpy(&event, buffer + at, sizeof event);
            if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) != 0) {
                lost_.store(true);
            }
            at += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
    // A log removed while SQLite still holds it open is reported only once
    // the last descriptor of it goes: its name tells it at once.
    struct stat st {};
    if (::lstat(log_.c_str(), &st) != 0 || st.st_dev != device_ || st.st_ino != inode_) {
        lost_.store(true);
    }
}

std::optional<std::uint64_t> CommitWatch::settle(Connection& db,
                                                 const std::function<bool()>& read) {
    // With the write lock held no commit is half done: each one before it
    // is visible to `read`, and its report already queued.
    if (db.execute("BEGIN IMMEDIATE") != Outcome::Done) {
        return std::nullopt;
    }
    const std::uint64_t mark = generation_.fetch_add(1) + 1;
    drain();
    const bool ok = read();
    // Nothing was written: ending the transaction writes nothing to the log.
    if (db.execute("COMMIT") != Outcome::Done && !db.autocommit()) {
        (void)db.execute("ROLLBACK");
    }
    if (!ok || lost_.load()) {
        return std::nullopt;
    }
    return mark;
}

}  // namespace sorvel::platform::sqlite
