#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "Platform/Mutex.h"

namespace sorvel {

// A Boolean flag shared between threads: a read sees the last write that
// returned before it.
class AtomicBool {
  public:
    explicit AtomicBool(bool initial = false) noexcept : value_(initial) {}
    bool get() const noexcept { return value_.load(); }
    void set(bool value) noexcept { value_.store(value); }

  private:
    std::atomic<bool> value_;
};

// The collections below take a reader/writer lock: reads run together,
// writes one at a time, and a read issued after a write returned sees it.
// Every call is one step under the lock, so the collection is consistent for
// any caller; sequences of calls are not atomic together.

template <typename T>
class AtomicArray {
  public:
    void append(T item) {
        platform::WriterLock lock(mu_);
        items_.push_back(std::move(item));
    }
    std::size_t count() const {
        platform::ReaderLock lock(mu_);
        return items_.size();
    }
    std::vector<T> snapshot() const {
        platform::ReaderLock lock(mu_);
        return items_;
    }
    std::vector<T> filter(const std::function<bool(const T&)>& pred) const {
        std::vector<T> copy = snapshot();
        std::vector<T> out;
        for (auto& item : copy) {
            if (pred(item)) {
                out.push_back(std::move(item));
            }
        }
        return out;
    }
    void removeAll() {
        platform::WriterLock lock(mu_);
        items_.clear();
    }
    void replaceAll(std::vector<T> items) {
        platform::WriterLock lock(mu_);
        items_ = std::move(items);
    }

  private:
    mutable platform::SharedMutex mu_;
    std::vector<T> items_ GUARDED_BY(mu_);
};

template <typename T>
class AtomicQueue {
  public:
    void enqueue(T item) {
        platform::WriterLock lock(mu_);
        items_.push_back(std::move(item));
    }
    // Takes the head in one step, so two consumers never get the same item.
    std::optional<T> dequeue() {
        platform::WriterLock lock(mu_);
        if (items_.empty()) {
            return std::nullopt;
        }
        T head = std::move(items_.front());
        items_.pop_front();
        return head;
    }
    bool isEmpty() const {
        platform::ReaderLock lock(mu_);
        return items_.empty();
    }
    std::size_t count() const {
        platform::ReaderLock lock(mu_);
        return items_.size();
    }
    std::vector<T> snapshot() const {
        platform::ReaderLock lock(mu_);
        return std::vector<T>(items_.begin(), items_.end());
    }
    void removeAll() {
        platform::WriterLock lock(mu_);
        items_.clear();
    }
    void replaceAll(std::vector<T> items) {
        platform::WriterLock lock(mu_);
        items_.assign(std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    }

  private:
    mutable platform::SharedMutex mu_;
    std::deque<T> items_ GUARDED_BY(mu_);
};

}  // namespace sorvel
