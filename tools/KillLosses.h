#pragma once

// Where the events a killed launch recorded and that never arrived were when
// the kill came, from what its app home held on disk right after it.
#include <chrono>
#include <functional>
#include <vector>

namespace sorvel::tools {

struct KillLosses {
    using Duration = std::chrono::steady_clock::duration;
    // Not on disk, and newer than every event of the launch that was stored
    // or delivered: still on their way through the SDK (the open buffer and
    // the pipeline's queues). A SIGKILL takes these by design.
    long long inMemory = 0;
    // Not on disk though a newer event of the launch was stored or
    // delivered: they left memory without reaching the store. Only the cap
    // of unsent events (which the next start counts) may do that.
    long long memoryGap = 0;
    // On disk at the kill and never delivered: only a later start's cap of
    // unsent events (with its warning) may drop these.
    long long onDisk = 0;
    // Of the events in memory, those past the oldest `openBuffer` (the open
    // buffer's, which wait there until a package's worth came, however slowly
    // the app records): the pipeline had not yet drained them into it.
    long long inPipeline = 0;
    // How long before the kill the oldest event in the pipeline was
    // recorded: how far the pipeline lagged behind the record calls at the
    // kill (zero when it held none).
    Duration pipelineLag{0};
    // How long before the kill the oldest event in memory was recorded: the
    // open buffer's wait for a package's worth of events.
    Duration bufferAge{0};
    // How long before the kill the oldest event lost from memory (not on
    // disk at the kill) was recorded; zero when none was: what a kill cost
    // the app beyond what the store's cap drops.
    Duration oldestLost{0};
    // The same for every lost event, oldest first, as (number, age).
    std::vector<std::pair<long long, Duration>> lost;
    std::vector<long long> lostOnDisk;
};

// `age(n)`: how long before the kill the record call of event n returned;
// `delivered(n)`, `stored(n)`: whether event n of the launch arrived at the
// server at any time, and whether it was on disk right after the kill.
KillLosses classifyKillLosses(long long first, long long last, long long openBuffer,
                              const std::function<KillLosses::Duration(long long)>& age,
                              const std::function<bool(long long)>& delivered,
                              const std::function<bool(long long)>& stored);

}  // namespace sorvel::tools
