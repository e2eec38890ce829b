#include "Platform/FileSystem.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform {
namespace {

struct FolderState {
    Mutex mu;
    std::string home GUARDED_BY(mu);
    std::string keychain GUARDED_BY(mu);
    // Where a default home goes, found at the first use: the environment is
    // read once, never again while SDK threads run.
    struct Defaults {
        std::string envHome;  // $SORVEL_HOME
        std::string base;     // the folder that holds one home per app
    };
    std::optional<Defaults> defaults GUARDED_BY(mu);
    // The SDK has asked where its data or its keychain lives: from then on the
    // app cannot move them, nor change the bundle id they follow, or a launch
    // would part its data from its device id. The bundle's lock is taken
    // inside this one, never the other way round: the first use and a change
    // of the bundle id each see the other whole.
    bool used GUARDED_BY(mu) = false;

    FolderState() {
        registerResetHook([this] {
            MutexLock lock(mu);
            used = false;
        });
    }
};

FolderState& folderState() {
    static NoDestructor<FolderState> s;
    return s.get();
}

std::string envValue(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

std::string userHome() {
    if (std::string home = envValue("HOME"); !home.empty() && home.front() == '/') {
        return home;
    }
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return "";
}

// The folder that holds one home per app: $XDG_DATA_HOME/sorvelkv, else
// ~/.local/share/sorvelkv. Without any home folder for the user, a fresh
// private folder under the temp directory: nothing persists across launches,
// but nothing is shared with other users either.
std::string findDefaultBase() {
    if (std::string xdg = envValue("XDG_DATA_HOME"); !xdg.empty() && xdg.front() == '/') {
        return xdg + "/sorvelkv";
    }
    if (std::string home = userHome(); !home.empty()) {
        return home + "/.local/share/sorvelkv";
    }
    std::error_code ec;
    auto tmp = std::filesystem::temp_directory_path(ec);
    std::string pattern = (ec ? std::string("/tmp") : tmp.string()) + "/sorvelkv-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        SystemLog::log(LogLevel::warning,
                       "FileSystem :: no home folder for the user and no temp folder (" +
                           std::string(std::strerror(errno)) +
                           "); app data lives in ./sorvelkv-data");
        return "sorvelkv-data";
    }
    SystemLog::log(LogLevel::warning,
                   "FileSystem :: no home folder for the user; app data lives in " + pattern +
                       " for this launch only");
    return pattern;
}

// A bundle id as one folder name: only [A-Za-z0-9._-] stay, and "", "." and
// ".." would name something else.
std::string folderNameFor(const std::string& bundleId) {
    std::string name = bundleId;
    for (char& c : name) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!keep) {
            c = '_';
        }
    }
    if (name.empty() || name == "." || name == "..") {
        name = "_" + name;
    }
    return name;
}

FolderState::Defaults findDefaults() {
    FolderState::Defaults d;
    d.envHome = envValue("SORVEL_HOME");
    if (d.envHome.empty()) {
        d.base = findDefaultBase();
    }
    return d;
}

std::string homeFrom(const FolderState::Defaults& d, const std::string& bundleId) {
    return d.envHome.empty() ? d.base + "/" + folderNameFor(bundleId) : d.envHome;
}

std::string ensured(const std::string& path) {
    if (Status made = makePrivateFolder(path); !made) {
        SystemLog::log(LogLevel::error, "FileSystem :: " + made.message());
    }
    return path;
}

std::string failure(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

// Creates one folder (its parent exists). chmod after mkdir: mkdir's mode is
// narrowed by the umask, and a narrower one would lock the owner out.
Status makeOneFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0) {
        if (::chmod(path.c_str(), 0700) != 0) {
            return Status::error(failure("can not set the mode of", path, errno));
        }
        return Status::ok();
    }
    const int err = errno;
    struct stat st {};
    if (err == EEXIST && ::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return Status::ok();
        }
        return Status::error("can not create folder " + path + ": something else is there");
    }
    return Status::error(failure("can not create folder", path, err));
}

}  // namespace

std::string homeFolder() {
    auto& s = folderState();
    {
        MutexLock lock(s.mu);
        if (!s.home.empty()) {
            s.used = true;
            return s.home;
        }
        if (s.defaults) {
            s.used = true;
            return homeFrom(*s.defaults, Bundle::bundleId());
        }
    }
    // Found without the lock held: it may log.
    FolderState::Defaults found = findDefaults();
    MutexLock lock(s.mu);
    if (!s.defaults) {
        s.defaults = std::move(found);
    }
    s.used = true;
    return s.home.empty() ? homeFrom(*s.defaults, Bundle::bundleId()) : s.home;
}

