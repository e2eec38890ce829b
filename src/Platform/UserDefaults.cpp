#include "Platform/UserDefaults.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Base/Status.h"
#include "Base/ValueCodec.h"
#include "Platform/Clock.h"
#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/NoDestructor.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform {

namespace {

// Preferences are small; anything this large is a caller's mistake and would
// also sit in every process's memory through the read cache.
constexpr std::size_t kMaxEncodedValueBytes = 16u << 20;

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

// Whether a failure while opening means the file is not a store we can read
// (moved aside and replaced) or that the store cannot be reached at all (a
// permission, disk or locking problem that a fresh file would not fix).
enum class OpenResult { Ok, Unreadable, Unavailable };

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

// Renames `from` to `to` when it exists.
bool renameIfPresent(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    log("can not move " + from + " to " + to + ": " + std::strerror(errno));
    return false;
}

// SQLite is never handed a file whose header it would refuse: it would still
// create, replay and delete the "-wal" beside it on the way, and that log is
// part of what gets moved aside. Checks what SQLite checks before it answers
// "not a database"; damage further in is found by SQLite itself.
bool headerLooksValid(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return true;  // missing (a new store) or not readable: SQLite reports which
    }
    unsigned char h[100];
    const std::size_t n = std::fread(h, 1, sizeof h, f);
    std::fclose(f);
    if (n == 0) {
        return true;  // an empty file is an empty database
    }
    if (n < sizeof h || std::memcmp(h, "SQLite format 3", 16) != 0) {
        return false;
    }
    const unsigned pageSize = h[16] == 0 && h[17] == 1 ? 65536u : (h[16] << 8 | h[17]);
    const bool powerOfTwo = (pageSize & (pageSize - 1)) == 0;
    return powerOfTwo && pageSize >= 512 && pageSize - h[20] >= 480 && (h[18] == 1 || h[18] == 2) &&
           (h[19] == 1 || h[19] == 2) && h[21] == 64 && h[22] == 32 && h[23] == 32;
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

class SqliteUserDefaults final : public UserDefaults {
  public:
    SqliteUserDefaults(std::string suite, std::string path)
        : suite_(std::move(suite)), path_(std::move(path)) {
        MutexLock lock(mu_);
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
        auto encoded = ValueCodec::encode(*value);
        if (!encoded.has_value()) {
            log("value for key '" + key + "' of suite '" + suite_ +
                "' nests too deeply; not saved");
            return false;
        }
        if (encoded->size() > kMaxEncodedValueBytes) {
            log("value for key '" + key + "' of suite '" + suite_ + "' takes " +
                std::to_string(encoded->size()) + " bytes, over the limit of " +
                std::to_string(kMaxEncodedValueBytes) + "; not saved");
            return false;
        }
        return write(key, value, &*encoded);
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
    // Runs a prepared write with the key as ?1 and, when given, the blob as ?2,
    // and leaves the statement ready for its next use.
    Status step(sqlite3_stmt* s, const std::string& key, const Value::Bytes* blob)
        EXCLUSIVE_LOCKS_REQUIRED(mu_) {
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
            MutexLock lock(mu_);
            if (sqlite3_stmt* s = value.has_value() ? upsert_.get() : remove_.get()) {
                stored = step(s, key, blob);
            }
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

    OpenResult fail(int rc, std::string& why) EXCLUSIVE_LOCKS_REQUIRED(mu_) {
        why = db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(rc);
        return classify(rc);
    }

    Statement prepare(const char* sql, int& rc) EXCLUSIVE_LOCKS_REQUIRED(mu_) {
        sqlite3_stmt* raw = nullptr;
        rc = sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
        return Statement(raw);
    }

    OpenResult open(std::string& why) EXCLUSIVE_LOCKS_REQUIRED(mu_) {
        if (!headerLooksValid(path_)) {
            why = "not a database file";
            return OpenResult::Unreadable;
        }
        sqlite3* raw = nullptr;
        int rc = sqlite3_open_v2(path_.c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        db_.reset(raw);
        if (rc != SQLITE_OK) {
            return fail(rc, why);
        }
        if (sqlite3_db_readonly(db_.get(), "main") == 1) {
            why = "the file is read-only";
            return OpenResult::Unavailable;
        }
        // Another connection to the same file (a second process, or an instance
        // still held after a reset) only ever holds the lock for one statement.
        sqlite3_busy_timeout(db_.get(), 5000);
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
                return fail(rc, why);
            }
        }

        Statement select = prepare("SELECT key, value FROM kv", rc);
        if (rc != SQLITE_OK) {
            return fail(rc, why);
        }
        cache_.clear();
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
            return fail(rc, why);
        }

        upsert_ = prepare("INSERT OR REPLACE INTO kv (key, value) VALUES (?1, ?2)", rc);
        if (rc == SQLITE_OK) {
            remove_ = prepare("DELETE FROM kv WHERE key = ?1", rc);
        }
        if (rc != SQLITE_OK) {
            cache_.clear();
            return fail(rc, why);
        }
        return OpenResult::Ok;
    }

    void close() EXCLUSIVE_LOCKS_REQUIRED(mu_) {
        upsert_.reset();
        remove_.reset();
        db_.reset();
    }

    // Moves the file with its write-ahead log and shared-memory index to
    // "<file>.corrupt-<epoch millis>" (keeping SQLite's "-wal"/"-shm" suffixes
    // so the three still open together for a post-mortem).
    bool moveAside(std::string& movedTo) EXCLUSIVE_LOCKS_REQUIRED(mu_) {
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
    mutable Mutex mu_;
    // Declared before the statements so that they are finalized first.
    DbHandle db_ GUARDED_BY(mu_);
    Statement upsert_ GUARDED_BY(mu_);
    Statement remove_ GUARDED_BY(mu_);
    std::map<std::string, Value> cache_ GUARDED_BY(mu_);
};

// One instance per store file, i.e. per (home folder, suite name).
class Registry {
  public:
    static Registry& shared() {
        // Never destroyed: SDK threads may still open suites while the process exits.
        static detail::NoDestructor<Registry> r;
        return r.get();
    }

    std::shared_ptr<UserDefaults> get(const std::string& suite, const std::string& file) {
        MutexLock lock(mu_);
        auto it = suites_.find(file);
        if (it != suites_.end()) {
            return it->second;
        }
        auto defaults = std::make_shared<SqliteUserDefaults>(suite, file);
        suites_.emplace(file, defaults);
        return defaults;
    }

    Registry() {
        detail::registerResetHook([] {
            std::map<std::string, std::shared_ptr<UserDefaults>> dropped;
            Registry& r = shared();
            MutexLock lock(r.mu_);
            dropped.swap(r.suites_);
        });
    }

  private:
    Mutex mu_;
    std::map<std::string, std::shared_ptr<UserDefaults>> suites_ GUARDED_BY(mu_);
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

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
    const std::string file =
        std::filesystem::path(host::preferencesFolder() + "/" + fileNameFor(name) + ".sqlite")
            .lexically_normal()
            .string();
    return Registry::shared().get(name, file);
}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    return suite("standard");
}

}  // namespace sorvel::platform
