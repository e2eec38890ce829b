#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace sorvel::platform {

// The "unified log" of the design: stderr by default; tests install a capture sink.
class ILogSink {
  public:
    virtual ~ILogSink() = default;
    virtual void write(std::string_view line) = 0;
};

class SystemLog {
  public:
    static void write(std::string_view line);
    // Installs a sink (null restores stderr).
    static void setSink(std::shared_ptr<ILogSink> sink);
};

}  // namespace sorvel::platform
