#include "Event/EventJournal.h"

#include <zlib.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "Platform/FileSystem.h"

namespace sorvel {
namespace {

constexpr std::size_t kHeader = 8;
// No record comes near this; a length above it is damage, not a record.
constexpr std::uint32_t kMaxRecord = 64u << 20;
constexpr std::string_view kPrefix = "unsent-";
constexpr std::string_view kSuffix = ".journal";

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

void putLe32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

std::uint32_t getLe32(const char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    }
    return v;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool readAll(int fd, std::string& out) {
    out.clear();
    std::array<char, 65536> chunk{};
    for (;;) {
        const ssize_t n = ::pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(out.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        out.append(chunk.data(), static_cast<std::size_t>(n));
    }
}

// The id of the package whose record a damaged stretch begins with (its
// data starts with the id), so the log can say which was lost.
std::vector<std::string> tornPackageId(std::string_view bytes) {
    if (bytes.size() <= kHeader + 1 || static_cast<std::uint8_t>(bytes[kHeader]) !=
                                           static_cast<std::uint8_t>(EventJournal::Kind::PACKAGE)) {
        return {};
    }
    const std::string_view data = bytes.substr(kHeader + 1);
    const std::size_t end = data.find('\0');
    if (end == std::string_view::npos || end == 0 || end > 64) {
        return {};
    }
    return {std::string(data.substr(0, end))};
}

bool isJournalName(std::string_view name) {
    return name.size() > kPrefix.size() + kSuffix.size() &&
           name.substr(0, kPrefix.size()) == kPrefix &&
           name.substr(name.size() - kSuffix.size()) == kSuffix;
}

// Whether the descriptor is still the file at the path (not one renamed over
// it or deleted since it was opened).
bool stillAtPath(int fd, const std::string& path) {
    struct stat byFd {};
    struct stat byPath {};
    return ::fstat(fd, &byFd) == 0 && ::stat(path.c_str(), &byPath) == 0 &&
           byFd.st_ino == byPath.st_ino && byFd.st_dev == byPath.st_dev && byFd.st_nlink > 0;
}

}  // namespace

std::uint32_t EventJournal::crc32(std::string_view bytes) {
    // zlib's CRC-32 is the IEEE one the records always carried (reflected
    // 0xEDB88320, all ones in and out), computed several bytes at a time.
    uLong crc = ::crc32(0L, Z_NULL, 0);
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t n = std::min<std::size_t>(bytes.size() - at, 1U << 30);
        crc = ::crc32(crc, reinterpret_cast<const Bytef*>(bytes.data() + at), static_cast<uInt>(n));
        at += n;
    }
    return static_cast<std::uint32_t>(crc);
}

std::string EventJournal::packageData(const std::string& id, std::string_view element,
                                      const Counters& counters) {
    std::string out;
    out.reserve(id.size() + element.size() + 96);
    out += id;
    out += '\0';
    out.append(element);
    out += '\0';
    out += std::to_string(counters.sessionOrderNo);
    out += ' ';
    out += std::to_string(counters.eventOrderNo);
    if (counters.prevId) {
        out += ' ';
        out += *counters.prevId;
    }
    return out;
}

std::optional<EventJournal::Package> EventJournal::readPackage(std::string_view data) {
    const std::size_t idEnd = data.find('\0');
    if (idEnd == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t elementEnd = data.find('\0', idEnd + 1);
    if (elementEnd == std::string_view::npos) {
        return std::nullopt;
    }
    Package p;
    p.id = std::string(data.substr(0, idEnd));
    p.element = std::string(data.substr(idEnd + 1, elementEnd - idEnd - 1));
    const std::string counters(data.substr(elementEnd + 1));
    char* rest = nullptr;
    p.counters.sessionOrderNo = std::strtoull(counters.c_str(), &rest, 10);
    p.counters.eventOrderNo = std::strtoull(rest, &rest, 10);
    if (*rest == ' ') {
        p.counters.prevId = std::string(rest + 1);
    }
    return p;
}

std::string EventJournal::frame(Kind kind, std::string_view data) {
    std::string out;
    out.reserve(kHeader + 1 + data.size());
    out.resize(kHeader);
    out += static_cast<char>(kind);
    out.append(data);
    const std::string_view body(out.data() + kHeader, out.size() - kHeader);
    std::string header;
    putLe32(header, static_cast<std::uint32_t>(body.size()));
    putLe32(header, crc32(body));
    out.replace(0, kHeader, header);
    return out;
}

EventJournal::Contents EventJournal::parse(std::string_view bytes) {
    Contents contents;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t left = bytes.size() - at;
        bool whole = left >= kHeader;
        std::uint32_t length = 0;
        if (whole) {
            length = getLe32(bytes.data() + at);
            whole = length >= 1 && length <= kMaxRecord && length <= left - kHeader;
        }
        if (whole) {
            const std::string_view body = bytes.substr(at + kHeader, length);
            const auto kind = static_cast<std::uint8_t>(body[0]);
            whole = getLe32(bytes.data() + at + 4) == crc32(body) &&
                    kind >= static_cast<std::uint8_t>(Kind::PACKAGE) &&
                    kind <= static_cast<std::uint8_t>(Kind::DROPPED);
            if (whole) {
                contents.records.push_back(
                    Record{static_cast<Kind>(kind), std::string(body.substr(1))});
                at += kHeader + length;
                continue;
            }
        }
        contents.tornBytes = left;
        contents.tornPackageIds = tornPackageId(bytes.substr(at));
        break;
    }
    return contents;
}

EventJournal::EventJournal(std::string folder, std::string path, int fd)
    : folder_(std::move(folder)), path_(std::move(path)), fd_(fd) {}

EventJournal::~EventJournal() {
    platform::MutexLock lock(mu_);
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

StatusOr<std::unique_ptr<EventJournal>> EventJournal::create(const std::string& folder) {
    if (Status made = platform::makePrivateFolder(folder); !made) {
        return made;
    }
    std::random_device rd;
    char tag[17];
    std::snprintf(tag, sizeof tag, "%08x%08x", rd(), rd());
    const std::string path = folder + "/" + std::string(kPrefix) + std::to_string(::getpid()) +
                             "-" + tag + std::string(kSuffix);
    auto fd = platform::openPrivateFile(path, O_RDWR | O_APPEND | O_TRUNC);
    if (!fd) {
        return fd.status();
    }
    if (::flock(fd.value(), LOCK_EX | LOCK_NB) != 0) {
        const Status failed = Status::error(errnoText("cannot lock the journal"));
        ::close(fd.value());
        return failed;
    }
    return std::unique_ptr<EventJournal>(new EventJournal(folder, path, fd.value()));
}

EventJournal::Orphan::Orphan(std::string path, int fd, Contents contents)
    : path_(std::move(path)), fd_(fd), contents_(std::move(contents)) {}

EventJournal::Orphan::~Orphan() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void EventJournal::Orphan::remove() {
    // Deleted while still locked, so no other process adopts it meanwhile.
    ::unlink(path_.c_str());
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::vector<std::unique_ptr<EventJournal::Orphan>> EventJournal::adoptOrphans(
    const std::string& folder) {
    std::vector<std::unique_ptr<Orphan>> orphans;
    std::vector<std::string> names;
    std::vector<std::string> aside;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name = entry->d_name;
            if (isJournalName(name)) {
                names.emplace_back(name);
            } else if (name.size() > 4 && name.substr(name.size() - 4) == ".new" &&
                       isJournalName(name.substr(0, name.size() - 4))) {
                aside.emplace_back(name);
            }
        }
        ::closedir(dir);
    }
    // A rewrite a kill cut short before its rename: the journal it was to
    // replace is still whole. Left alone while its writer holds it.
    for (const std::string& name : aside) {
        const std::string path = folder + "/" + name;
        auto fd = platform::openPrivateFile(path, O_RDONLY);
        if (fd && ::flock(fd.value(), LOCK_EX | LOCK_NB) == 0) {
            ::unlink(path.c_str());
        }
        if (fd) {
            ::close(fd.value());
        }
    }
    // Oldest process first is not knowable from the names; a stable order
    // keeps replays the same from one start to the next.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        auto fd = platform::openPrivateFile(path, O_RDWR);
        if (!fd) {
            continue;
        }
        // Held by a running process (this one included): not ours to take.
        if (::flock(fd.value(), LOCK_EX | LOCK_NB) != 0 || !stillAtPath(fd.value(), path)) {
            ::close(fd.value());
            continue;
        }
        std::string bytes;
        if (!readAll(fd.value(), bytes)) {
            ::close(fd.value());
            continue;
        }
        orphans.push_back(std::make_unique<Orphan>(path, fd.value(), parse(bytes)));
    }
    return orphans;
}

