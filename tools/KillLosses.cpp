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
        } else {
            ++out.inMemory;
            if (n <= last - openBuffer) {
                ++out.inPipeline;
                out.pipelineLag = std::max(out.pipelineLag, age(n));
            }
        }
    }
    return out;
}

}  // namespace sorvel::tools
