#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "Platform/Clock.h"

namespace sorvel::platform {

using Block = std::function<void()>;

// A dispatch queue. Serial queues have one worker thread and run
// blocks in FIFO order; the main queue is drained by the main run loop; the
// global queue is an elastic pool that adds a thread whenever every thread is
// busy, so blocks that wait on the network never starve the others.
class DispatchQueue {
  public:
    virtual ~DispatchQueue() = default;

    // A labelled serial queue with its own worker thread. The queue drains the
    // blocks already queued and joins its thread when the last reference goes.
    static std::shared_ptr<DispatchQueue> makeSerial(const std::string& label);
    // The main queue: blocks run on the thread that runs RunLoop::main().
    static DispatchQueue& main();
    // The global concurrent pool.
    static DispatchQueue& global();

    virtual void async(Block block) = 0;
    // Runs the block on the queue and waits for it. A sync onto a serial queue
    // from its own block, or onto the main queue from the main thread, is a
    // programming error: asserted in debug builds; release builds log it and
    // run the block in place rather than deadlock. The global pool takes a
    // sync from one of its own blocks: another thread runs it.
    void sync(const Block& block);
    // Queues the block after the delay, measured on the current clock. The
    // pending block does not keep a serial queue alive: if the queue is gone
    // when the block falls due, the block is dropped.
    void asyncAfter(Millis delay, Block block);

    const std::string& label() const { return label_; }
    // True when the calling thread is running a block of this queue (for the
    // main queue: when it is the main thread).
    virtual bool isCurrent() const = 0;
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

  private:
    std::string label_;
};

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
