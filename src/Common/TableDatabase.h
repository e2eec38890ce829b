#pragma once

#include <memory>
#include <string>

#include "Platform/Sqlite.h"

namespace sorvel {

// Opens the SDK's local database of tables "<Documents>/<fileName>" (the
// message history, the in-app campaigns) on the caller's thread, as their
// stores do once for the life of the process: read-write, created when
// missing, full-mutex (the connection is shared between queues), through the
// SQLite layer (WAL, busy time-out, private files, a damaged or non-regular
// file moved aside, a file that cannot be written opened read-only). `name`
// names the database in the lines logged through SvlLog.debug, marked for
// quality assurance only: "Successfully opened connection to <name> database
// at <path>", or "Unable to open <name> Database" and null. What the layer
// found (a file moved aside, a read-only file, a damaged log) is logged as a
// warning for everyone.
std::unique_ptr<platform::sqlite::Connection> openTableDatabase(const std::string& fileName,
                                                                const std::string& name);

}  // namespace sorvel
