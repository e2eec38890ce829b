#include "Platform/SqliteWal.h"

#include <sys/stat.h>

#include <array>
#include <climits>
#include <cstring>
#include <vector>

namespace sorvel::platform::sqlite {

namespace {

// The log's layout: a 32-byte header, then frames of a 24-byte header and
// one page each. Numbers are big-endian, checksums are pairs of 32-bit sums
// over 32-bit words whose byte order the header's magic number gives.
constexpr std::size_t kWalHeaderBytes = 32;
constexpr std::size_t kFrameHeaderBytes = 24;
constexpr std::uint32_t kWalMagic = 0x377f0682;  // | 1: big-endian checksums
constexpr std::uint32_t kWalVersion = 3007000;

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

std::uint32_t littleEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 |
           std::uint32_t{p[0]};
}

struct Checksum {
    std::uint32_t s0 = 0;
    std::uint32_t s1 = 0;
    bool operator==(const Checksum&) const = default;
};

// SQLite's log checksum: over pairs of words, each sum feeding the other.
void addToChecksum(Checksum& sum, const std::uint8_t* data, std::size_t bytes, bool bigEndian) {
    for (std::size_t i = 0; i + 8 <= bytes; i += 8) {
        const std::uint32_t x0 = bigEndian ? bigEndian32(data + i) : littleEndian32(data + i);
        const std::uint32_t x1 =
            bigEndian ? bigEndian32(data + i + 4) : littleEndian32(data + i + 4);
        sum.s0 += x0 + sum.s1;
        sum.s1 += x1 + sum.s0;
    }
}

}  // namespace

StoreFile::StoreFile(const std::string& databasePath, Kind kind) {
    const std::string path = kind == Kind::Log ? databasePath + "-wal" : databasePath;
    // Looked at by name first: SQLite's layer would wait on a FIFO and
    // follow a link.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    if (vfs == nullptr) {
        return;
    }
    // The layer takes names in the form a connection hands it.
    sqlite3_filename name =
        sqlite3_create_filename(databasePath.c_str(), (databasePath + "-journal").c_str(),
                                (databasePath + "-wal").c_str(), 0, nullptr);
    if (name == nullptr) {
        return;
    }
    storage_ = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(vfs->szOsFile));
    auto* file = reinterpret_cast<sqlite3_file*>(storage_.get());
    const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW |
                      (kind == Kind::Log ? SQLITE_OPEN_WAL : SQLITE_OPEN_MAIN_DB);
    const char* opened = kind == Kind::Log ? sqlite3_filename_wal(name) : name;
    int outFlags = 0;
    sqlite3_int64 size = 0;
    if (vfs->xOpen(vfs, opened, file, flags, &outFlags) == SQLITE_OK) {
        file_ = file;
        if (file_->pMethods->xFileSize(file_, &size) != SQLITE_OK || size < 0) {
            size = 0;
        }
    } else if (file->pMethods != nullptr) {
        // A failed open may still need its close.
        file->pMethods->xClose(file);
    }
    size_ = static_cast<std::uint64_t>(size);
    sqlite3_free_filename(name);
}

StoreFile::~StoreFile() {
    if (file_ != nullptr) {
        file_->pMethods->xClose(file_);
    }
}

bool StoreFile::read(std::uint64_t offset, std::uint8_t* out, std::size_t n) const {
    return file_ != nullptr && n <= static_cast<std::size_t>(INT32_MAX) &&
           file_->pMethods->xRead(file_, out, static_cast<int>(n),
                                  static_cast<sqlite3_int64>(offset)) == SQLITE_OK;
}

WalReport examineWal(const std::string& databasePath) {
    const StoreFile wal(databasePath, StoreFile::Kind::Log);
    const std::uint64_t size = wal.readable() ? wal.size() : 0;
    if (size == 0) {
        return {};
    }
    std::array<std::uint8_t, kWalHeaderBytes> header{};
    const bool headerRead = size >= kWalHeaderBytes && wal.read(0, header.data(), header.size());
    const std::uint32_t magic = headerRead ? bigEndian32(header.data()) : 0;
    const bool bigEndian = (magic & 1) != 0;
    const std::uint32_t pageSize = headerRead ? bigEndian32(header.data() + 8) : 0;
    Checksum headerSum;
    if (headerRead) {
        addToChecksum(headerSum, header.data(), 24, bigEndian);
    }
    const bool headerValid =
        headerRead && (magic & ~1u) == kWalMagic && bigEndian32(header.data() + 4) == kWalVersion &&
        pageSize >= 512 && pageSize <= 65536 && (pageSize & (pageSize - 1)) == 0 &&
        headerSum == Checksum{bigEndian32(header.data() + 24), bigEndian32(header.data() + 28)};
    if (!headerValid) {
        // A writer restarting the log writes its header in one piece.
        return {size, "its header is not that of a write-ahead log"};
    }

    // The frames SQLite replays: those of this generation (same salt) whose
    // running checksum holds. The first that breaks the run ends the replay;
    // what follows is lost when frames of the same generation still come
    // after it. A writer killed mid-frame leaves none after its torn frame,
    // and a restarted log leaves only older generations behind its own.
    const std::size_t frameBytes = kFrameHeaderBytes + pageSize;
    std::vector<std::uint8_t> frame(frameBytes);
    Checksum sum = headerSum;
    std::uint64_t valid = 0;
    for (std::uint64_t offset = kWalHeaderBytes; offset + frameBytes <= size;
         offset += frameBytes) {
        if (!wal.read(offset, frame.data(), frameBytes)) {
            // Cut back by a writer elsewhere while it was read: in motion,
            // not judged.
            return {};
        }
        Checksum next = sum;
        addToChecksum(next, frame.data(), 8, bigEndian);
        addToChecksum(next, frame.data() + kFrameHeaderBytes, pageSize, bigEndian);
        const bool ours = std::memcmp(frame.data() + 8, header.data() + 16, 8) == 0;
        if (ours && bigEndian32(frame.data()) != 0 &&
            next == Checksum{bigEndian32(frame.data() + 16), bigEndian32(frame.data() + 20)}) {
            sum = next;
            ++valid;
            continue;
        }
        std::array<std::uint8_t, kFrameHeaderBytes> later{};
        for (std::uint64_t after = offset + frameBytes; after + frameBytes <= size;
             after += frameBytes) {
            if (wal.read(after, later.data(), later.size()) &&
                std::memcmp(later.data() + 8, header.data() + 16, 8) == 0) {
                // A log in motion is not judged: a writer elsewhere may have
                // been writing that frame as it was read, or restarting the
                // log (which writes its new header first).
                std::array<std::uint8_t, kWalHeaderBytes> again{};
                std::vector<std::uint8_t> reread(frameBytes);
                if (!wal.read(0, again.data(), again.size()) || again != header ||
                    !wal.read(offset, reread.data(), frameBytes) || reread != frame) {
                    return {};
                }
                return {size - offset, "frame " + std::to_string(valid + 1) +
                                           (ours ? " fails its checksum" : " is overwritten")};
            }
        }
        return {};
    }
    return {};
}

}  // namespace sorvel::platform::sqlite
