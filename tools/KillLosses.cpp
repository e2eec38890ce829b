#include "KillLosses.h"

#include <algorithm>

namespace sorvel::tools {

KillLosses classifyKillLosses(long long first, long long last, long long openBuffer,
                              const std::function<KillLosses::Duration(long long)>& age,
                              const std::function<bool(long long)>& delivered,
                              const std::function<bool(long long)>& stored) {
    KillLosses out;
    // The SDK stores events in the order they were recorded, so what it held
    // only in memory at the kill is what came after the newest event that
    // reached the store (or the server, which it reached through the store).
    long long newestKept = first - 1;
    for (long long n = last; n >= first; --n) {
        if (delivered(n) || stored(n)) {
            newestKept = n;
            break;
        }
    }
    // Of the events in memory, the oldest are the open buffer's (a package
    // forms when it holds 10), and those after them had not yet been drained
    // into it: the pipeline's.
    long long buffered = 0;
    for (long long n = first; n <= last; ++n) {
        if (delivered(n)) {
            continue;
        }
        out.lost.emplace_back(n, age(n));
        if (stored(n)) {
            ++out.onDisk;
            out.lostOnDisk.push_back(n);
        } else if (n < newestKept) {
            ++out.memoryGap;
            out.oldestLost = std::max(out.oldestLost, age(n));
        } else {
            ++out.inMemory;
            out.oldestLost = std::max(out.oldestLost, age(n));
            if (buffered < openBuffer) {
                if (buffered++ == 0) {
                    out.bufferAge = age(n);
                }
            } else if (out.inPipeline++ == 0) {
                out.pipelineLag = age(n);
            }
        }
    }
    return out;
}

}  // namespace sorvel::tools
