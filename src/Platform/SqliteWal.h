#pragma once

#include <cstdint>
#include <string>

namespace sorvel::platform::sqlite {

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

// Reads "<database>-wal" and "<database>-shm" without locking or changing
// them. A missing or empty log with no index that says otherwise is fine.
WalReport examineWal(const std::string& databasePath);

}  // namespace sorvel::platform::sqlite
