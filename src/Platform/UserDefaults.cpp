#include "Platform/UserDefaults.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Base/Hex.h"
#include "Base/Status.h"
#include "Base/ValueCodec.h"
#include "Platform/Clock.h"
#include "Platform/FileSystem.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform {

namespace {

// Preferences are small; anything this large is a caller's mistake and would
// also sit in every process's memory through the read cache.
constexpr std::size_t kMaxEncodedValueBytes = 16u << 20;

// How long a statement waits for a lock that another connection to the same
// file holds before it fails.
constexpr int kBusyTimeoutMillis = 5000;

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS kv (key TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) "
    "WITHOUT ROWID";

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

void log(const std::string& line) {
    SystemLog::write("UserDefaults :: " + line);
}

// How far opening got: the store is read and writable; it is read but its
// file cannot be written; the file is not a store we can read (moved aside and
// replaced); or the store cannot be reached at all (a permission, disk or
// locking problem, or something other than a file at its path, that a fresh
// file would not fix).
enum class OpenResult { Ok, ReadOnly, Unreadable, Unavailable };

OpenResult classify(int rc) {
    switch (rc & 0xff) {
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
        case SQLITE_FORMAT:
        case SQLITE_ERROR:  // a database with some other schema
            return OpenResult::Unreadable;
        default:
            return OpenResult::Unavailable;
    }
}

// A failure that means the file or its folder cannot be written, while the
// values in it may still be read.
bool cannotWrite(int rc) {
    return (rc & 0xff) == SQLITE_READONLY || (rc & 0xff) == SQLITE_CANTOPEN ||
           (rc & 0xff) == SQLITE_PERM;
}

// Renames `from` to `to` when it exists.
bool renameIfPresent(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    log("can not move " + from + " to " + to + ": " + std::strerror(errno));
    return false;
}

// What a look at one of the store's files found.
struct FileInfo {
    bool exists = false;
    std::uint64_t size = 0;
    std::string head;  // the first bytes, when asked for
};

// Looks at a file without any call that can wait: O_NONBLOCK, so a FIFO does
// not wait for a writer, and O_NOFOLLOW. Anything but a regular file is
// refused. A file that grants access to group or others (written before the
// store's files were private) loses it; the owner's bits stay, so a read-only
// file stays read-only.
StatusOr<FileInfo> inspect(const std::string& path, std::size_t headBytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return FileInfo{};
        }
        return Status::error(errno == ELOOP ? path + " is a symbolic link"
                                            : "can not open " + path + ": " + std::strerror(errno));
    }
    FileInfo info;
    info.exists = true;
    std::string error;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = "can not inspect " + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
    } else {
        info.size = static_cast<std::uint64_t>(st.st_size);
        if ((st.st_mode & 077) != 0 && st.st_uid == ::geteuid() &&
            ::fchmod(fd, st.st_mode & 0700) != 0 && errno != EROFS) {
            log("can not make " + path + " private: " + std::strerror(errno));
        }
        info.head.resize(std::min<std::uint64_t>(headBytes, info.size));
        const ssize_t n = ::pread(fd, info.head.data(), info.head.size(), 0);
        if (n < 0) {
            error = "can not read " + path + ": " + std::strerror(errno);
        } else {
            info.head.resize(static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    if (!error.empty()) {
        return Status::error(error);
    }
    return info;
}

// SQLite is never handed a file whose header it would refuse: it would still
// create, replay and delete the "-wal" beside it on the way, and that log is
// part of what gets moved aside. Checks what SQLite checks before it answers
// "not a database"; damage further in is found by SQLite itself.
constexpr std::size_t kHeaderBytes = 100;
bool headerLooksValid(const std::string& head) {
    if (head.empty()) {
        return true;  // an empty file is an empty database
    }
    const auto* h = reinterpret_cast<const unsigned char*>(head.data());
    if (head.size() < kHeaderBytes || std::memcmp(h, "SQLite format 3", 16) != 0) {
        return false;
    }
    const unsigned pageSize = h[16] == 0 && h[17] == 1 ? 65536u : (h[16] << 8 | h[17]);
    const bool powerOfTwo = (pageSize & (pageSize - 1)) == 0;
    return powerOfTwo && pageSize >= 512 && pageSize - h[20] >= 480 && (h[18] == 1 || h[18] == 2) &&
           (h[19] == 1 || h[19] == 2) && h[21] == 64 && h[22] == 32 && h[23] == 32;
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

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

class SqliteUserDefaults final : public UserDefaults {
  public:
    SqliteUserDefaults(std::string suite, std::string path)
        : suite_(std::move(suite)), path_(std::move(path)) {}

    // Reads the store from its file the first time; later calls return at
    // once (or wait for the first to finish).
    void openOnce() {
        MutexLock file(fileMu_);
        MutexLock lock(mu_);
        if (opened_) {
            return;
        }
        opened_ = true;
        std::string why;
        OpenResult result = open(why);
        if (result == OpenResult::Unreadable) {
            close();
            std::string movedTo;
            if (moveAside(movedTo)) {
                log("store of suite '" + suite_ + "' is unreadable (" + why + "); moved " + path_ +
                    " to " + movedTo + " and starting an empty store");
                result = open(why);
            } else {
                why = "unreadable and can not be moved aside: " + why;
                result = OpenResult::Unavailable;
            }
        }
        if (result == OpenResult::ReadOnly) {
            close();
            std::string readWhy;
            result = readOnly(readWhy);
            if (result == OpenResult::Ok) {
                log("store " + path_ + " can not be written (" + why + "); suite '" + suite_ +
                    "' is read from it and changes are kept in memory only");
                return;
            }
            why += "; reading it: " + readWhy;
        }
        if (result != OpenResult::Ok) {
            close();
            log("can not open store " + path_ + " (" + why + "); suite '" + suite_ +
                "' is kept in memory only");
        }
    }

    std::optional<Value> get(const std::string& key) const override {
        MutexLock lock(mu_);
        auto it = cache_.find(key);
        if (it == cache_.end()) {
            return std::nullopt;
        }
        return it->second;
    }

    bool set(const std::string& key, const std::optional<Value>& value) override {
        if (!value.has_value()) {
            return remove(key);
        }
        auto encoded = encodeForStore(key, *value);
        if (!encoded.has_value()) {
            return false;
        }
        return write(key, value, &*encoded);
    }

    std::vector<bool> setAll(const std::vector<Change>& changes) override {
        if (changes.size() == 1) {
            return {set(changes[0].first, changes[0].second)};
        }
        std::vector<std::optional<Value::Bytes>> blobs(changes.size());
        std::vector<bool> accepted(changes.size(), true);
        for (std::size_t i = 0; i < changes.size(); ++i) {
            if (changes[i].second.has_value()) {
                blobs[i] = encodeForStore(changes[i].first, *changes[i].second);
                accepted[i] = blobs[i].has_value();
            }
        }
        std::optional<Status> stored;  // none: the store has no file
        {
            MutexLock file(fileMu_);
            if (upsert_ && remove_ && begin_ && commit_ && rollback_) {
                stored = Status::ok();
                if (sqlite3_step(begin_.get()) != SQLITE_DONE) {
                    stored = Status::error(sqlite3_errmsg(db_.get()));
                }
                sqlite3_reset(begin_.get());
                for (std::size_t i = 0; i < changes.size() && stored->isOk(); ++i) {
                    if (accepted[i]) {
                        const bool present = changes[i].second.has_value();
                        stored = step(present ? upsert_.get() : remove_.get(), changes[i].first,
                                      present ? &*blobs[i] : nullptr);
                    }
                }
                if (stored->isOk() && sqlite3_step(commit_.get()) != SQLITE_DONE) {
                    stored = Status::error(sqlite3_errmsg(db_.get()));
                }
                sqlite3_reset(commit_.get());
                if (!stored->isOk() && sqlite3_get_autocommit(db_.get()) == 0) {
                    sqlite3_step(rollback_.get());
                    sqlite3_reset(rollback_.get());
                }
            }
            MutexLock lock(mu_);
            for (std::size_t i = 0; i < changes.size(); ++i) {
                if (!accepted[i]) {
                    continue;
                }
                if (changes[i].second.has_value()) {
                    cache_.insert_or_assign(changes[i].first, *changes[i].second);
                } else {
                    cache_.erase(changes[i].first);
                }
            }
        }
        if (stored.has_value() && !stored->isOk()) {
            log("can not save " + std::to_string(changes.size()) + " changes of suite '" + suite_ +
                "' (" + stored->message() + "); the values last until the app exits");
        }
        std::vector<bool> out(changes.size());
        for (std::size_t i = 0; i < changes.size(); ++i) {
            out[i] = accepted[i] && stored.has_value() && stored->isOk();
        }
        return out;
    }

    bool remove(const std::string& key) override { return write(key, std::nullopt, nullptr); }

    std::vector<std::string> keys() const override {
        MutexLock lock(mu_);
        std::vector<std::string> out;
        out.reserve(cache_.size());
        for (const auto& [k, v] : cache_) {
            out.push_back(k);
        }
        return out;
    }

    std::map<std::string, Value> snapshot() const override {
        MutexLock lock(mu_);
        return cache_;
    }

    const std::string& path() const override { return path_; }

  private:
    // The stored bytes of a value, or nothing (logged) when it is refused.
    std::optional<Value::Bytes> encodeForStore(const std::string& key, const Value& value) const {
        auto encoded = ValueCodec::encode(value);
        if (!encoded.has_value()) {
            log("value for key '" + key + "' of suite '" + suite_ +
                "' nests too deeply; not saved");
            return std::nullopt;
        }
        if (encoded->size() > kMaxEncodedValueBytes) {
            log("value for key '" + key + "' of suite '" + suite_ + "' takes " +
                std::to_string(encoded->size()) + " bytes, over the limit of " +
                std::to_string(kMaxEncodedValueBytes) + "; not saved");
            return std::nullopt;
        }
        return encoded;
    }

    // Runs a prepared write with the key as ?1 and, when given, the blob as ?2,
    // and leaves the statement ready for its next use.
    Status step(sqlite3_stmt* s, const std::string& key, const Value::Bytes* blob)
        EXCLUSIVE_LOCKS_REQUIRED(fileMu_) {
        sqlite3_bind_text(s, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
        if (blob != nullptr) {
            sqlite3_bind_blob(s, 2, blob->data(), static_cast<int>(blob->size()), SQLITE_STATIC);
        }
        Status result = sqlite3_step(s) == SQLITE_DONE ? Status::ok()
                                                       : Status::error(sqlite3_errmsg(db_.get()));
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        return result;
    }

    // Stores the value (encoded as `blob`) or, when absent, removes the key:
    // in the file when the store has one, and in the cache. True once the
    // change is in the file; a failed file write is logged and the cache still
    // changes, so the value lasts until the app exits.
    bool write(const std::string& key, const std::optional<Value>& value,
               const Value::Bytes* blob) {
        std::optional<Status> stored;  // none: the store has no file
        {
            // Readers wait only for the cache, never for the commit.
            MutexLock file(fileMu_);
            if (sqlite3_stmt* s = value.has_value() ? upsert_.get() : remove_.get()) {
                stored = step(s, key, blob);
            }
            MutexLock lock(mu_);
            if (value.has_value()) {
                cache_.insert_or_assign(key, *value);
            } else {
                cache_.erase(key);
            }
        }
        if (stored.has_value() && !stored->isOk()) {
            log(std::string("can not ") + (value.has_value() ? "save" : "remove") + " key '" + key +
                "' of suite '" + suite_ + "' (" + stored->message() + ")" +
                (value.has_value() ? "; the value lasts until the app exits" : ""));
        }
        return stored.has_value() && stored->isOk();
    }

    OpenResult fail(int rc, std::string& why) EXCLUSIVE_LOCKS_REQUIRED(fileMu_, mu_) {
        why = db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(rc);
        return classify(rc);
    }

    Statement prepare(const char* sql, int& rc) EXCLUSIVE_LOCKS_REQUIRED(fileMu_, mu_) {
        sqlite3_stmt* raw = nullptr;
        rc = sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
        return Statement(raw);
    }

    // Looks at the files before SQLite does. A FIFO or anything else that is
    // not a regular file is refused (SQLite would block on it); an empty or
    // missing file beside a non-empty "-wal" is damage (SQLite would take it
    // for a new store and delete the log, which holds every value of a young
    // store); a missing file is created private.
    OpenResult checkFiles(std::string& why) EXCLUSIVE_LOCKS_REQUIRED(fileMu_, mu_) {
        auto wal = inspect(path_ + "-wal", 0);
        auto shm = inspect(path_ + "-shm", 0);
        auto main = inspect(path_, kHeaderBytes);
        for (const auto* file : {&wal, &shm, &main}) {
            if (!*file) {
                why = file->status().message();
                return OpenResult::Unavailable;
            }
        }
        if (main->size == 0 && wal->size > 0) {
            why = std::string(main->exists ? "empty" : "no") +
                  " database file beside a write-ahead log of " + std::to_string(wal->size) +
                  " bytes";
            return OpenResult::Unreadable;
        }
        if (!headerLooksValid(main->head)) {
            why = "not a database file";
            return OpenResult::Unreadable;
        }
        if (!main->exists) {
            // Created here, 0600 whatever the umask (SQLite would use 0644
            // less the umask); its "-wal" and "-shm" take the file's mode.
            if (Status created = ensurePrivateFile(path_); !created) {
                why = created.message();
                return OpenResult::Unavailable;
            }
        }
        return OpenResult::Ok;
    }

    int connect(const std::string& name, int flags) EXCLUSIVE_LOCKS_REQUIRED(fileMu_, mu_) {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(name.c_str(), &raw,
                                       flags | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
        db_.reset(raw);
        return rc;
    }

    OpenResult open(std::string& why) EXCLUSIVE_LOCKS_REQUIRED(fileMu_, mu_) {
        if (OpenResult checked = checkFiles(why); checked != OpenResult::Ok) {
            return checked;
        }
        int rc = connect(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        if (rc != SQLITE_OK) {
            return fail(rc, why);
        }
        // SQLite falls back to reading a file it may not write.
        if (sqlite3_db_readonly(db_.get(), "main") == 1) {
            why = "the file is read-only";
            return OpenResult::ReadOnly;
        }
        // Another connection to the same file (a second process, or an instance
        // still held after a reset) only ever holds the lock for one statement.
        sqlite3_busy_timeout(db_.get(), kBusyTimeoutMillis);
        // WAL with synchronous=NORMAL: a committed write is in the log file
        // when set() returns, so it survives the process being killed; only a
        // power loss could take the last writes.
        static constexpr const char* kSetup[] = {
            "PRAGMA journal_mode=WAL",
            "PRAGMA synchronous=NORMAL",
            kCreateTable,
        };
        for (const char* sql : kSetup) {
            if ((rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr)) != SQLITE_OK) {
                // A folder that cannot be written keeps SQLite from making its log.
                const OpenResult failed = fail(rc, why);
                return cannotWrite(rc) ? OpenResult::ReadOnly : failed;
            }
        }
        if ((rc = load()) != SQLITE_OK) {
            return fail(rc, why);
        }
        upsert_ = prepare("INSERT OR REPLACE INTO kv (key, value) VALUES (?1, ?2)", rc);
        if (rc == SQLITE_OK) {
            remove_ = prepare("DELETE FROM kv WHERE key = ?1", rc);
        }
        if (rc == SQLITE_OK) {
            begin_ = prepare("BEGIN IMMEDIATE", rc);
        }
        if (rc == SQLITE_OK) {
            commit_ = prepare("COMMIT", rc);
        }
        if (rc == SQLITE_OK) {
            rollback_ = prepare("ROLLBACK", rc);
        }
        if (rc != SQLITE_OK) {
            cache_.clear();
            return fail(rc, why);
        }
        return OpenResult::Ok;
    }

    // Reads the values of a store whose file or folder cannot be written, and
    // closes it again: the values are served from the cache and changes stay
    // in memory. Without write access SQLite can neither create the "-wal" and
    // "-shm" nor read a WAL store without them; when there is no log with
    // content, the file alone holds every value and is read as it is.
    OpenResult readOnly(std::string& why) EXCLUSIVE_LOCKS_REQUIRED(fileMu_, mu_) {
        int rc = connect(path_, SQLITE_OPEN_READONLY);
        if (rc == SQLITE_OK) {
            rc = load();
        }
        if (cannotWrite(rc)) {
            auto wal = inspect(path_ + "-wal", 0);
            if (wal && wal->size == 0) {
                close();
                rc = connect("file:" + uriPath(path_) + "?immutable=1",
                             SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
                if (rc == SQLITE_OK) {
                    rc = load();
                }
            }
        }
        OpenResult result = OpenResult::Ok;
        if (rc != SQLITE_OK) {
            fail(rc, why);
            result = OpenResult::Unavailable;
        }
        close();
        return result;
    }

    // Fills the cache from the open database. A store without the table (an
    // empty file opened read-only) has no values.
    int load() EXCLUSIVE_LOCKS_REQUIRED(fileMu_, mu_) {
        int rc = SQLITE_OK;
        cache_.clear();
        Statement table =
            prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'kv'", rc);
        if (rc != SQLITE_OK) {
            return rc;
        }
        if ((rc = sqlite3_step(table.get())) != SQLITE_ROW) {
            return rc == SQLITE_DONE ? SQLITE_OK : rc;
        }
        Statement select = prepare("SELECT key, value FROM kv", rc);
        if (rc != SQLITE_OK) {
            return rc;
        }
        while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
            const auto* k = static_cast<const char*>(sqlite3_column_blob(select.get(), 0));
            std::string key(k ? k : "",
                            static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 0)));
            std::optional<Value> value;
            if (sqlite3_column_type(select.get(), 1) == SQLITE_BLOB) {
                const auto* v =
                    static_cast<const std::uint8_t*>(sqlite3_column_blob(select.get(), 1));
                value = ValueCodec::decode(
                    {v, static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 1))});
            }
            if (!value.has_value()) {
                log("stored value of key '" + key + "' in suite '" + suite_ +
                    "' can not be read; ignoring it");
                continue;
            }
            cache_.emplace(std::move(key), std::move(*value));
        }
        if (rc != SQLITE_DONE) {
            cache_.clear();
            return rc;
        }
        return SQLITE_OK;
    }

    void close() EXCLUSIVE_LOCKS_REQUIRED(fileMu_, mu_) {
        upsert_.reset();
        remove_.reset();
        begin_.reset();
        commit_.reset();
        rollback_.reset();
        db_.reset();
    }

    // Moves the file with its write-ahead log and shared-memory index to
    // "<file>.corrupt-<epoch millis>" (keeping SQLite's "-wal"/"-shm" suffixes
    // so the three still open together for a post-mortem).
    bool moveAside(std::string& movedTo) EXCLUSIVE_LOCKS_REQUIRED(fileMu_, mu_) {
        const std::string base = path_ + ".corrupt-" + std::to_string(wallMillis());
        movedTo = base;
        for (int n = 1; exists(movedTo) || exists(movedTo + "-wal"); ++n) {
            movedTo = base + "." + std::to_string(n);
        }
        // The log goes first: a fresh file must never meet an old log, which
        // SQLite would replay into it.
        return renameIfPresent(path_ + "-wal", movedTo + "-wal") &&
               renameIfPresent(path_ + "-shm", movedTo + "-shm") && renameIfPresent(path_, movedTo);
    }

    const std::string suite_;
    const std::string path_;
    // The connection and its statements; held across a commit. Writes take
    // mu_ too, inside it, to change the cache.
    Mutex fileMu_ ACQUIRED_BEFORE(mu_);
    // The cache every read is served from.
    mutable Mutex mu_;
    // Declared before the statements so that they are finalized first.
    DbHandle db_ GUARDED_BY(fileMu_);
    Statement upsert_ GUARDED_BY(fileMu_);
    Statement remove_ GUARDED_BY(fileMu_);
    Statement begin_ GUARDED_BY(fileMu_);
    Statement commit_ GUARDED_BY(fileMu_);
    Statement rollback_ GUARDED_BY(fileMu_);
    std::map<std::string, Value> cache_ GUARDED_BY(mu_);
    bool opened_ GUARDED_BY(fileMu_) = false;
};

// One instance per store file, i.e. per (home folder, suite name).
class Registry {
  public:
    static Registry& shared() {
        // Never destroyed: SDK threads may still open suites while the process exits.
        static NoDestructor<Registry> r;
        return r.get();
    }

    std::shared_ptr<UserDefaults> get(const std::string& suite, const std::string& file) {
        std::shared_ptr<SqliteUserDefaults> defaults;
        {
            MutexLock lock(mu_);
            auto& slot = suites_[file];
            if (!slot) {
                slot = std::make_shared<SqliteUserDefaults>(suite, file);
            }
            defaults = slot;
        }
        // Opening reads the file and may wait for another connection's lock;
        // callers of other suites must not wait for that.
        defaults->openOnce();
        return defaults;
    }

    Registry() {
        registerResetHook([] {
            std::map<std::string, std::shared_ptr<SqliteUserDefaults>> dropped;
            Registry& r = shared();
            MutexLock lock(r.mu_);
            dropped.swap(r.suites_);
        });
    }

  private:
    Mutex mu_;
    std::map<std::string, std::shared_ptr<SqliteUserDefaults>> suites_ GUARDED_BY(mu_);
};

// A suite name becomes a file name: path separators and NULs cannot be part
// of it, and "", "." and ".." would name something else.
std::string fileNameFor(const std::string& suite) {
    std::string name = suite;
    for (char& c : name) {
        if (c == '/' || c == '\0') {
            c = '_';
        }
    }
    if (name.empty() || name == "." || name == "..") {
        name = "_" + name;
    }
    if (name != suite) {
        log("suite name '" + suite + "' is not a file name; stored as '" + name + "'");
    }
    return name;
}

}  // namespace

std::vector<bool> UserDefaults::setAll(const std::vector<Change>& changes) {
    std::vector<bool> out;
    out.reserve(changes.size());
    for (const auto& [key, value] : changes) {
        out.push_back(set(key, value));
    }
    return out;
}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
    const std::string file =
        std::filesystem::path(preferencesFolder() + "/" + fileNameFor(name) + ".sqlite")
            .lexically_normal()
            .string();
    return Registry::shared().get(name, file);
}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    return suite("standard");
}

}  // namespace sorvel::platform