std::string documentsFolder() {
    return ensured(homeFolder() + "/Documents");
}
std::string preferencesFolder() {
    return ensured(homeFolder() + "/Library/Preferences");
}
std::string cachesFolder() {
    return ensured(homeFolder() + "/Library/Caches");
}
std::string tempFolder() {
    return ensured(homeFolder() + "/tmp");
}

std::string bundleIdInUse() {
    auto& s = folderState();
    MutexLock lock(s.mu);
    s.used = true;
    return Bundle::bundleId();
}

std::string keychainFolder() {
    std::string path;
    {
        auto& s = folderState();
        MutexLock lock(s.mu);
        path = s.keychain;
        // Without a folder of its own, homeFolder() below marks the use.
        s.used = s.used || !path.empty();
    }
    // Beside the home folder, not inside it: a wipe of the app's data must not
    // take the device id with it.
    return ensured(path.empty() ? homeFolder() + "-keychain" : path);
}

namespace host {

void setHomeFolder(const std::string& path) {
    auto& s = folderState();
    MutexLock lock(s.mu);
    s.home = path;
}

void setKeychainFolder(const std::string& path) {
    auto& s = folderState();
    MutexLock lock(s.mu);
    s.keychain = path;
}

std::optional<std::string> setDataFolder(const std::string& path) {
    auto& s = folderState();
    {
        MutexLock lock(s.mu);
        if (!s.used) {
            // One step for both: a reader in between would find the new home
            // with the old keychain.
            s.home = path;
            s.keychain.clear();
            return std::nullopt;
        }
    }
    // Once used, this call never changes the folders again, so the answer is
    // the folder every reader got.
    std::string inUse = homeFolder();
    if (inUse == path) {
        return std::nullopt;
    }
    return inUse;
}

std::optional<std::string> setAppBundleId(const std::string& id) {
    auto& s = folderState();
    MutexLock lock(s.mu);
    if (!s.used) {
        setBundleId(id);
        return std::nullopt;
    }
    std::string inUse = Bundle::bundleId();
    if (inUse == id) {
        return std::nullopt;
    }
    return inUse;
}

}  // namespace host

Status makePrivateFolder(const std::string& path) {
    if (path.empty()) {
        return Status::error("can not create a folder with an empty path");
    }
    // Every prefix ending before a '/', then the whole path.
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (path[slash - 1] == '/') {
            continue;  // "a//b"
        }
        if (Status s = makeOneFolder(path.substr(0, slash)); !s) {
            return s;
        }
    }
    if (path.back() == '/') {
        return Status::ok();
    }
    return makeOneFolder(path);
}

StatusOr<int> openPrivateFile(const std::string& path, int flags) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
    const int kFlags = flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    bool created = true;
    int fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = ::open(path.c_str(), kFlags);
    }
    if (fd < 0) {
        return Status::error(failure("can not open", path, errno));
    }
    auto fail = [fd](std::string message) {
        ::close(fd);
        return Status::error(std::move(message));
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return fail(failure("can not inspect", path, errno));
    }
    if (!S_ISREG(st.st_mode)) {
        return fail("can not open " + path + ": not a regular file");
    }
    const mode_t wanted = created ? 0600 : (st.st_mode & 0700);
    if ((st.st_mode & 07777) != wanted && ::fchmod(fd, wanted) != 0) {
        return fail(failure("can not set the mode of", path, errno));
    }
    const int now = ::fcntl(fd, F_GETFL);
    if (now < 0 || ::fcntl(fd, F_SETFL, now & ~O_NONBLOCK) != 0) {
        return fail(failure("can not set up", path, errno));
    }
    return fd;
}

Status writePrivateFileAtomically(const std::string& path, std::string_view data) {
    static std::atomic<std::uint64_t> counter{0};
    const std::string temp =
        path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return Status::error(failure("can not create", temp, errno));
    }
    // The umask cannot widen 0600, but a narrower one must not hide the file
    // from its owner either.
    bool ok = ::fchmod(fd, 0600) == 0;
    for (std::size_t done = 0; ok && done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    int err = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return Status::error(failure("can not write", path, err));
    }
    const std::string folder = std::filesystem::path(path).parent_path().string();
    const int dfd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return Status::ok();
}

Status ensurePrivateFile(const std::string& path) {
    auto fd = openPrivateFile(path, O_RDONLY);
    if (!fd) {
        return fd.status();
    }
    ::close(fd.value());
    return Status::ok();
}

}  // namespace sorvel::platform
