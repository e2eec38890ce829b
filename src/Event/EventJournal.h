#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Base/Status.h"
#include "Platform/Mutex.h"

namespace sorvel {

// An append-only file that carries what changed in the unsent-package queue
// since the stored list was last written whole (the checkpoint). Each process
// writes a journal of its own, "unsent-<pid>-<tag>.journal" in the folder it
// is given, and holds an exclusive lock on it for as long as it lives, so a
// process that starts later can tell the journals of running processes from
// those of processes that died (whose lock the system released) and adopt
// only the latter.
//
// A record is framed: its payload's length (4 bytes, little-endian), the CRC-32
// of the payload (4 bytes), then the payload, a kind byte and its data. Each
// record goes to the file in one write(), so a kill leaves whole records and
// at most one torn one at the end; a write that fails half-way is cut off
// again, so a later record never follows a torn one. The file is 0600. Nothing
// is synced to the device: the page cache survives the death of the process,
// which is what a kill is; a checkpoint syncs what it writes.
class EventJournal {
  public:
    enum class Kind : std::uint8_t {
        // A package was queued: its data is its id, a NUL, its element of the
        // stored list byte for byte, a NUL, and the event counters as they
        // stood when it was queued (see Counters).
        PACKAGE = 1,
        // The package's upload was answered with success: its data is the id.
        ACKNOWLEDGED = 2,
        // The package was dropped on purpose: its data is the id.
        DROPPED = 3,
    };
    struct Record {
        Kind kind = Kind::PACKAGE;
        std::string data;
    };
    // The counters an event takes its numbers and previous id from, as they
    // stood when a package was queued: a start that replays the package
    // never hands out its numbers again, even when the registry had not yet
    // stored the last steps.
    struct Counters {
        std::uint64_t sessionOrderNo = 0;
        std::uint64_t eventOrderNo = 0;
        std::optional<std::string> prevId;
        bool operator==(const Counters&) const = default;
    };
    // The parts of a PACKAGE record's data.
    struct Package {
        std::string id;
        std::string element;
        Counters counters;
    };
    static std::string packageData(const std::string& id, std::string_view element,
                                   const Counters& counters);
    // Nothing when the data is not a package record's.
    static std::optional<Package> readPackage(std::string_view data);

    // What a journal file held.
    struct Contents {
        std::vector<Record> records;
        // Bytes after the last whole record that could not be read (a torn
        // write, or damage), and the id of the package whose record they
        // begin, when it can still be read.
        std::size_t tornBytes = 0;
        std::vector<std::string> tornPackageIds;
    };
    // The journal of a process that is no longer running, locked by this one
    // until it is released (closed and deleted).
    class Orphan {
      public:
        Orphan(std::string path, int fd, Contents contents);
        ~Orphan();
        Orphan(const Orphan&) = delete;
        Orphan& operator=(const Orphan&) = delete;
        const std::string& path() const { return path_; }
        const Contents& contents() const { return contents_; }
        // Deletes the file: what it held is in a checkpoint now.
        void remove();

      private:
        std::string path_;
        int fd_;
        Contents contents_;
    };

    // Creates this process's journal in the folder (made 0700 if missing) and
    // locks it.
    static StatusOr<std::unique_ptr<EventJournal>> create(const std::string& folder);
    // Locks and reads every journal in the folder whose owner is gone.
    static std::vector<std::unique_ptr<Orphan>> adoptOrphans(const std::string& folder);
    // Whether a running process other than the caller holds a journal in the
    // folder (the caller's own is `ownPath`).
    static bool othersRunning(const std::string& folder, const std::string& ownPath);
    // Reads a journal's bytes as records, up to the first one that is torn.
    static Contents parse(std::string_view bytes);
    // One framed record, as it goes to the file.
    static std::string frame(Kind kind, std::string_view data);
    static std::uint32_t crc32(std::string_view bytes);

    ~EventJournal();
    EventJournal(const EventJournal&) = delete;
    EventJournal& operator=(const EventJournal&) = delete;

    Status append(Kind kind, std::string_view data);
    // A point in the journal: what a checkpoint taken after mark() covers
    // ends there.
    struct Mark {
        std::uint64_t epoch = 0;
        std::uint64_t size = 0;
    };
    Mark mark() const;
    std::uint64_t size() const;
    // Drops what came before the mark (a checkpoint holds what it said),
    // keeping what was appended after it; nothing when the journal was
    // emptied or cut since the mark was taken (its records stay, which a
    // replay reads twice without harm). The file is replaced whole (written
    // aside, then renamed over), so a kill meanwhile leaves either journal,
    // never a mix.
    Status dropCovered(Mark covered);
    // Empties the journal (its packages were dropped on purpose).
    Status clear();
    // Closes and deletes the file: the process stops cleanly and a checkpoint
    // holds everything.
    void removeFile();
    const std::string& path() const { return path_; }

  private:
    EventJournal(std::string folder, std::string path, int fd);

    const std::string folder_;
    std::string path_;
    mutable platform::Mutex mu_;
    int fd_ GUARDED_BY(mu_);
    std::uint64_t size_ GUARDED_BY(mu_) = 0;
    // Counts the cuts: a mark taken before one no longer says where it was.
    std::uint64_t epoch_ GUARDED_BY(mu_) = 0;
};

}  // namespace sorvel
