#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>

namespace sorvel::platform::sqlite {

// One of a store's files (the database or its write-ahead log), read through
// SQLite's own file layer. That layer knows the locks the process's
// connections hold on the file, and keeps the descriptor open past close()
// while any is held: closing a plain descriptor of the file would drop them
// all, and another process could then take the store for abandoned and reset
// it under those connections. Read-only; a link, a FIFO or anything else that
// is not a regular file is not opened.
class StoreFile {
  public:
    enum class Kind { Database, Log };
    StoreFile(const std::string& databasePath, Kind kind);
    ~StoreFile();
    StoreFile(const StoreFile&) = delete;
    StoreFile& operator=(const StoreFile&) = delete;

    bool readable() const { return file_ != nullptr; }
    std::uint64_t size() const { return size_; }
    // Reads exactly n bytes at offset, or fails.
    bool read(std::uint64_t offset, std::uint8_t* out, std::size_t n) const;

  private:
    sqlite3_file* file_ = nullptr;
    std::unique_ptr<std::uint8_t[]> storage_;
    std::uint64_t size_ = 0;
};

// What a look at a store's write-ahead log (and the index beside it) found
// before SQLite replays it. SQLite silently drops whatever of the log it
// cannot read; this says how much that is, so it can be logged.
struct WalReport {
    // Bytes of the log that SQLite will not replay because they are damaged
    // (0: nothing lost). Frames of an older log generation that a restarted
    // log left behind are not damage.
    std::uint64_t lostBytes = 0;
    // What was wrong, for the log line.
    std::string problem;
};

// Reads "<database>-wal" without locking or changing it, through StoreFile.
// Only what the log itself proves is reported: a header that is not a log's,
// or a frame that fails its checksum with whole frames of the same
// generation after it. A log that ends in a partial or torn frame is what a
// process killed while writing leaves, and loses nothing committed.
WalReport examineWal(const std::string& databasePath);

}  // namespace sorvel::platform::sqlite
