#include "Platform/SqliteWal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <optional>
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
// The index file starts with two equal copies of a 48-byte header written in
// the machine's byte order; the first 40 bytes are checksummed.
constexpr std::size_t kIndexHeaderBytes = 48;

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

std::uint32_t littleEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 |
           std::uint32_t{p[0]};
}

std::uint32_t native32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

struct Checksum {
    std::uint32_t s0 = 0;
    std::uint32_t s1 = 0;
    bool operator==(const Checksum&) const = default;
};

// SQLite's log checksum: over pairs of words, each sum feeding the other.
void addToChecksum(Checksum& sum, const std::uint8_t* data, std::size_t bytes, bool bigEndian,
                   bool native = false) {
    for (std::size_t i = 0; i + 8 <= bytes; i += 8) {
        const std::uint32_t x0 = native      ? native32(data + i)
                                 : bigEndian ? bigEndian32(data + i)
                                             : littleEndian32(data + i);
        const std::uint32_t x1 = native      ? native32(data + i + 4)
                                 : bigEndian ? bigEndian32(data + i + 4)
                                             : littleEndian32(data + i + 4);
        sum.s0 += x0 + sum.s1;
        sum.s1 += x1 + sum.s0;
    }
}

// A read-only descriptor that never waits (a FIFO in place of a file) and
// never follows a link; -1 when there is nothing readable.
class File {
  public:
    explicit File(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)) {
        struct stat st {};
        if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd_);
            fd_ = -1;
        }
        size_ = fd_ >= 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    }
    ~File() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool readable() const { return fd_ >= 0; }
    std::uint64_t size() const { return size_; }
    // Reads exactly n bytes at offset, or fails.
    bool read(std::uint64_t offset, std::uint8_t* out, std::size_t n) const {
        std::size_t done = 0;
        while (done < n) {
            const ssize_t r = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
            if (r <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(r);
        }
        return true;
    }

  private:
    int fd_;
    std::uint64_t size_ = 0;
};

// What the index says of the log: how many frames readers may use, and the
// salt of the log generation they belong to.
struct IndexHeader {
    std::uint32_t maxFrame = 0;
    std::uint32_t pageSize = 0;
    std::array<std::uint8_t, 8> salt{};
};

std::optional<IndexHeader> readIndexHeader(const std::string& path) {
    File shm(path);
    std::array<std::uint8_t, 2 * kIndexHeaderBytes> h{};
    if (!shm.readable() || shm.size() < h.size() || !shm.read(0, h.data(), h.size())) {
        return std::nullopt;
    }
    const std::uint8_t* first = h.data();
    if (std::memcmp(first, first + kIndexHeaderBytes, kIndexHeaderBytes) != 0 ||
        native32(first) != kWalVersion || first[12] != 1 /* initialised */) {
        return std::nullopt;
    }
    Checksum sum;
    addToChecksum(sum, first, 40, false, true);
    if (sum != Checksum{native32(first + 40), native32(first + 44)}) {
        return std::nullopt;
    }
    IndexHeader out;
    out.maxFrame = native32(first + 16);
    std::uint16_t page;
    std::memcpy(&page, first + 14, sizeof page);
    out.pageSize = page == 1 ? 65536u : page;
    std::memcpy(out.salt.data(), first + 32, out.salt.size());
    return out;
}

std::string frames(std::uint64_t n) {
    return std::to_string(n) + (n == 1 ? " frame" : " frames");
}

}  // namespace

WalReport examineWal(const std::string& databasePath) {
    const std::optional<IndexHeader> index = readIndexHeader(databasePath + "-shm");
    File wal(databasePath + "-wal");
    const std::uint64_t size = wal.readable() ? wal.size() : 0;
    std::array<std::uint8_t, kWalHeaderBytes> header{};
    if (size == 0) {
        if (index && index->maxFrame > 0) {
            return {index->maxFrame * (kFrameHeaderBytes + index->pageSize),
                    "the log is empty or missing while its index lists " + frames(index->maxFrame)};
        }
        return {};
    }
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
        return {size, "its header is not that of a write-ahead log"};
    }

    // The frames SQLite replays: those of this generation (same salt) whose
    // running checksum holds, up to the last that ends a transaction.
    const std::size_t frameBytes = kFrameHeaderBytes + pageSize;
    std::vector<std::uint8_t> frame(frameBytes);
    Checksum sum = headerSum;
    std::uint64_t offset = kWalHeaderBytes;
    std::uint64_t committed = 0;
    std::uint64_t valid = 0;
    std::string damage;
    std::uint64_t damagedFrom = 0;
    while (offset < size) {
        if (offset + frameBytes > size) {
            // A partial frame is damage only when it belongs to this generation.
            std::uint8_t head[kFrameHeaderBytes];
            const std::size_t have = static_cast<std::size_t>(size - offset);
            if (have >= 16 && wal.read(offset, head, 16) &&
                std::memcmp(head + 8, header.data() + 16, 8) == 0) {
                damage = "it ends in a partial frame";
                damagedFrom = offset;
            }
            break;
        }
        if (!wal.read(offset, frame.data(), frameBytes)) {
            damage = "it can not be read past byte " + std::to_string(offset);
            damagedFrom = offset;
            break;
        }
        if (std::memcmp(frame.data() + 8, header.data() + 16, 8) != 0) {
            break;  // left over from an earlier generation of the log
        }
        Checksum next = sum;
        addToChecksum(next, frame.data(), 8, bigEndian);
        addToChecksum(next, frame.data() + kFrameHeaderBytes, pageSize, bigEndian);
        if (bigEndian32(frame.data()) == 0 ||
            next != Checksum{bigEndian32(frame.data() + 16), bigEndian32(frame.data() + 20)}) {
            damage = "frame " + std::to_string(valid + 1) + " fails its checksum";
            damagedFrom = offset;
            break;
        }
        sum = next;
        ++valid;
        if (bigEndian32(frame.data() + 4) != 0) {
            committed = valid;
        }
        offset += frameBytes;
    }
    // Another process may have restarted the log while it was read.
    std::array<std::uint8_t, kWalHeaderBytes> again{};
    if (!wal.read(0, again.data(), again.size()) || again != header) {
        return {};
    }
    if (index && std::memcmp(index->salt.data(), header.data() + 16, 8) == 0) {
        if (index->maxFrame > committed) {
            return {(index->maxFrame - committed) * frameBytes,
                    "it holds " + frames(committed) + " of the " + frames(index->maxFrame) +
                        " its index lists" + (damage.empty() ? "" : "; " + damage)};
        }
        // Past what the index lists lies only a transaction that never
        // committed (the process ended while writing it): nothing is lost.
        return {};
    }
    if (!damage.empty()) {
        // The damaged frame and what follows it in this generation are lost.
        return {size - damagedFrom, damage};
    }
    return {};
}

}  // namespace sorvel::platform::sqlite
