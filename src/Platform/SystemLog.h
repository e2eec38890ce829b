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

class SystemLog {
  public:
    static void write(std::string_view line);
};

}  // namespace sorvel::platform
