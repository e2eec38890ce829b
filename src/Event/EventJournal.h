#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
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
// A checkpoint's mark starts a new file of the same journal,
// "unsent-<pid>-<tag>~<generation, 16 hex digits>.journal", and the files
// before it are deleted once the checkpoint is durable (one of them is kept,
// emptied, under a name no replay reads, to become the next mark's file):
// nothing is copied to cut the journal back. The owner keeps every file of its journal locked
// until it deletes it, a later start adopts the files of one journal
// together or not at all, and replays them oldest first; a kill between a
// mark and the deletion leaves files that a replay reads in that order, so a
// package's end in a newer file still settles its record in an older one.
//
// A record is framed: its payload's length (4 bytes, little-endian), the CRC-32
// of the payload (4 bytes), then the payload, a kind byte and its data. Each
// record goes to the file in one write() (gathered from its parts, never
// copied into one buffer first), so a kill leaves whole records and at most
// one torn one at the end; a write that fails half-way is cut off again, so a
// later record never follows a torn one. The files are 0600. Nothing is
// synced to the device: the page cache survives the death of the process,
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
        // Events joined the open buffer (the events not yet in a package),
        // after those it held: its data is the counters (see Counters), a
        // NUL, and the JSON array of the events' dictionaries, in order.
        EVENTS = 4,
        // The open buffer holds exactly these events (none when the array is
        // empty), whatever records before said: written when a checkpoint
        // starts a new file or the journal is emptied, so what the buffer
        // holds outlives the files deleted, and when the buffer is emptied on
        // purpose. Its data as EVENTS'.
        BUFFER = 5,
        // A package made of every event of the open buffer, which it leaves
        // empty: its data as PACKAGE's.
        BUFFER_PACKAGE = 6,
        // The packages a checkpoint left out of the stored list for the cap
        // when it deleted the files that held their records: a line "<id>
        // <events>" for each. It replaces any such record before it; an
        // ACKNOWLEDGED or DROPPED record after it settles one. A start that
        // finds one unsettled tells the app those events were lost.
        LEFT_OUT = 7,
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
    // The counters as a package record's data ends with them, and back.
    static std::string countersText(const Counters& counters);
    static Counters readCounters(std::string_view text);
    // Nothing when the data is not a package record's.
    static std::optional<Package> readPackage(std::string_view data);
    // The parts of an EVENTS or BUFFER record's data.
    struct OpenEvents {
        Counters counters;
        // The JSON array of the events' dictionaries.
        std::string eventsJson;
    };
    static std::string openEventsData(const Counters& counters, std::string_view eventsJson);
    // Nothing when the data is not an open-buffer record's.
    static std::optional<OpenEvents> readOpenEvents(std::string_view data);

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
        // The name its journal's files share: the files of one journal
        // follow one another in adoptOrphans()'s list.
        std::string journalStem() const;
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
    // Locks and reads every journal in the folder whose owner is gone, in
    // the order a replay reads them: each journal's files oldest first. A
    // journal is adopted only when every one of its files could be locked.
    static std::vector<std::unique_ptr<Orphan>> adoptOrphans(const std::string& folder);
    // Whether a running process other than the caller holds a journal in the
    // folder (the caller's own is any file of the journal at `ownPath`).
    static bool othersRunning(const std::string& folder, const std::string& ownPath);
    // The journal files in the folder, in the order a replay reads them.
    static std::vector<std::string> filesInReplayOrder(const std::string& folder);
    // Reads a journal's bytes as records, up to the first one that is torn.
    static Contents parse(std::string_view bytes);
    // One framed record, as it goes to the file.
    static std::string frame(Kind kind, std::string_view data);
    static std::uint32_t crc32(std::string_view bytes);

    ~EventJournal();
    EventJournal(const EventJournal&) = delete;
    EventJournal& operator=(const EventJournal&) = delete;

    // One record whose data is the parts one after the other.
    Status append(Kind kind, std::initializer_list<std::string_view> parts);
    Status append(Kind kind, std::string_view data) { return append(kind, {data}); }
    // A PACKAGE (or BUFFER_PACKAGE) record, its data as packageData() makes it.
    Status appendPackage(std::string_view id, std::string_view element, const Counters& counters,
                         Kind kind = Kind::PACKAGE);
    // A point in the journal: what a checkpoint taken after mark() covers
    // ends there. Taking one starts a new file when the current one holds
    // records (unless too many files wait for their checkpoint already, or
    // the file cannot be made: then the current file is not covered).
    struct Mark {
        std::uint64_t generation = 0;
    };
    Mark mark();
    // Bytes in every file of the journal.
    std::uint64_t size() const;
    // How many files the journal has (the current one and those that wait
    // for a checkpoint to be deleted).
    std::size_t fileCount() const;
    // Deletes the files before the mark (a checkpoint holds what they said);
    // what was appended after it stays. A mark taken before an earlier drop
    // or a clear() deletes nothing more.
    Status dropCovered(Mark covered);
    // Empties the journal (its packages were dropped on purpose).
    Status clear();
    // Closes and deletes every file: the process stops cleanly and a
    // checkpoint holds everything.
    void removeFile();
    // The file records are appended to now.
    std::string path() const;

    // Files a journal keeps at most while their checkpoints are not durable
    // (another process runs, a write failed): beyond them the current file
    // grows instead, as a journal without marks does.
    static constexpr std::size_t MAX_FILES = 8;

  private:
    struct File {
        std::uint64_t generation = 0;
        std::string path;
        int fd = -1;
        std::uint64_t size = 0;
    };
    EventJournal(std::string folder, std::string stem, std::string path, int fd);
    // The file of the next generation, locked before it takes its name (the
    // spare, when one is given); fd -1 when it cannot be made.
    File makeFile(std::uint64_t generation, File spare) const;
    std::string pathOf(std::uint64_t generation) const;
    // Where the emptied file kept for the next mark waits, under a name
    // that no replay reads and that a start clears away once it is unlocked.
    std::string sparePath() const;
    void dropSpareLocked() EXCLUSIVE_LOCKS_REQUIRED(mu_);

    const std::string folder_;
    // The journal's name without generation and suffix ("unsent-<pid>-<tag>").
    const std::string stem_;
    // Held while files are made, renamed or deleted (marks, drops, clears),
    // one such step at a time; taken before mu_, which appends take alone.
    platform::Mutex fileMu_ ACQUIRED_BEFORE(mu_);
    mutable platform::Mutex mu_;
    File current_ GUARDED_BY(mu_);
    // Files before the current one, oldest first, locked until deleted.
    std::vector<File> retired_ GUARDED_BY(mu_);
    // A deleted file kept empty (and locked) for the next mark; fd -1: none.
    File spare_ GUARDED_BY(mu_);
};

}  // namespace sorvel