bool EventJournal::othersRunning(const std::string& folder, const std::string& ownPath) {
    bool running = false;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string path = folder + "/" + entry->d_name;
            if (running || !isJournalName(entry->d_name) || path == ownPath) {
                continue;
            }
            auto fd = platform::openPrivateFile(path, O_RDONLY);
            if (!fd) {
                continue;
            }
            // A lock that cannot be had is a running owner's.
            running = ::flock(fd.value(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            ::close(fd.value());
        }
        ::closedir(dir);
    }
    return running;
}

Status EventJournal::append(Kind kind, std::string_view data) {
    const std::string record = frame(kind, data);
    platform::MutexLock lock(mu_);
    if (fd_ < 0) {
        return Status::error("the journal is closed");
    }
    if (!writeAll(fd_, record)) {
        const Status failed = Status::error(errnoText("journal write failed"));
        // A torn record would hide every later one from a replay.
        (void)::ftruncate(fd_, static_cast<off_t>(size_));
        return failed;
    }
    size_ += record.size();
    return Status::ok();
}

EventJournal::Mark EventJournal::mark() const {
    platform::MutexLock lock(mu_);
    return Mark{epoch_, size_};
}

std::uint64_t EventJournal::size() const {
    platform::MutexLock lock(mu_);
    return size_;
}

