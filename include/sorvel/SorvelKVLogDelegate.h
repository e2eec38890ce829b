#pragma once

#include <string>

#include "sorvel/Export.h"
#include "sorvel/SorvelLogLevel.h"

namespace sorvel {

/// Receives every SDK log line while quality-assurance mode is off, the lines
/// meant for quality assurance only too; the warnings and errors that are not
/// go to stderr as well, delegate or not.
/// Called on the SDK's logging thread, one line at a time, in the order the
/// lines were logged. The callback may call back into the SDK.
class SORVEL_API SorvelKVLogDelegate {
  public:
    virtual ~SorvelKVLogDelegate() = default;
    /// One log line, with its level; the text is at most 10000 characters.
    virtual void didPrintLog(SorvelLogLevel level, const std::string& log) = 0;
};

}  // namespace sorvel
