#include "Platform/UserDefaults.h"

#include <filesystem>

#include "Base/Status.h"
#include "Base/ValueCodec.h"
#include "Platform/FileSystem.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"
#include "Platform/Sqlite.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform {

namespace {

// Preferences are small; anything this large is a caller's mistake and would
// also sit in every process's memory through the read cache.
constexpr std::size_t kMaxEncodedValueBytes = 16u << 20;

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS kv (key TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) "
    "WITHOUT ROWID";

void log(const std::string& line) {
    SystemLog::log(LogLevel::error, "UserDefaults :: " + line);
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
        sqlite::StoreOptions options;
        // Every use is behind fileMu_.
        options.threading = SQLITE_OPEN_NOMUTEX;
        // Nothing but a file of ours is moved: the suite then lives in memory.
        options.nonRegular = sqlite::NonRegularFile::Refuse;
        options.log = log;
        options.setup = [this](sqlite::Connection& db) {
            fileMu_.assertHeld();
            mu_.assertHeld();
            return setup(db);
        };
        sqlite::OpenedStore opened = sqlite::openStore(path_, options);
        if (opened.damage.has_value()) {
            log("store of suite '" + suite_ + "' is unreadable (" + *opened.damage + "); moved " +
                path_ + " to " + opened.movedTo + " and starting an empty store");
        }
        switch (opened.mode) {
            case sqlite::OpenedStore::Mode::ReadWrite:
                db_ = std::move(opened.connection);
                break;
            case sqlite::OpenedStore::Mode::ReadOnly:
                // The values are served from the cache; changes stay in memory.
                close();
                log("store " + path_ + " can not be written (" + opened.why + "); suite '" +
                    suite_ + "' is read from it and changes are kept in memory only");
                break;
            case sqlite::OpenedStore::Mode::Unavailable:
                close();
                cache_.clear();
                log("can not open store " + path_ + " (" + opened.why + "); suite '" + suite_ +
                    "' is kept in memory only");
                break;
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

    Status set(const std::string& key, const std::optional<Value>& value) override {
        if (!value.has_value()) {
            return remove(key);
        }
        auto encoded = encodeForStore(key, *value);
        if (!encoded) {
            return encoded.status();
        }
        return write(key, value, &encoded.value());
    }

    std::vector<Status> setAll(const std::vector<Change>& changes) override {
        if (changes.size() == 1) {
            return {set(changes[0].first, changes[0].second)};
        }
        std::vector<std::optional<Value::Bytes>> blobs(changes.size());
        // Refusals first; the others get the commit's answer.
        std::vector<Status> out(changes.size(), Status::ok());
        std::vector<bool> accepted(changes.size(), true);
        for (std::size_t i = 0; i < changes.size(); ++i) {
            if (changes[i].second.has_value()) {
                auto encoded = encodeForStore(changes[i].first, *changes[i].second);
                if (encoded) {
                    blobs[i] = std::move(encoded).value();
                } else {
                    out[i] = encoded.status();
                    accepted[i] = false;
                }
            }
        }
        std::optional<Status> stored;  // none: the store has no file
        {
            MutexLock file(fileMu_);
            if (db_) {
                sqlite::Transaction transaction(*db_);
                stored = transaction.begun();
                for (std::size_t i = 0; i < changes.size() && stored->isOk(); ++i) {
                    if (accepted[i]) {
                        const bool present = changes[i].second.has_value();
                        stored = step(present ? upsert_ : remove_, changes[i].first,
                                      present ? &*blobs[i] : nullptr);
                    }
                }
                if (stored->isOk()) {
                    stored = transaction.commit();
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
        for (std::size_t i = 0; i < changes.size(); ++i) {
            if (accepted[i]) {
                out[i] = stored.has_value() ? *stored : noFile();
            }
        }
        return out;
    }

    Status remove(const std::string& key) override { return write(key, std::nullopt, nullptr); }

    void compact() override {
        MutexLock file(fileMu_);
        if (db_) {
            db_->compact();
        }
    }

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
    // The stored bytes of a value, or why (logged) it is refused.
    StatusOr<Value::Bytes> encodeForStore(const std::string& key, const Value& value) const {
        auto encoded = ValueCodec::encode(value);
        std::string refused;
        if (!encoded.has_value()) {
            refused =
                "value for key '" + key + "' of suite '" + suite_ + "' nests too deeply; not saved";
        } else if (encoded->size() > kMaxEncodedValueBytes) {
            refused = "value for key '" + key + "' of suite '" + suite_ + "' takes " +
                      std::to_string(encoded->size()) + " bytes, over the limit of " +
                      std::to_string(kMaxEncodedValueBytes) + "; not saved";
        } else {
            return std::move(*encoded);
        }
        log(refused);
        return Status::error(std::move(refused));
    }

    // The answer of a change that reached only the cache because the store
    // has no file (it could not be opened); not logged again per change.
    Status noFile() const {
        return Status::error("suite '" + suite_ +
                             "' has no file; the change lasts until the app exits");
    }

    // Runs a prepared write with the key as ?1 and, when given, the blob as ?2,
    // and leaves the statement ready for its next use.
    Status step(sqlite::Statement& s, const std::string& key, const Value::Bytes* blob)
        EXCLUSIVE_LOCKS_REQUIRED(fileMu_) {
        s.bindText(1, key);
        if (blob != nullptr) {
            s.bindBlob(2, *blob);
        }
        Status result = s.step() == SQLITE_DONE ? Status::ok() : Status::error(db_->errorMessage());
        s.reset();
        s.clearBindings();
        return result;
    }

    // Stores the value (encoded as `blob`) or, when absent, removes the key:
    // in the file when the store has one, and in the cache. True once the
    // change is in the file; a failed file write is logged and the cache still
    // changes, so the value lasts until the app exits.
    Status write(const std::string& key, const std::optional<Value>& value,
                 const Value::Bytes* blob) {
        std::optional<Status> stored;  // none: the store has no file
        {
            // Readers wait only for the cache, never for the commit.
            MutexLock file(fileMu_);
            if (db_) {
                stored = step(value.has_value() ? upsert_ : remove_, key, blob);
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
        return stored.has_value() ? *stored : noFile();
    }

    // Makes the table (when the file can be written), fills the cache and
    // prepares the writes. Runs for every connection the opening tries.
    int setup(sqlite::Connection& db) EXCLUSIVE_LOCKS_REQUIRED(fileMu_, mu_) {
        close();
        if (!db.readOnly()) {
            if (const int rc = db.executeScript(kCreateTable); rc != SQLITE_OK) {
                return rc;
            }
        }
        if (const int rc = load(db); rc != SQLITE_OK || db.readOnly()) {
            return rc;
        }
        upsert_ = db.preparePersistent("INSERT OR REPLACE INTO kv (key, value) VALUES (?1, ?2)");
        remove_ = db.preparePersistent("DELETE FROM kv WHERE key = ?1");
        for (const sqlite::Statement* s : {&upsert_, &remove_}) {
            if (!*s) {
                cache_.clear();
                return s->prepareResult();
            }
        }
        return SQLITE_OK;
    }

    // Fills the cache from the open database. A store without the table (an
    // empty file opened read-only) has no values.
    int load(sqlite::Connection& db) EXCLUSIVE_LOCKS_REQUIRED(fileMu_, mu_) {
        cache_.clear();
        sqlite::Statement table =
            db.prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'kv'");
        if (!table) {
            return table.prepareResult();
        }
        if (const int rc = table.step(); rc != SQLITE_ROW) {
            return rc == SQLITE_DONE ? SQLITE_OK : rc;
        }
        sqlite::Statement select = db.prepare("SELECT key, value FROM kv");
        if (!select) {
            return select.prepareResult();
        }
        int rc;
        while ((rc = select.step()) == SQLITE_ROW) {
            // Read as a blob: a key is exactly its bytes.
            const auto k = select.columnBlob(0);
            std::string key(k.begin(), k.end());
            std::optional<Value> value;
            if (select.columnType(1) == SQLITE_BLOB) {
                const auto v = select.columnBlob(1);
                value = ValueCodec::decode({v.data(), v.size()});
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

    void close() EXCLUSIVE_LOCKS_REQUIRED(fileMu_) {
        upsert_ = sqlite::Statement();
        remove_ = sqlite::Statement();
        db_.reset();
    }

    const std::string suite_;
    const std::string path_;
    // The connection and its statements; held across a commit. Writes take
    // mu_ too, inside it, to change the cache.
    Mutex fileMu_ ACQUIRED_BEFORE(mu_);
    // The cache every read is served from.
    mutable Mutex mu_;
    // Null when the store has no file to write (read-only or unavailable).
    std::unique_ptr<sqlite::Connection> db_ GUARDED_BY(fileMu_);
    sqlite::Statement upsert_ GUARDED_BY(fileMu_);
    sqlite::Statement remove_ GUARDED_BY(fileMu_);
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

std::vector<Status> UserDefaults::setAll(const std::vector<Change>& changes) {
    std::vector<Status> out;
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
