#pragma once

#include <string>
#include <string_view>

#include "Base/Status.h"

namespace sorvel::platform {

// ---- The app's folders -----------------------------------------------------
// Where the app's data lives; the host sets it (host::setHomeFolder). Each
// folder is created, with any missing parent, when asked for; a folder that
// cannot be created is logged and its path still returned (what is then
// written there fails and says so).

std::string homeFolder();
std::string documentsFolder();    // <home>/Documents
std::string preferencesFolder();  // <home>/Library/Preferences
std::string cachesFolder();       // <home>/Library/Caches
std::string tempFolder();         // <home>/tmp
// Outside the app's data folder, so a wipe of that leaves the keychain.
std::string keychainFolder();
// The bundle id the default home folder and the keychain's account follow.
// Asking for it is a use of the folders: from then on the app cannot change
// it (host::setAppBundleId).
std::string bundleIdInUse();

// ---- Private folders and files --------------------------------------------
// Data at rest stays private to the user running the app: every folder the SDK
// creates is 0700 and every file 0600, whatever the process's umask (a umask of
// 000 must not widen them, one of 0277 must not lock the owner out).

// Creates the folder and each missing parent with mode 0700. Folders that
// already exist are left as they are. Fails when a part of the path exists but
// is not a folder, or cannot be created.
Status makePrivateFolder(const std::string& path);

// Opens a regular file with the given access flags (O_RDONLY, O_WRONLY or
// O_RDWR, plus O_APPEND or O_TRUNC if wanted), creating it with mode 0600 when
// it does not exist. An existing file loses any access it grants to group and
// others (0644 becomes 0600, 0444 becomes 0400); its owner's bits are kept.
// Never blocks: a FIFO, socket or device at the path is refused, as is a
// symbolic link. On success the caller owns the descriptor and closes it.
StatusOr<int> openPrivateFile(const std::string& path, int flags);

// Replaces the file at path with `data` as one step: the bytes go to a fresh
// private file beside it, are synced, and that file is renamed over the old
// one (and the folder synced), so a reader, or the next launch after a kill,
// finds the old file or the new one whole, never a part. A symbolic link at
// path is replaced, not followed.
Status writePrivateFileAtomically(const std::string& path, std::string_view data);

// Creates the file like openPrivateFile, or narrows an existing one's mode,
// without opening it for writing (a read-only file stays usable for reading).
// For files that another library then opens by name: an SQLite database (its
// "-wal" and "-shm" files take the database file's mode).
Status ensurePrivateFile(const std::string& path);

}  // namespace sorvel::platform
