#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_set>

namespace sorvel {

// The last `capacity` ids inserted, oldest forgotten first. A process that
// uploads for weeks would otherwise keep every id it ever saw.
class RecentIds {
  public:
    explicit RecentIds(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

    bool contains(const std::string& id) const { return ids_.count(id) != 0; }

    void insert(const std::string& id) {
        const auto [it, added] = ids_.insert(id);
        if (!added) {
            return;
        }
        // Elements stay where they are when the set rehashes, so the order
        // can point at them instead of keeping a second copy of each id.
        order_.push_back(&*it);
        if (order_.size() > capacity_) {
            ids_.erase(ids_.find(*order_.front()));
            order_.pop_front();
        }
    }

    std::size_t size() const { return order_.size(); }

  private:
    std::size_t capacity_;
    std::unordered_set<std::string> ids_;
    std::deque<const std::string*> order_;
};

}  // namespace sorvel
