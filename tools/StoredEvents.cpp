#include "StoredEvents.h"

#include <sqlite3.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <unordered_set>
#include <vector>

#include "Base/ValueCodec.h"
#include "Common/DataContext.h"
#include "Common/DataRegistryKey.h"
#include "Event/EventJournal.h"

namespace sorvel::tools {
namespace {

namespace fs = std::filesystem;

// The unsent list's value as the registry stored it, from a copy of the
// store's files: SQLite may write to the files it opens (the WAL's index, a
// checkpoint as the last connection closes), and the next launch must find
// them as the kill left them.
std::optional<std::string> storedList(const fs::path& folder, std::string& problem) {
    const std::string base = std::string(DefaultDataContext::SUITE_NAME) + ".sqlite";
    if (!fs::exists(folder / base)) {
        return std::nullopt;
    }
    std::string pattern = (fs::temp_directory_path() / "sorvel-stored-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        problem = "no folder for a copy of the store";
        return std::nullopt;
    }
    const fs::path copy = pattern;
    std::error_code ec;
    for (const char* suffix : {"", "-wal"}) {
        if (fs::exists(folder / (base + suffix), ec)) {
            fs::copy_file(folder / (base + suffix), copy / (base + suffix), ec);
        }
    }
    std::optional<std::string> value;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((copy / base).c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        problem = "the store does not open";
    } else {
        sqlite3_stmt* st = nullptr;
        const std::string key(rawValue(DataRegistryKey::DATA_UNSENT_EVENTPACKAGES));
        if (sqlite3_prepare_v2(db, "SELECT value FROM kv WHERE key = ?1", -1, &st, nullptr) !=
            SQLITE_OK) {
            problem = "the store has no settings table";
        } else {
            sqlite3_bind_text(st, 1, key.c_str(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
            if (sqlite3_step(st) == SQLITE_ROW) {
                const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(st, 0));
                const auto size = static_cast<std::size_t>(sqlite3_column_bytes(st, 0));
                const std::optional<Value> decoded = ValueCodec::decode({blob, size});
                const Value::Bytes* bytes = decoded ? decoded->getBytes() : nullptr;
                if (bytes == nullptr) {
                    problem = "the unsent list is not a stored byte string";
                } else {
                    value.emplace(bytes->begin(), bytes->end());
                }
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    fs::remove_all(copy, ec);
    return value;
}

struct Package {
    std::vector<std::string> logIds;
};

// Adds a stored package's numbered events; its events' log ids (which name
// an event whatever package id it travels under) in `logIds`.
bool readPackage(const nlohmann::json& element, StoredEvents& out,
                 std::vector<std::string>& logIds) {
    const auto events = element.is_object() ? element.find("eventModels") : element.end();
    if (events == element.end() || !events->is_array()) {
        return false;
    }
    for (const auto& e : *events) {
        if (!e.is_object()) {
            continue;
        }
        if (auto id = e.find("log_id"); id != e.end() && id->is_string()) {
            logIds.push_back(id->get<std::string>());
        }
        const auto param = e.find("param");
        if (param == e.end()) {
            continue;
        }
        const auto n = eventNumber(*param, "n");
        if (n) {
            out.numbered.insert({eventNumber(*param, "run").value_or(-1), *n});
        }
    }
    return true;
}

std::string idOf(const nlohmann::json& element) {
    const auto id = element.is_object() ? element.find("package_id") : element.end();
    return id != element.end() && id->is_string() ? id->get<std::string>() : std::string();
}

}  // namespace

std::optional<long long> eventNumber(const nlohmann::json& param, const char* key) {
    if (!param.is_object()) {
        return std::nullopt;
    }
    for (const std::string& name : {std::string(key), std::string("c:") + key}) {
        auto it = param.find(name);
        if (it == param.end()) {
            continue;
        }
        if (it->is_number_integer()) {
            return it->get<long long>();
        }
        if (it->is_string()) {
            const std::string s = it->get<std::string>();
            const auto colon = s.rfind(':');
            try {
                return std::stoll(colon == std::string::npos ? s : s.substr(colon + 1));
            } catch (...) {
                return std::nullopt;
            }
        }
    }
    return std::nullopt;
}

StoredEvents readStoredEvents(const fs::path& appHome) {
    StoredEvents out;
    const fs::path folder = appHome / "Library" / "Preferences";
    // Package id -> its events' log ids, for every package a start would
    // consider, and the ids whose upload ended.
    std::map<std::string, std::vector<std::string>> packages;
    std::unordered_set<std::string> settled;
    // Each journal's open buffer, as the log ids of its events.
    std::map<std::string, std::vector<std::string>> openOf;
    int anonymous = 0;

    if (const auto list = storedList(folder, out.problem)) {
        const auto parsed = nlohmann::json::parse(*list, nullptr, false);
        if (!parsed.is_array()) {
            out.problem = "the unsent list is not a JSON array";
        }
        for (const auto& element : parsed.is_array() ? parsed : nlohmann::json::array()) {
            std::string id = idOf(element);
            std::vector<std::string> logIds;
            if (!readPackage(element, out, logIds)) {
                out.problem = "an entry of the unsent list is not a package";
                continue;
            }
            packages[id.empty() ? "#" + std::to_string(anonymous++) : id] = std::move(logIds);
        }
    }

    std::error_code ec;
    for (const std::string& path : EventJournal::filesInReplayOrder(folder.string())) {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        const auto written = fs::last_write_time(path, ec);
        if (!ec && (!out.journalWrittenAt || written > *out.journalWrittenAt)) {
            out.journalWrittenAt = written;
        }
        // The files of one journal share the name before the generation.
        const std::string name = fs::path(path).filename().string();
        std::vector<std::string>& open = openOf[name.substr(0, name.find_first_of("~."))];
        for (const EventJournal::Record& record : EventJournal::parse(bytes).records) {
            if (record.kind == EventJournal::Kind::EVENTS ||
                record.kind == EventJournal::Kind::BUFFER) {
                // The open buffer's events: on disk, and pending until the
                // package they become is queued.
                const auto events = EventJournal::readOpenEvents(record.data);
                nlohmann::json element;
                if (events) {
                    element["eventModels"] =
                        nlohmann::json::parse(events->eventsJson, nullptr, false);
                }
                std::vector<std::string> logIds;
                if (!events || !readPackage(element, out, logIds)) {
                    out.problem = "an open-buffer record in " + path + " is not a list of events";
                    continue;
                }
                if (record.kind == EventJournal::Kind::BUFFER) {
                    open.clear();
                }
                open.insert(open.end(), logIds.begin(), logIds.end());
                continue;
            }
            if (record.kind == EventJournal::Kind::BUFFER_PACKAGE) {
                open.clear();
            } else if (record.kind != EventJournal::Kind::PACKAGE) {
                settled.insert(record.data);
                continue;
            }
            const auto package = EventJournal::readPackage(record.data);
            const auto element = package ? nlohmann::json::parse(package->element, nullptr, false)
                                         : nlohmann::json();
            std::vector<std::string> logIds;
            if (!package || !readPackage(element, out, logIds)) {
                out.problem = "a journal record in " + path + " is not a package";
                continue;
            }
            packages[package->id] = std::move(logIds);
        }
    }

    std::unordered_set<std::string> pending;
    for (const auto& [id, logIds] : packages) {
        if (settled.count(id) == 0) {
            pending.insert(logIds.begin(), logIds.end());
        }
    }
    for (const auto& [stem, logIds] : openOf) {
        pending.insert(logIds.begin(), logIds.end());
    }
    out.pending = static_cast<long long>(pending.size());
    return out;
}

}  // namespace sorvel::tools
