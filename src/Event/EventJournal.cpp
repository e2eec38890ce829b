#include "Event/EventJournal.h"

#include <zlib.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <tuple>
#include <utility>

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

void putLe32(char* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

std::uint32_t getLe32(const char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    }
    return v;
}

// Writes every byte of the gathered parts with as few write calls as the
// system allows (one, unless it stops short); false on an error.
bool writeAllParts(int fd, iovec* parts, int count) {
    while (count > 0) {
        const ssize_t n = ::writev(fd, parts, std::min(count, IOV_MAX));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        auto left = static_cast<std::size_t>(n);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
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
    if (bytes.size() <= kHeader + 1) {
        return {};
    }
    const auto kind = static_cast<EventJournal::Kind>(static_cast<std::uint8_t>(bytes[kHeader]));
    if (kind != EventJournal::Kind::PACKAGE && kind != EventJournal::Kind::BUFFER_PACKAGE) {
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

constexpr char kGenerationMark = '~';
constexpr std::size_t kGenerationDigits = 16;

// A journal file's name as its journal's stem and the file's generation: a
// journal's first file carries none (0), as journals always did.
struct FileName {
    std::string stem;
    std::uint64_t generation = 0;
    std::string name;
    bool operator<(const FileName& o) const {
        return std::tie(stem, generation, name) < std::tie(o.stem, o.generation, o.name);
    }
};

FileName splitName(std::string_view name) {
    std::string_view base = name;
    if (isJournalName(name)) {
        base = name.substr(0, name.size() - kSuffix.size());
    }
    FileName out{std::string(base), 0, std::string(name)};
    const std::size_t at = base.rfind(kGenerationMark);
    if (at == std::string_view::npos || base.size() - at - 1 != kGenerationDigits) {
        return out;
    }
    std::uint64_t generation = 0;
    for (const char c : base.substr(at + 1)) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            return out;
        }
        generation = (generation << 4) | static_cast<std::uint64_t>(digit);
    }
    out.stem = std::string(base.substr(0, at));
    out.generation = generation;
    return out;
}

std::vector<FileName> journalNames(const std::string& folder, std::vector<std::string>* aside) {
    std::vector<FileName> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name = entry->d_name;
            if (isJournalName(name)) {
                names.push_back(splitName(name));
            } else if (aside != nullptr && name.size() > 4 &&
                       name.substr(name.size() - 4) == ".new" &&
                       isJournalName(name.substr(0, name.size() - 4))) {
                aside->emplace_back(name);
            }
        }
        ::closedir(dir);
    }
    // Oldest process first is not knowable from the names; a stable order
    // keeps replays the same from one start to the next, and a journal's
    // files follow one another oldest first.
    std::sort(names.begin(), names.end());
    return names;
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

namespace {

std::uint32_t crcUpdate(uLong crc, std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t n = std::min<std::size_t>(bytes.size() - at, 1U << 30);
        crc = ::crc32(crc, reinterpret_cast<const Bytef*>(bytes.data() + at), static_cast<uInt>(n));
        at += n;
    }
    return static_cast<std::uint32_t>(crc);
}

// A record's header and kind byte, for a payload whose data is `parts`.
std::array<char, kHeader + 1> headerOf(EventJournal::Kind kind,
                                       std::initializer_list<std::string_view> parts) {
    std::array<char, kHeader + 1> header{};
    header[kHeader] = static_cast<char>(kind);
    std::size_t length = 1;
    std::uint32_t crc = crcUpdate(::crc32(0L, Z_NULL, 0), std::string_view(&header[kHeader], 1));
    for (const std::string_view part : parts) {
        length += part.size();
        crc = crcUpdate(crc, part);
    }
    putLe32(header.data(), static_cast<std::uint32_t>(length));
    putLe32(header.data() + 4, crc);
    return header;
}

void appendPackageParts(std::string& out, std::string_view id, std::string_view element,
                        std::string_view counters) {
    out.reserve(out.size() + id.size() + element.size() + counters.size() + 2);
    out.append(id);
    out += '\0';
    out.append(element);
    out += '\0';
    out.append(counters);
}

}  // namespace

std::uint32_t EventJournal::crc32(std::string_view bytes) {
    // zlib's CRC-32 is the IEEE one the records always carried (reflected
    // 0xEDB88320, all ones in and out), computed several bytes at a time.
    return crcUpdate(::crc32(0L, Z_NULL, 0), bytes);
}

EventJournal::Counters EventJournal::readCounters(std::string_view text) {
    const std::string counters(text);
    Counters out;
    char* rest = nullptr;
    out.sessionOrderNo = std::strtoull(counters.c_str(), &rest, 10);
    out.eventOrderNo = std::strtoull(rest, &rest, 10);
    if (*rest == ' ') {
        out.prevId = std::string(rest + 1);
    }
    return out;
}

