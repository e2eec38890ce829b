#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "Platform/Mutex.h"

namespace sorvel {

// The design's thread-safe wrappers ran reads synchronously and writes as
// barrier blocks on concurrent queues ("AtomicBoolDispatchQueue",
// "AtomicArrayDispatchQueue", "AtomicQueueDispatchQueue"). Only that ordering
// matters, so a reader/writer lock gives the same guarantees: a read issued
// after a write returned sees it.

class AtomicBool {
  public:
    explicit AtomicBool(bool initial = false) : value_(initial) {}
    bool get() const {
        platform::ReaderLock lock(mu_);
        return value_;
    }
    void set(bool value) {
        platform::WriterLock lock(mu_);
        value_ = value;
    }

  private:
    mutable platform::SharedMutex mu_;
    bool value_ GUARDED_BY(mu_);
};

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
