#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Base/Status.h"
#include "sorvel/Value.h"

namespace sorvel::platform {

// The stand-in of a UserDefaults suite: one durable key-value store per suite
// name under the app's home folder ("<home>/Library/Preferences/<suite>.sqlite"),
// SQLite in WAL mode behind an in-memory read cache. Values come back with the
// type they were stored with. set() returns once the value is in the database
// file, so it survives kill -9 of the process; it waits at most 5 s for a lock
// that another connection to the same file holds.
//
// The store's files are 0600 whatever the umask. A damaged file is moved aside
// to "<file>.corrupt-<epoch millis>" (with its "-wal" and "-shm") and an empty
// store started; anything but a regular file at the path is left alone and the
// suite lives in memory; a file that cannot be written is read and its values
// served, while changes last in memory until the app exits. Each case is logged.
class UserDefaults {
  public:
    // The suite of that name under the current home folder; one instance per
    // (home folder, name) for the life of the process.
    static std::shared_ptr<UserDefaults> suite(const std::string& name);
    // The app's standard defaults.
    static std::shared_ptr<UserDefaults> standard();

    virtual ~UserDefaults() = default;
    virtual std::optional<Value> get(const std::string& key) const = 0;
    // An absent value removes the key. Both succeed once the change is in the
    // database file; they fail when it only reached the in-memory cache (the
    // store has no file, or the write failed, which is logged) or when the
    // value was refused (logged too).
    virtual Status set(const std::string& key, const std::optional<Value>& value) = 0;
    // Several changes, in order, in one commit: those accepted reach the file
    // together or not at all. Each answer is what set() would say of its change.
    using Change = std::pair<std::string, std::optional<Value>>;
    virtual std::vector<Status> setAll(const std::vector<Change>& changes);
    virtual Status remove(const std::string& key) = 0;
    virtual std::vector<std::string> keys() const = 0;
    virtual std::map<std::string, Value> snapshot() const = 0;
    // Path of the database file behind the suite.
    virtual const std::string& path() const = 0;
    // Empties the store's log file and gives unused pages back when they are
    // many; for an app about to leave the foreground or end. Nothing for a
    // store in memory.
    virtual void compact() {}
};

}  // namespace sorvel::platform