std::string EventJournal::countersText(const Counters& counters) {
    std::string out = std::to_string(counters.sessionOrderNo);
    out += ' ';
    out += std::to_string(counters.eventOrderNo);
    if (counters.prevId) {
        out += ' ';
        out += *counters.prevId;
    }
    return out;
}

std::string EventJournal::packageData(const std::string& id, std::string_view element,
                                      const Counters& counters) {
    std::string out;
    appendPackageParts(out, id, element, countersText(counters));
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
    p.counters = readCounters(data.substr(elementEnd + 1));
    return p;
}

std::string EventJournal::openEventsData(const Counters& counters, std::string_view eventsJson) {
    std::string out = countersText(counters);
    out += '\0';
    out += eventsJson;
    return out;
}

std::optional<EventJournal::OpenEvents> EventJournal::readOpenEvents(std::string_view data) {
    const std::size_t countersEnd = data.find('\0');
    if (countersEnd == std::string_view::npos) {
        return std::nullopt;
    }
    OpenEvents open;
    open.counters = readCounters(data.substr(0, countersEnd));
    open.eventsJson = std::string(data.substr(countersEnd + 1));
    return open;
}

std::string EventJournal::frame(Kind kind, std::string_view data) {
    const auto header = headerOf(kind, {data});
    std::string out;
    out.reserve(header.size() + data.size());
    out.append(header.data(), header.size());
    out.append(data);
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
                    kind <= static_cast<std::uint8_t>(Kind::LEFT_OUT);
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

EventJournal::EventJournal(std::string folder, std::string stem, std::string path, int fd)
    : folder_(std::move(folder)), stem_(std::move(stem)) {
    platform::MutexLock lock(mu_);
    current_.path = std::move(path);
    current_.fd = fd;
}

EventJournal::~EventJournal() {
    platform::MutexLock lock(mu_);
    // Closed, not deleted: what the files hold is for the next start.
    for (const File& file : retired_) {
        ::close(file.fd);
    }
    dropSpareLocked();
    if (current_.fd >= 0) {
        ::close(current_.fd);
    }
}

std::string EventJournal::sparePath() const {
    return folder_ + "/" + stem_ + "-spare" + std::string(kSuffix) + ".new";
}

void EventJournal::dropSpareLocked() {
    if (spare_.fd >= 0) {
        ::unlink(spare_.path.c_str());
        ::close(spare_.fd);
        spare_ = File{};
    }
}

std::string EventJournal::pathOf(std::uint64_t generation) const {
    if (generation == 0) {
        return folder_ + "/" + stem_ + std::string(kSuffix);
    }
    char digits[kGenerationDigits + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(generation));
    return folder_ + "/" + stem_ + kGenerationMark + digits + std::string(kSuffix);
}

StatusOr<std::unique_ptr<EventJournal>> EventJournal::create(const std::string& folder) {
    if (Status made = platform::makePrivateFolder(folder); !made) {
        return made;
    }
    std::random_device rd;
    char tag[17];
    std::snprintf(tag, sizeof tag, "%08x%08x", rd(), rd());
    const std::string stem = std::string(kPrefix) + std::to_string(::getpid()) + "-" + tag;
    const std::string path = folder + "/" + stem + std::string(kSuffix);
    auto fd = platform::openPrivateFile(path, O_RDWR | O_APPEND | O_TRUNC);
    if (!fd) {
        return fd.status();
    }
    if (::flock(fd.value(), LOCK_EX | LOCK_NB) != 0) {
        const Status failed = Status::error(errnoText("cannot lock the journal"));
        ::close(fd.value());
        return failed;
    }
    return std::unique_ptr<EventJournal>(new EventJournal(folder, stem, path, fd.value()));
}

EventJournal::Orphan::Orphan(std::string path, int fd, Contents contents)
    : path_(std::move(path)), fd_(fd), contents_(std::move(contents)) {}

EventJournal::Orphan::~Orphan() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::string EventJournal::Orphan::journalStem() const {
    return splitName(std::string_view(path_).substr(path_.rfind('/') + 1)).stem;
}

void EventJournal::Orphan::remove() {
    // Deleted while still locked, so no other process adopts it meanwhile.
    ::unlink(path_.c_str());
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::vector<std::string> EventJournal::filesInReplayOrder(const std::string& folder) {
    std::vector<std::string> paths;
    for (const FileName& name : journalNames(folder, nullptr)) {
        paths.push_back(folder + "/" + name.name);
    }
    return paths;
}

std::vector<std::unique_ptr<EventJournal::Orphan>> EventJournal::adoptOrphans(
    const std::string& folder) {
    std::vector<std::unique_ptr<Orphan>> orphans;
    std::vector<std::string> aside;
    const std::vector<FileName> names = journalNames(folder, &aside);
    // A file a kill left before it took its name (a new file of a journal,
    // or a rewrite of one by an older version): what it was to follow or
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
    // One journal's files together: locked oldest first, so that of two
    // starts that race for them one has them all and the other none.
    std::size_t at = 0;
    while (at < names.size()) {
        std::size_t end = at;
        while (end < names.size() && names[end].stem == names[at].stem) {
            ++end;
        }
        std::vector<std::pair<std::string, int>> locked;
        bool whole = true;
        for (std::size_t i = at; i < end && whole; ++i) {
            const std::string path = folder + "/" + names[i].name;
            auto fd = platform::openPrivateFile(path, O_RDWR);
            if (!fd) {
                // Deleted since the folder was read: its checkpoint holds it.
                continue;
            }
            // Held by a running process (this one included): not ours to take.
            if (::flock(fd.value(), LOCK_EX | LOCK_NB) != 0 || !stillAtPath(fd.value(), path)) {
                ::close(fd.value());
                whole = false;
                break;
            }
            locked.emplace_back(path, fd.value());
        }
        std::vector<std::unique_ptr<Orphan>> journal;
        for (const auto& [path, fd] : locked) {
            std::string bytes;
            if (whole && !readAll(fd, bytes)) {
                whole = false;
            }
            if (!whole) {
                ::close(fd);
                continue;
            }
            journal.push_back(std::make_unique<Orphan>(path, fd, parse(bytes)));
        }
        if (whole) {
            for (auto& orphan : journal) {
                orphans.push_back(std::move(orphan));
            }
        }
        // Otherwise the orphans made so far close their files unread.
        at = end;
    }
    return orphans;
}

bool EventJournal::othersRunning(const std::string& folder, const std::string& ownPath) {
    const std::string ownName = ownPath.substr(ownPath.rfind('/') + 1);
    const std::string ownStem = splitName(ownName).stem;
    for (const FileName& name : journalNames(folder, nullptr)) {
        if (name.stem == ownStem) {
            continue;
        }
        auto fd = platform::openPrivateFile(folder + "/" + name.name, O_RDONLY);
        if (!fd) {
            continue;
        }
        // A lock that cannot be had is a running owner's.
        const bool running = ::flock(fd.value(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        ::close(fd.value());
        if (running) {
            return true;
        }
    }
    return false;
}

Status EventJournal::append(Kind kind, std::initializer_list<std::string_view> parts) {
    const auto header = headerOf(kind, parts);
    // The header, then each part as it lies in the caller's memory.
    std::array<iovec, 8> vec{};
    if (parts.size() + 1 > vec.size()) {
        return Status::error("a journal record has too many parts");
    }
    int count = 0;
    std::size_t bytes = header.size();
    vec[count++] = iovec{const_cast<char*>(header.data()), header.size()};
    for (const std::string_view part : parts) {
        if (!part.empty()) {
            vec[count++] = iovec{const_cast<char*>(part.data()), part.size()};
            bytes += part.size();
        }
    }
    platform::MutexLock lock(mu_);
    if (current_.fd < 0) {
        return Status::error("the journal is closed");
    }
    if (!writeAllParts(current_.fd, vec.data(), count)) {
        const Status failed = Status::error(errnoText("journal write failed"));
        // A torn record would hide every later one from a replay.
        (void)::ftruncate(current_.fd, static_cast<off_t>(current_.size));
        return failed;
    }
    current_.size += bytes;
    return Status::ok();
}

Status EventJournal::appendPackage(std::string_view id, std::string_view element,
                                   const Counters& counters, Kind kind) {
    // The counters as countersText() writes them, without a string of their own.
    char numbers[48];
    const int n = std::snprintf(numbers, sizeof numbers, "%llu %llu",
                                static_cast<unsigned long long>(counters.sessionOrderNo),
                                static_cast<unsigned long long>(counters.eventOrderNo));
    const char nul = '\0';
    const std::string_view separator(&nul, 1);
    const std::string_view numbersText(numbers, static_cast<std::size_t>(n));
    if (!counters.prevId) {
        return append(kind, {id, separator, element, separator, numbersText});
    }
    return append(kind, {id, separator, element, separator, numbersText, " ", *counters.prevId});
}

EventJournal::File EventJournal::makeFile(std::uint64_t generation, File spare) const {
    const std::string path = pathOf(generation);
    if (spare.fd >= 0) {
        // An emptied file of this journal, still locked: renamed, it needs
        // no new file (whose making is most of a mark's cost).
        if (::rename(spare.path.c_str(), path.c_str()) == 0) {
            return File{generation, path, spare.fd, 0};
        }
        ::unlink(spare.path.c_str());
        ::close(spare.fd);
    }
    const std::string aside = path + ".new";
    auto fd = platform::openPrivateFile(aside, O_RDWR | O_APPEND | O_TRUNC);
    if (!fd) {
        return File{};
    }
    // Locked before it takes the journal's name, so no other process ever
    // sees it unlocked there.
    if (::flock(fd.value(), LOCK_EX | LOCK_NB) != 0 || ::rename(aside.c_str(), path.c_str()) != 0) {
        ::close(fd.value());
        ::unlink(aside.c_str());
        return File{};
    }
    return File{generation, path, fd.value(), 0};
}

EventJournal::Mark EventJournal::mark() {
    // Files are made and renamed outside mu_: a record appended meanwhile
    // goes to the current file (it came before the mark), and no append
    // ever waits for the file system's slower steps.
    platform::MutexLock files(fileMu_);
    std::uint64_t generation = 0;
    File spare;
    {
        platform::MutexLock lock(mu_);
        if (current_.fd < 0 || current_.size == 0 || retired_.size() + 1 >= MAX_FILES) {
            // Covers the files before the current one: what is appended
            // from now on goes to the current one, which a later mark retires.
            return Mark{current_.generation};
        }
        generation = current_.generation + 1;
        spare = std::exchange(spare_, File{});
    }
    File next = makeFile(generation, std::move(spare));
    platform::MutexLock lock(mu_);
    if (next.fd >= 0) {
        retired_.push_back(std::move(current_));
        current_ = std::move(next);
    }
    return Mark{current_.generation};
}

std::uint64_t EventJournal::size() const {
    platform::MutexLock lock(mu_);
    std::uint64_t total = current_.size;
    for (const File& file : retired_) {
        total += file.size;
    }
    return total;
}

std::size_t EventJournal::fileCount() const {
    platform::MutexLock lock(mu_);
    return retired_.size() + (current_.fd >= 0 ? 1 : 0);
}

std::string EventJournal::path() const {
    platform::MutexLock lock(mu_);
    return current_.path;
}

Status EventJournal::dropCovered(Mark mark) {
    platform::MutexLock files(fileMu_);
    std::vector<File> covered;
    bool keepOne = false;
    {
        platform::MutexLock lock(mu_);
        if (current_.fd < 0) {
            return Status::error("the journal is closed");
        }
        while (!retired_.empty() && retired_.front().generation < mark.generation) {
            covered.push_back(std::move(retired_.front()));
            retired_.erase(retired_.begin());
        }
        keepOne = spare_.fd < 0;
    }
    // Deleted while still locked, so no other process adopts one meanwhile;
    // oldest first, so a kill part-way leaves the newer files whole.
    File kept;
    for (File& file : covered) {
        // One is kept, emptied, for the next mark. Out of the journal's
        // names first: a kill before it is empty leaves a file that starts
        // clear away unread, never records a replay would read again.
        if (keepOne && kept.fd < 0 && ::rename(file.path.c_str(), sparePath().c_str()) == 0) {
            if (::ftruncate(file.fd, 0) == 0) {
                kept = File{0, sparePath(), file.fd, 0};
                continue;
            }
            file.path = sparePath();
        }
        ::unlink(file.path.c_str());
        ::close(file.fd);
    }
    if (kept.fd >= 0) {
        platform::MutexLock lock(mu_);
        spare_ = std::move(kept);
    }
    return Status::ok();
}

Status EventJournal::clear() {
    platform::MutexLock files(fileMu_);
    platform::MutexLock lock(mu_);
    if (current_.fd < 0) {
        return Status::error("the journal is closed");
    }
    for (const File& file : retired_) {
        ::unlink(file.path.c_str());
        ::close(file.fd);
    }
    retired_.clear();
    if (::ftruncate(current_.fd, 0) != 0) {
        return Status::error(errnoText("journal truncation failed"));
    }
    current_.size = 0;
    return Status::ok();
}

void EventJournal::removeFile() {
    platform::MutexLock files(fileMu_);
    platform::MutexLock lock(mu_);
    dropSpareLocked();
    for (const File& file : retired_) {
        ::unlink(file.path.c_str());
        ::close(file.fd);
    }
    retired_.clear();
    if (current_.fd >= 0) {
        ::unlink(current_.path.c_str());
        ::close(current_.fd);
        current_.fd = -1;
    }
}

}  // namespace sorvel
