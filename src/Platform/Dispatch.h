#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "Platform/Clock.h"

namespace sorvel::platform {

using Block = std::function<void()>;

// A dispatch queue. Serial queues run blocks in FIFO order, one at a time, on
// one worker thread, started when the queue gets a block and ended after two
// seconds without any (the next block starts another); a serial
// queue made with a target runs its blocks on the target's thread instead,
// interleaved with the target's other work. The main queue is drained by the
// main run loop; the global queue is an elastic pool that adds a thread
// whenever every thread is busy, so blocks that wait on the network never
// starve the others.
class DispatchQueue {
  public:
    virtual ~DispatchQueue() = default;

    // A labelled serial queue with its own worker thread. The queue drains the
    // blocks already queued and joins its thread when the last reference goes.
    static std::shared_ptr<DispatchQueue> makeSerial(const std::string& label);
    // A labelled serial queue without a thread of its own: its blocks run in
    // its own FIFO order on the thread of target (a serial queue, or a queue
    // made with one, whose thread is then used), one block at a time across
    // every queue sharing that thread. It keeps its label (currentLabel,
    // isCurrent), and a sync onto it from a block running on that thread runs
    // its waiting blocks and then the given one in place rather than
    // deadlocking. Its last reference waits until its queued blocks ran. A
    // target that is not a serial queue gives a queue with a thread of its own.
    static std::shared_ptr<DispatchQueue> makeSerial(const std::string& label,
                                                     const std::shared_ptr<DispatchQueue>& target);
    // The main queue: blocks run on the thread that runs RunLoop::main().
    static DispatchQueue& main();
    // The global concurrent pool.
    static DispatchQueue& global();

    virtual void async(Block block) = 0;
    // Queues the block, and lets the thread that runs it wait up to upTo
    // (from the first such block) before it runs, so that blocks queued
    // meanwhile run in the same wake of that thread. Any block queued without
    // such a wait (async, sync, a due asyncAfter) onto a queue sharing that
    // thread ends the wait at once. Queues without a thread of their own (the
    // main queue, the global pool) run it as async does.
    virtual void asyncCoalesced(Block block, Millis /*upTo*/) { async(std::move(block)); }
    // Runs the block on the queue and waits for it. A sync onto a serial queue
    // from a block running on its thread (its own, or that of a queue sharing
    // its thread while that queue is mid-block further up the stack), or onto
    // the main queue from the main thread, is a programming error: asserted in debug builds;
    // release builds log it and run the block in place rather than deadlock. The global pool takes
    // a sync from one of its own blocks: another thread runs it.
    void sync(const Block& block);
    // Queues the block after the delay, measured on the current clock. The
    // pending block does not keep a serial queue alive: if the queue is gone
    // when the block falls due, the block is dropped.
    void asyncAfter(Millis delay, Block block);

    const std::string& label() const { return label_; }
    // True when the calling thread is running a block of this queue (for the
    // main queue: when it is the main thread).
    virtual bool isCurrent() const = 0;
    // True when the calling thread is the thread that runs this queue's
    // blocks, whichever queue's block it runs now (for a serial queue, any
    // queue that targets it; for the main queue, the main thread).
    virtual bool runsOnCurrentThread() const { return isCurrent(); }
    // The label of the queue whose block the calling thread runs; on the main
    // thread the main queue's label; "" elsewhere.
    static std::string currentLabel();

  protected:
    explicit DispatchQueue(std::string label) : label_(std::move(label)) {}
    // How a delayed block reaches this queue once due; must not own the queue.
    virtual std::function<void(Block)> deferredTarget() = 0;
    // True when the block of a sync from the calling thread could only run
    // once that thread is free again: the thread is the queue's only runner.
    virtual bool syncWouldDeadlock() const { return isCurrent(); }
    // Runs a sync's block where the caller is, when that is how this queue
    // takes it (a queue sharing the caller's thread); false otherwise.
    virtual bool syncInPlace(const Block&) { return false; }

  private:
    std::string label_;
};

// Debug builds: logs and asserts when the calling thread is not the one that
// runs queue's blocks (`what` names the work in the log line). Release
// builds check nothing.
void assertRunsOn(const DispatchQueue& queue, const char* what);

// True on the main thread: the thread that runs (or last ran) the main run
// loop; before any run loop ran, the thread that first used the platform layer.
bool isMainThread();

// Counting semaphore with Dispatch semantics.
class DispatchSemaphore {
  public:
    explicit DispatchSemaphore(long value = 0);
    void signal();
    void wait();
    // Waits at most the given real time; false on time-out.
    bool waitFor(Millis timeout);

  private:
    Mutex mu_;
    CondVar cv_{&mu_};
    long value_ GUARDED_BY(mu_);
};

}  // namespace sorvel::platform
