#pragma once

#include <memory>
#include <string>

#include "sorvel/SorvelKVLogDelegate.h"
#include "sorvel/SorvelLogLevel.h"

namespace sorvel {

class DataRegistry;

// The SDK's logger. Each call only queues the line on the serial queue
// "loggingQueue"; the line is cut to its first 10000 characters and goes, by
// one rule for every line of the SDK and of its platform layer:
//  - quality-assurance mode on (the Bool Info key "SorvelQaMode"): every line,
//    at every level, to the system log; the delegate gets nothing;
//  - otherwise the app's log delegate, when one is set, gets every line; a
//    line marked qaOnly goes no further, and any other line also goes to the
//    system log, which shows warnings and errors only.
// So a shipped app (no QA mode, no delegate) shows only the warnings and
// errors that are not qaOnly: the failures its developer must see. Lines of
// the platform layer are never qaOnly.
// The system log gets "svlkv [<level>]: " and the text in pieces of 1000
// characters. Characters are Unicode code points as the SDK's UTF-8 decoder
// reads them: every ill-formed run of bytes counts as one character (as the
// U+FFFD it decodes to), so malformed text is cut like any other. A cut never
// splits a character; the bytes themselves are passed on unchanged.
class SvlLog {
  public:
    static constexpr std::size_t MAX_MESSAGE_CHARS = 10000;
    static constexpr std::size_t MAX_PIECE_CHARS = 1000;
    static constexpr const char* QA_MODE_INFO_KEY = "SorvelQaMode";

    // Every caller says whether its line is meant for quality assurance only:
    // there is no default, since a line that is not reaches a shipped app's
    // stderr when it is a warning or an error.
    static void debug(std::string message, bool qaOnly) noexcept;
    static void info(std::string message, bool qaOnly) noexcept;
    static void warning(std::string message, bool qaOnly) noexcept;
    static void error(std::string message, bool qaOnly) noexcept;
    static void log(SorvelLogLevel level, std::string message, bool qaOnly) noexcept;
    // Whether such a line can reach anyone as things stand now. Lets a caller
    // skip building a costly line nobody receives.
    static bool wouldDeliver(SorvelLogLevel level, bool qaOnly) noexcept;

    // Decides once whether quality-assurance mode is on, from the Bool Info key
    // "SorvelQaMode"; later calls change nothing.
    static void initQaMode(const DataRegistry* registry) noexcept;
    static bool isQaMode() noexcept;

    // The app's log delegate (null: none). The facade's setLogDelegate and
    // getLogDelegate forward here. Safe from any thread, also from inside the
    // delegate; a line being delivered keeps the delegate it started with.
    static void setLogDelegate(std::shared_ptr<SorvelKVLogDelegate> delegate) noexcept;
    static std::shared_ptr<SorvelKVLogDelegate> logDelegate() noexcept;

    // Blocks until every line queued before the call has been handled; builds
    // no logger when none has been used yet. Must not be called from the log
    // delegate.
    static void flush() noexcept;

    // The level's name in the system-log prefix ("none", "trace", ...).
    static const char* levelName(SorvelLogLevel level) noexcept;
};

}  // namespace sorvel
