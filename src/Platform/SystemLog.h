#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace sorvel::platform {

// The system log: stderr by default; a host may send the lines elsewhere
// (host::setSystemLogSink), as tests do to capture them.
class ILogSink {
  public:
    virtual ~ILogSink() = default;
    virtual void write(std::string_view line) = 0;
};

// The level of a line the platform logs; the values are the SDK's.
enum class LogLevel { debug = 2, info = 3, warning = 4, error = 5 };

// Hands a platform line to the SDK's logger, which decides where it goes.
using LogRouter = void (*)(LogLevel level, std::string_view text);

class SystemLog {
  public:
    // Writes a line that is already decided on, as it is: to the host's sink,
    // else to stderr. The SDK's logger ends here.
    static void write(std::string_view line);
    // A line of the platform layer. With a router installed it goes where the
    // SDK's logger sends a line of that level; without one only warnings and
    // errors are written, as "svlkv [<level>]: <text>". A line logged while
    // the router itself runs on this thread is written at once (when it is a
    // warning or an error), so a failure of the logger's own machinery cannot
    // loop back into it.
    static void log(LogLevel level, std::string_view text);
    // The prefix of a line of that level: "svlkv [warning]: ".
    static std::string prefix(LogLevel level);
    // Installed by the SDK's logger; null: none.
    static void setRouter(LogRouter router);
};

}  // namespace sorvel::platform