Status EventJournal::dropCovered(Mark mark) {
    platform::MutexLock lock(mu_);
    if (fd_ < 0) {
        return Status::error("the journal is closed");
    }
    if (mark.epoch != epoch_) {
        return Status::ok();
    }
    ++epoch_;
    const std::uint64_t covered = mark.size;
    if (covered >= size_) {
        if (::ftruncate(fd_, 0) != 0) {
            return Status::error(errnoText("journal truncation failed"));
        }
        size_ = 0;
        return Status::ok();
    }
    std::string tail(static_cast<std::size_t>(size_ - covered), '\0');
    if (::pread(fd_, tail.data(), tail.size(), static_cast<off_t>(covered)) !=
        static_cast<ssize_t>(tail.size())) {
        return Status::error(errnoText("journal read failed"));
    }
    const std::string aside = path_ + ".new";
    auto fd = platform::openPrivateFile(aside, O_RDWR | O_APPEND | O_TRUNC);
    if (!fd) {
        return fd.status();
    }
    // Locked before it takes the journal's name, so no other process ever
    // sees it unlocked there.
    if (::flock(fd.value(), LOCK_EX | LOCK_NB) != 0 || !writeAll(fd.value(), tail) ||
        ::rename(aside.c_str(), path_.c_str()) != 0) {
        const Status failed = Status::error(errnoText("journal rewrite failed"));
        ::close(fd.value());
        ::unlink(aside.c_str());
        return failed;
    }
    ::close(fd_);
    fd_ = fd.value();
    size_ = tail.size();
    return Status::ok();
}

Status EventJournal::clear() {
    Mark all;
    {
        platform::MutexLock lock(mu_);
        all = Mark{epoch_, UINT64_MAX};
    }
    return dropCovered(all);
}

void EventJournal::removeFile() {
    platform::MutexLock lock(mu_);
    if (fd_ >= 0) {
        ::unlink(path_.c_str());
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace sorvel
