#include "Platform/Keychain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <string_view>

#include "Base/Hex.h"
#include "Platform/Crypto.h"
#include "Platform/FileSystem.h"

namespace sorvel::platform {
namespace {

constexpr std::string_view kMagic = "SVLKC1\n";
// An item is a device id or a similar small secret; anything this large is
// not ours and is treated as corrupt rather than read into memory.
constexpr std::size_t kMaxItemBytes = 1 << 20;

std::string itemPath(const std::string& folder, const std::string& service,
                     const std::string& account) {
    std::string key = service;
    key.push_back('\0');
    key += account;
    return folder + "/" + text::toHex(crypto::sha256(key)) + ".item";
}

void appendField(std::string& out, std::string_view field) {
    out += std::to_string(field.size());
    out.push_back('\n');
    out.append(field);
}

bool takeField(std::string_view& in, std::string& out) {
    auto nl = in.find('\n');
    if (nl == std::string_view::npos || nl == 0) {
        return false;
    }
    std::size_t len = 0;
    auto [ptr, ec] = std::from_chars(in.data(), in.data() + nl, len);
    if (ec != std::errc() || ptr != in.data() + nl || len > in.size() - nl - 1) {
        return false;
    }
    out.assign(in.substr(nl + 1, len));
    in.remove_prefix(nl + 1 + len);
    return true;
}

void syncFolder(const std::string& folder) {
    int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

std::string keychainDir() {
    std::string folder = keychainFolder();
    // Only the owner may list the items.
    ::chmod(folder.c_str(), 0700);
    return folder;
}

}  // namespace

const char* keychainStatusName(KeychainStatus status) noexcept {
    switch (status) {
        case KeychainStatus::SUCCESS:
            return "success";
        case KeychainStatus::IO_ERROR:
            return "I/O error";
        case KeychainStatus::PARAM:
            return "invalid parameter";
        case KeychainStatus::ITEM_NOT_FOUND:
            return "item not found";
        case KeychainStatus::DECODE:
            return "item cannot be decoded";
    }
    return "unknown status";
}

KeychainStatus Keychain::save(const std::string& service, const std::string& account,
                              const std::string& data) noexcept {
    try {
        if (data.size() > kMaxItemBytes) {
            return KeychainStatus::PARAM;
        }
        const std::string path = itemPath(keychainDir(), service, account);

        std::string bytes(kMagic);
        appendField(bytes, service);
        appendField(bytes, account);
        appendField(bytes, data);

        return writePrivateFileAtomically(path, bytes) ? KeychainStatus::SUCCESS
                                                       : KeychainStatus::IO_ERROR;
    } catch (...) {
        return KeychainStatus::IO_ERROR;
    }
}

KeychainStatus Keychain::read(const std::string& service, const std::string& account,
                              std::string& dataOut) noexcept {
    try {
        const std::string path = itemPath(keychainDir(), service, account);
        // Only a missing file means "no item". Any other failure (no file
        // descriptors left, a folder that cannot be reached) says nothing
        // about the item, so the caller must not take it for absent.
        // Non-blocking, so a FIFO in the item's place cannot hang the reader.
        int fd = -1;
        do {
            fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            return errno == ENOENT ? KeychainStatus::ITEM_NOT_FOUND : KeychainStatus::IO_ERROR;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            // Something that is not an item file sits in its place: it cannot
            // be read, but it is no sign that the item is missing or damaged.
            ::close(fd);
            return KeychainStatus::IO_ERROR;
        }
        std::string bytes;
        char buf[4096];
        bool ok = true;
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof(buf));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                ok = false;
                break;
            }
            if (n == 0) {
                break;
            }
            bytes.append(buf, static_cast<std::size_t>(n));
            if (bytes.size() > kMaxItemBytes + 4096) {
                ::close(fd);
                return KeychainStatus::DECODE;
            }
        }
        ::close(fd);
        if (!ok) {
            return KeychainStatus::IO_ERROR;
        }
        std::string_view in(bytes);
        if (in.substr(0, kMagic.size()) != kMagic) {
            return KeychainStatus::DECODE;
        }
        in.remove_prefix(kMagic.size());
        std::string storedService;
        std::string storedAccount;
        std::string data;
        if (!takeField(in, storedService) || !takeField(in, storedAccount) ||
            !takeField(in, data) || !in.empty() || storedService != service ||
            storedAccount != account) {
            return KeychainStatus::DECODE;
        }
        dataOut = std::move(data);
        return KeychainStatus::SUCCESS;
    } catch (...) {
        return KeychainStatus::IO_ERROR;
    }
}

KeychainStatus Keychain::remove(const std::string& service, const std::string& account) noexcept {
    try {
        const std::string folder = keychainDir();
        const std::string path = itemPath(folder, service, account);
        if (::unlink(path.c_str()) != 0) {
            return errno == ENOENT ? KeychainStatus::ITEM_NOT_FOUND : KeychainStatus::IO_ERROR;
        }
        syncFolder(folder);
        return KeychainStatus::SUCCESS;
    } catch (...) {
        return KeychainStatus::IO_ERROR;
    }
}

}  // namespace sorvel::platform
