#include "Platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sorvel::platform {
namespace {

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

Status ensurePrivateFile(const std::string& path) {
    auto fd = openPrivateFile(path, O_RDONLY);
    if (!fd) {
        return fd.status();
    }
    ::close(fd.value());
    return Status::ok();
}

}  // namespace sorvel::platform
