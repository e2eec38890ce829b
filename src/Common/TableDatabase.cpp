#include "Common/TableDatabase.h"

#include "Common/SvlLog.h"
#include "Platform/FileSystem.h"

namespace sorvel {

std::unique_ptr<platform::sqlite::Connection> openTableDatabase(const std::string& fileName,
                                                                const std::string& name) {
    namespace sqlite = platform::sqlite;
    const std::string path = platform::documentsFolder() + "/" + fileName;
    sqlite::StoreOptions options;
    options.threading = SQLITE_OPEN_FULLMUTEX;
    options.nonRegular = sqlite::NonRegularFile::MoveAside;
    options.log = [](const std::string& line) { SvlLog::warning(line, false); };
    // Reading the schema finds a file whose first pages are damaged now,
    // while it can still be moved aside, rather than at every later statement.
    options.setup = [](sqlite::Connection& db) {
        sqlite::Statement schema = db.prepare("SELECT count(*) FROM sqlite_master");
        if (!schema) {
            return schema.prepareResult();
        }
        const int rc = schema.step();
        return rc == SQLITE_ROW ? SQLITE_OK : rc;
    };
    sqlite::OpenedStore opened = sqlite::openStore(path, options);
    for (const std::string& line : sqlite::describe(opened, path, name + " database")) {
        SvlLog::warning(line, false);
    }
    if (!opened.connection) {
        SvlLog::debug("Unable to open " + name + " Database", true);
        return nullptr;
    }
    SvlLog::debug("Successfully opened connection to " + name + " database at " + path, true);
    return std::move(opened.connection);
}

}  // namespace sorvel
