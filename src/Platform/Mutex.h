#pragma once

#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "Platform/ThreadAnnotations.h"

namespace sorvel::platform {

// A mutex the thread-safety analysis understands: members annotated
// GUARDED_BY(mu_) fail the Clang build when touched without the lock.
class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() EXCLUSIVE_LOCK_FUNCTION() { mu_.lock(); }
    void unlock() UNLOCK_FUNCTION() { mu_.unlock(); }
    void assertHeld() ASSERT_EXCLUSIVE_LOCK() {}

  private:
    friend class CondVar;
    std::mutex mu_;
};

class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mu) EXCLUSIVE_LOCK_FUNCTION(mu) : mu_(mu) { mu_.lock(); }
    ~MutexLock() UNLOCK_FUNCTION() { mu_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& mu_;
};

// Condition variable bound to a Mutex; wait() must be called with it held.
// Like LevelDB's port::CondVar it carries no annotation: the analysis cannot
// tie the bound mutex to the caller's, so it would flag every correct caller.
class CondVar {
  public:
    explicit CondVar(Mutex* mu) : mu_(mu) {}
    void wait() {
        std::unique_lock<std::mutex> lk(mu_->mu_, std::adopt_lock);
        cv_.wait(lk);
        lk.release();
    }
    template <typename Clock, typename Duration>
    bool waitUntil(const std::chrono::time_point<Clock, Duration>& t) {
        std::unique_lock<std::mutex> lk(mu_->mu_, std::adopt_lock);
        bool timedOut = cv_.wait_until(lk, t) == std::cv_status::timeout;
        lk.release();
        return !timedOut;
    }
    void signal() { cv_.notify_one(); }
    void signalAll() { cv_.notify_all(); }

  private:
    Mutex* const mu_;
    std::condition_variable cv_;
};

// Reader/writer lock: reads run together, writes exclusively, and a read
// issued after a write returned sees that write.
class CAPABILITY("shared_mutex") SharedMutex {
  public:
    void lock() EXCLUSIVE_LOCK_FUNCTION() { mu_.lock(); }
    void unlock() UNLOCK_FUNCTION() { mu_.unlock(); }
    void lockShared() SHARED_LOCK_FUNCTION() { mu_.lock_shared(); }
    void unlockShared() UNLOCK_FUNCTION() { mu_.unlock_shared(); }

  private:
    std::shared_mutex mu_;
};

class SCOPED_CAPABILITY WriterLock {
  public:
    explicit WriterLock(SharedMutex& mu) EXCLUSIVE_LOCK_FUNCTION(mu) : mu_(mu) { mu_.lock(); }
    ~WriterLock() UNLOCK_FUNCTION() { mu_.unlock(); }

  private:
    SharedMutex& mu_;
};

class SCOPED_CAPABILITY ReaderLock {
  public:
    explicit ReaderLock(SharedMutex& mu) SHARED_LOCK_FUNCTION(mu) : mu_(mu) { mu_.lockShared(); }
    ~ReaderLock() UNLOCK_FUNCTION() { mu_.unlockShared(); }

  private:
    SharedMutex& mu_;
};

}  // namespace sorvel::platform
